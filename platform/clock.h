// Clocks and pauses.
#pragma once

#include <cstdint>

namespace lorvane::platform {

// A broken-down local time with its milliseconds, both taken from one
// reading of the real-time clock, so that successive readings never go
// back across a second boundary.
struct WallClock {
  int year = 0;   // e.g. 2026
  int month = 0;  // 1-12
  int day = 0;    // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;  // 0-999
};

WallClock readWallClock();

// Milliseconds of a clock that never jumps; for time-outs and measurements.
std::int64_t monotonicMillis();
std::int64_t monotonicMicros();

void sleepMillis(int millis);

}  // namespace lorvane::platform
