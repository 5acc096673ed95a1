#include "tests/server/fake_port.h"

#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace lorvane::test {

namespace {

class ReaderInside {
 public:
  ReaderInside(std::atomic<int>& inside, std::atomic<int>& max)
      : inside_(inside) {
    const int now = ++inside_;
    int seen = max.load();
    while (now > seen && !max.compare_exchange_weak(seen, now)) {
    }
  }
  ~ReaderInside() { --inside_; }
  ReaderInside(const ReaderInside&) = delete;
  ReaderInside& operator=(const ReaderInside&) = delete;

 private:
  std::atomic<int>& inside_;
};

}  // namespace

class FakePort final : public platform::SerialPort {
 public:
  explicit FakePort(FakePortDriver& driver) : d_(driver) { ++d_.portsAlive_; }
  ~FakePort() override { --d_.portsAlive_; }

  platform::Status configure(const platform::PortSettings& settings) override {
    std::lock_guard lock(d_.mutex_);
    d_.settings_ = settings;
    return d_.configureResult;
  }
  void controlLine(platform::ControlLine line) override {
    std::lock_guard lock(d_.mutex_);
    d_.lines_.push_back(line);
  }
  std::optional<unsigned> modemStatus() override {
    std::lock_guard lock(d_.mutex_);
    if (!d_.reportsLines) return std::nullopt;
    return d_.modem_;
  }
  platform::WaitResult waitInput(int timeoutMillis,
                                 const platform::Wakeup& wake,
                                 platform::Status& status) override {
    ReaderInside inside(d_.readersInside_, d_.maxReaders_);
    const auto deadline = platform::monotonicMillis() + timeoutMillis;
    for (;;) {
      {
        std::lock_guard lock(d_.mutex_);
        if (!d_.input_.empty()) return platform::WaitResult::input;
        if (d_.readFailure_) return platform::WaitResult::input;
      }
      if (wake.isSignalled()) return platform::WaitResult::woken;
      if (timeoutMillis >= 0 && platform::monotonicMillis() >= deadline) {
        return platform::WaitResult::timeout;
      }
      (void)status;
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  }
  platform::IoResult read(char* into, std::size_t max) override {
    ReaderInside inside(d_.readersInside_, d_.maxReaders_);
    std::lock_guard lock(d_.mutex_);
    platform::IoResult result;
    if (d_.readFailure_ && (!d_.failAfterInput_ || d_.input_.empty())) {
      result.status = *d_.readFailure_;
      d_.readFailure_.reset();
      return result;
    }
    if (d_.input_.empty()) {
      result.wouldBlock = true;
      return result;
    }
    result.count = std::min(max, d_.input_.size());
    d_.input_.copy(into, result.count);
    d_.input_.erase(0, result.count);
    return result;
  }
  platform::IoResult write(std::string_view data) override {
    std::lock_guard lock(d_.mutex_);
    platform::IoResult result;
    if (!d_.writeFailure_.isOk()) {
      result.status = d_.writeFailure_;
      return result;
    }
    std::size_t n = data.size();
    if (d_.capacity_) {
      n = std::min(n, *d_.capacity_);
      *d_.capacity_ -= n;
    }
    if (n == 0) {
      result.wouldBlock = true;
      return result;
    }
    d_.written_.append(data.substr(0, n));
    result.count = n;
    return result;
  }
  bool waitWritable(int timeoutMillis) override {
    const auto deadline = platform::monotonicMillis() + timeoutMillis;
    for (;;) {
      {
        std::lock_guard lock(d_.mutex_);
        if (!d_.capacity_ || *d_.capacity_ > 0) return true;
      }
      if (platform::monotonicMillis() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  std::size_t outputQueued() override { return 0; }

 private:
  FakePortDriver& d_;
};

std::unique_ptr<platform::SerialPort> FakePortDriver::open(
    const std::string& name, platform::Status& status) {
  status = onOpen ? onOpen(name) : platform::Status::ok();
  {
    std::lock_guard lock(mutex_);
    names_.push_back(name);
    ++opens_;
  }
  if (!status.isOk()) return nullptr;
  return std::make_unique<FakePort>(*this);
}

void FakePortDriver::feed(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  input_.append(bytes);
}

void FakePortDriver::setModem(unsigned word) {
  std::lock_guard lock(mutex_);
  modem_ = word;
}

void FakePortDriver::failNextRead(platform::Status status, bool afterInput) {
  std::lock_guard lock(mutex_);
  readFailure_ = status;
  failAfterInput_ = afterInput;
}

void FakePortDriver::limitWrites(std::optional<std::size_t> capacity) {
  std::lock_guard lock(mutex_);
  capacity_ = capacity;
}

void FakePortDriver::failWrites(platform::Status status) {
  std::lock_guard lock(mutex_);
  writeFailure_ = status;
}

std::string FakePortDriver::written() {
  std::lock_guard lock(mutex_);
  return written_;
}

std::vector<platform::ControlLine> FakePortDriver::controlLines() {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> FakePortDriver::openedNames() {
  std::lock_guard lock(mutex_);
  return names_;
}

platform::PortSettings FakePortDriver::lastSettings() {
  std::lock_guard lock(mutex_);
  return settings_;
}

int FakePortDriver::opens() {
  std::lock_guard lock(mutex_);
  return opens_;
}

}  // namespace lorvane::test
