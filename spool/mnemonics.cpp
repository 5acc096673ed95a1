#include "spool/mnemonics.h"

namespace lorvane {

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::size_t textToBinary(char* output, const char* input, std::size_t length) {
  std::size_t in = 0;
  std::size_t out = 0;
  while (in < length) {
    const std::string_view rest(input + in, length - in);
    bool matched = false;
    if (rest[0] == '<') {
      for (const auto& row : mnemonicTable) {
        if (rest.starts_with(row.mnemonic)) {
          output[out++] = static_cast<char>(row.value);
          in += row.mnemonic.size();
          matched = true;
          break;
        }
      }
      if (!matched && rest.size() >= 4 && rest[3] == '>') {
        const int high = hexDigit(rest[1]);
        const int low = hexDigit(rest[2]);
        if (high >= 0 && low >= 0) {
          output[out++] = static_cast<char>(high * 16 + low);
          in += 4;
          matched = true;
        }
      }
    }
    if (!matched) output[out++] = input[in++];
  }
  return out;
}

std::string textToBinary(std::string_view input) {
  std::string output(input.size(), '\0');
  output.resize(textToBinary(output.data(), input.data(), input.size()));
  return output;
}

}  // namespace lorvane
