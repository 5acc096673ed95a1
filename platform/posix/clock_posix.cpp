// Clocks on POSIX: one clock_gettime reading gives both the local time and
// its milliseconds.
#include <ctime>

#include "platform/clock.h"

namespace lorvane::platform {

WallClock readWallClock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  WallClock clock;
  clock.year = local.tm_year + 1900;
  clock.month = local.tm_mon + 1;
  clock.day = local.tm_mday;
  clock.hour = local.tm_hour;
  clock.minute = local.tm_min;
  clock.second = local.tm_sec;
  clock.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  return clock;
}

std::int64_t monotonicMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::int64_t monotonicMillis() { return monotonicMicros() / 1000; }

void sleepMillis(int millis) {
  timespec delay{millis / 1000, static_cast<long>(millis % 1000) * 1000000L};
  while (nanosleep(&delay, &delay) == -1) {
  }
}

}  // namespace lorvane::platform
