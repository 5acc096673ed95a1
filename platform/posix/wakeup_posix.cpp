// A wake-up descriptor: an eventfd on Linux, a non-blocking self-pipe
// elsewhere. The write establishes a happens-before relationship with the
// thread that polls the read end, through the kernel.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>

#include "platform/posix/eintr.h"
#include "platform/wakeup.h"

#ifdef __linux__
#include <sys/eventfd.h>
#endif

namespace lorvane::platform {

Wakeup::Wakeup() {
#ifdef __linux__
  readFd_ = writeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
#else
  int fds[2];
  if (::pipe(fds) == 0) {
    for (int fd : fds) {
      ::fcntl(fd, F_SETFL, O_NONBLOCK);
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    readFd_ = fds[0];
    writeFd_ = fds[1];
  }
#endif
}

Wakeup::~Wakeup() {
  if (writeFd_ >= 0 && writeFd_ != readFd_) ::close(writeFd_);
  if (readFd_ >= 0) ::close(readFd_);
}

void Wakeup::signal() {
#ifdef __linux__
  const std::uint64_t one = 1;
  [[maybe_unused]] auto n =
      retryOnInterrupt([&] { return ::write(writeFd_, &one, sizeof one); });
#else
  const char one = 1;
  [[maybe_unused]] auto n =
      retryOnInterrupt([&] { return ::write(writeFd_, &one, 1); });
#endif
}

void Wakeup::clear() {
  char buffer[64];
  while (retryOnInterrupt(
             [&] { return ::read(readFd_, buffer, sizeof buffer); }) > 0) {
#ifdef __linux__
    break;  // one read empties an eventfd
#endif
  }
}

bool Wakeup::waitFor(int millis) const {
  pollfd entry{readFd_, POLLIN, 0};
  return retryOnInterrupt([&] { return ::poll(&entry, 1, millis); }) > 0;
}

bool Wakeup::isSignalled() const { return waitFor(0); }

}  // namespace lorvane::platform
