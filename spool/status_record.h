// The state of the four modem input lines as "LineStatus.dat" holds it:
// "%d,%d,%d,%d" of CTS, DSR, RING and RLSD, seven bytes, no line end.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lorvane {

struct LineStates {
  std::int32_t cts = 0;
  std::int32_t dsr = 0;
  std::int32_t ring = 0;
  std::int32_t rlsd = 0;
  bool operator==(const LineStates&) const = default;
};

// From the modem status word (bits 0x10 CTS, 0x20 DSR, 0x40 RING, 0x80 RLSD).
std::string formatStatusRecord(unsigned modemStatus);

// Splits at runs of commas (leading ones skipped, the text ending at its
// first zero byte) and reads the first four pieces as decimal integers; a
// missing piece gives 0.
LineStates parseStatusRecord(std::string_view text);

}  // namespace lorvane
