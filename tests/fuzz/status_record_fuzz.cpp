// Fuzzes the status record: parsing any text never crashes and ignores
// what a comma run or a zero byte cannot change, and every status word
// survives formatting and parsing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "spool/status_record.h"

namespace {

void checkRoundTrip(unsigned status) {
  const std::string record = lorvane::formatStatusRecord(status);
  if (record.size() != 7) std::abort();
  const lorvane::LineStates states = lorvane::parseStatusRecord(record);
  if (states.cts != ((status & 0x10u) ? 1 : 0) ||
      states.dsr != ((status & 0x20u) ? 1 : 0) ||
      states.ring != ((status & 0x40u) ? 1 : 0) ||
      states.rlsd != ((status & 0x80u) ? 1 : 0)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  for (unsigned status = 0; status < 256; ++status) checkRoundTrip(status);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const lorvane::LineStates states = lorvane::parseStatusRecord(text);

  // Commas in front, and every comma doubled, change nothing.
  if (!(lorvane::parseStatusRecord(",,," + text) == states)) std::abort();
  std::string doubled;
  for (const char c : text) {
    doubled.push_back(c);
    if (c == ',') doubled.push_back(',');
  }
  if (!(lorvane::parseStatusRecord(doubled) == states)) std::abort();
  // Nothing after a zero byte counts.
  if (!(lorvane::parseStatusRecord(text + std::string(1, '\0') + "1,1,1,1") ==
        states)) {
    std::abort();
  }

  if (size >= sizeof(std::uint32_t)) {
    std::uint32_t word = 0;
    std::memcpy(&word, data, sizeof word);
    checkRoundTrip(word);
  }
  return 0;
}
