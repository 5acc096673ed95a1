// A thread-safe wake-up that another thread can wait for alongside its
// descriptors (an eventfd on Linux, a self-pipe elsewhere). Signals
// coalesce: many signals before a wait make one wake-up.
#pragma once

namespace lorvane::platform {

class Wakeup {
 public:
  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  // May be called from any thread; never blocks.
  void signal();
  // Consumes pending signals.
  void clear();
  // Waits until signalled or `millis` pass; true when signalled. The signal
  // stays pending.
  bool waitFor(int millis) const;
  bool isSignalled() const;
  // The descriptor that becomes readable when signalled.
  int handle() const { return readFd_; }

 private:
  int readFd_ = -1;
  int writeFd_ = -1;
};

}  // namespace lorvane::platform
