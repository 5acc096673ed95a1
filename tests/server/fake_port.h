// A serial port that exists only in memory, for what a pseudo-terminal
// cannot show: modem lines, driver refusals, writes the device holds up,
// read failures. It also watches how many threads read it at once.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial.h"

namespace lorvane::test {

class FakePortDriver final : public platform::PortDriver {
 public:
  std::unique_ptr<platform::SerialPort> open(const std::string& name,
                                             platform::Status& status) override;

  // Behaviour, set by the test.
  std::function<platform::Status(const std::string& name)>
      onOpen;  // ok by default
  platform::Status configureResult;
  bool reportsLines = true;

  // The device side.
  void feed(std::string_view bytes);
  void setModem(unsigned word);
  // The next read, once the queued input is gone (or at once when
  // `afterInput` is false), fails with `status`.
  void failNextRead(platform::Status status, bool afterInput = true);
  // The port takes at most this many bytes more (nullopt: unlimited).
  void limitWrites(std::optional<std::size_t> capacity);
  void failWrites(platform::Status status);

  std::string written();
  std::vector<platform::ControlLine> controlLines();
  std::vector<std::string> openedNames();
  platform::PortSettings lastSettings();
  int opens();
  int portsAlive() const { return portsAlive_.load(); }
  // The most threads that were ever inside the port's input calls at once.
  int maxConcurrentReaders() const { return maxReaders_.load(); }

 private:
  friend class FakePort;
  std::mutex mutex_;
  std::string input_;
  unsigned modem_ = 0;
  std::optional<platform::Status> readFailure_;
  bool failAfterInput_ = true;
  std::optional<std::size_t> capacity_;
  platform::Status writeFailure_;
  std::string written_;
  std::vector<platform::ControlLine> lines_;
  std::vector<std::string> names_;
  platform::PortSettings settings_;
  int opens_ = 0;
  std::atomic<int> portsAlive_{0};
  std::atomic<int> readersInside_{0};
  std::atomic<int> maxReaders_{0};
};

}  // namespace lorvane::test
