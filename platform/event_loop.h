// The main thread's event loop: a periodic tick, an optional watch on a
// directory (so that a file landing there is handled at once rather than at
// the next tick), a wake-up for notices from other threads, and the signals
// that ask the program to end or to show its information.
#pragma once

#include <memory>
#include <string>

#include "platform/status.h"
#include "platform/wakeup.h"

namespace lorvane::platform {

enum class ControlSignal {
  cancel,     // SIGTERM, SIGINT, SIGHUP
  menuExit,   // SIGUSR2: the tray menu's exit command
  menuAbout,  // SIGUSR1: the tray menu's information command
};

class EventHandler {
 public:
  virtual ~EventHandler() = default;
  virtual void onTick() = 0;
  // A file was moved into the watched directory or closed after writing
  // (`complete`), or only a new name appeared in it (a hard link, or a file
  // just created whose writer may still be writing).
  virtual void onDirectoryChanged(bool complete) = 0;
  virtual void onWakeup() = 0;
  virtual void onSignal(ControlSignal signal) = 0;
  // Milliseconds from one tick to the next, asked again after every event,
  // so that a handler with nothing to retry can let the loop sleep longer.
  // Zero or less: the loop's own tick.
  virtual int tickMillis() { return 0; }
};

class EventLoop {
 public:
  explicit EventLoop(int tickMillis);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Takes the control signals away from their default actions for the whole
  // process; call before any other thread starts so that threads inherit
  // the mask. SIGPIPE is ignored.
  static void captureSignals();

  // Best effort: without a watch the tick alone drives the handler.
  Status watchDirectory(const std::string& path);
  // Other threads signal this to get onWakeup called on the loop's thread.
  Wakeup& wakeup() { return wakeup_; }

  // Runs until stop() is called from a handler.
  void run(EventHandler& handler);
  void stop() { stopped_ = true; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  Wakeup wakeup_;
  int tickMillis_;
  bool stopped_ = false;
};

}  // namespace lorvane::platform
