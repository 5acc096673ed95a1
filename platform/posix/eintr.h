// Retrying system calls that a signal interrupted, in one place.
#pragma once

#include <cerrno>

namespace lorvane::platform {

template <typename Call>
auto retryOnInterrupt(Call call) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

}  // namespace lorvane::platform
