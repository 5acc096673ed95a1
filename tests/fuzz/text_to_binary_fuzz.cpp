// Fuzzes the text-to-binary encoder: it never writes more than it reads,
// never reads past the length it is given, passes text without "<"
// unchanged, and agrees with a plain reading of the rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "spool/mnemonics.h"

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The rules taken one by one: a mnemonic at the position, else an escape of
// exactly two hexadecimal digits, else the byte itself.
std::string reference(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::string_view rest = text.substr(i);
    bool done = false;
    for (const auto& row : lorvane::mnemonicTable) {
      if (rest.substr(0, row.mnemonic.size()) == row.mnemonic) {
        out.push_back(static_cast<char>(row.value));
        i += row.mnemonic.size();
        done = true;
        break;
      }
    }
    if (done) continue;
    if (rest.size() >= 4 && rest[0] == '<' && rest[3] == '>' &&
        hexValue(rest[1]) >= 0 && hexValue(rest[2]) >= 0) {
      out.push_back(
          static_cast<char>(hexValue(rest[1]) * 16 + hexValue(rest[2])));
      i += 4;
      continue;
    }
    out.push_back(rest[0]);
    ++i;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  // Buffers of exactly the input's size: the address sanitizer reports any
  // byte read past the input or written past the output.
  const auto input = std::make_unique<char[]>(size);
  if (size > 0) std::memcpy(input.get(), data, size);
  const auto output = std::make_unique<char[]>(size);

  const std::size_t written =
      lorvane::textToBinary(output.get(), input.get(), size);
  if (written > size) std::abort();
  const std::string_view text(input.get(), size);
  const std::string_view result(output.get(), written);

  if (text.find('<') == std::string_view::npos && result != text) {
    std::abort();
  }
  if (result != reference(text)) std::abort();
  if (lorvane::textToBinary(text) != result) std::abort();
  return 0;
}
