// The main thread's event loop on POSIX: poll over the wake-up descriptor, a
// self-pipe fed by the signal handlers and, on Linux, an inotify descriptor
// watching a directory; the poll time-out carries the periodic tick.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/posix/eintr.h"
#include "platform/posix/unique_fd.h"

#ifdef __linux__
#include <sys/inotify.h>
#endif

namespace lorvane::platform {

namespace {

int signalPipeWrite = -1;
int signalPipeRead = -1;

extern "C" void onControlSignal(int signo) {
  const int saved = errno;
  const auto byte = static_cast<char>(signo);
  if (signalPipeWrite >= 0) {
    [[maybe_unused]] auto n = ::write(signalPipeWrite, &byte, 1);
  }
  errno = saved;
}

}  // namespace

struct EventLoop::Impl {
  UniqueFd watch;
};

EventLoop::EventLoop(int tickMillis)
    : impl_(std::make_unique<Impl>()), tickMillis_(tickMillis) {}

EventLoop::~EventLoop() = default;

void EventLoop::captureSignals() {
  if (signalPipeRead < 0) {
    int fds[2];
    if (::pipe(fds) == 0) {
      for (int fd : fds) {
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
      signalPipeRead = fds[0];
      signalPipeWrite = fds[1];
    }
  }
  struct sigaction action {};
  action.sa_handler = onControlSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signo : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) {
    ::sigaction(signo, &action, nullptr);
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

Status EventLoop::watchDirectory(const std::string& path) {
#ifdef __linux__
  UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd) return Status::fromLastError();
  if (::inotify_add_watch(fd.get(), path.c_str(),
                          IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE) < 0) {
    return Status::fromLastError();
  }
  impl_->watch = std::move(fd);
  return Status::ok();
#else
  (void)path;
  return Status::fromCode(errc::invalidArgument);
#endif
}

void EventLoop::run(EventHandler& handler) {
  auto interval = [&] {
    const int wanted = handler.tickMillis();
    return wanted > 0 ? wanted : tickMillis_;
  };
  std::int64_t lastTick = monotonicMillis();
  while (!stopped_) {
    pollfd fds[3] = {{signalPipeRead, POLLIN, 0},
                     {wakeup_.handle(), POLLIN, 0},
                     {impl_->watch.get(), POLLIN, 0}};
    const std::int64_t nextTick = lastTick + interval();
    const std::int64_t now = monotonicMillis();
    const int timeout = static_cast<int>(nextTick > now ? nextTick - now : 0);
    const int n = retryOnInterrupt([&] { return ::poll(fds, 3, timeout); });
    if (n > 0 && (fds[0].revents & POLLIN)) {
      char signals[16];
      const ssize_t count = ::read(signalPipeRead, signals, sizeof signals);
      for (ssize_t i = 0; i < count && !stopped_; ++i) {
        switch (signals[i]) {
          case SIGUSR1:
            handler.onSignal(ControlSignal::menuAbout);
            break;
          case SIGUSR2:
            handler.onSignal(ControlSignal::menuExit);
            break;
          default:
            handler.onSignal(ControlSignal::cancel);
            break;
        }
      }
    }
    if (stopped_) break;
    if (n > 0 && (fds[1].revents & POLLIN)) {
      wakeup_.clear();
      handler.onWakeup();
    }
    if (stopped_) break;
    if (n > 0 && (fds[2].revents & POLLIN)) {
      alignas(inotify_event) char events[4096];
      bool complete = false;
      ssize_t length = 0;
      while ((length = ::read(impl_->watch.get(), events, sizeof events)) > 0) {
        for (ssize_t at = 0; at < length;) {
          const auto* event =
              reinterpret_cast<const inotify_event*>(events + at);
          // An overflowed queue may have lost anything: look at everything.
          if (event->mask & (IN_MOVED_TO | IN_CLOSE_WRITE | IN_Q_OVERFLOW)) {
            complete = true;
          }
          at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
      }
      handler.onDirectoryChanged(complete);
    }
    if (stopped_) break;
    // The interval is asked again: an event may have left work to retry.
    if (const std::int64_t at = monotonicMillis();
        at >= lastTick + interval()) {
      handler.onTick();
      // After a stall, keep the rhythm instead of catching up in a burst.
      lastTick = at;
    }
  }
}

}  // namespace lorvane::platform
