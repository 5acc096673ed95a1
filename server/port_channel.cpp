#include "server/port_channel.h"

#include <algorithm>

#include "platform/clock.h"
#include "server/error_report.h"

namespace lorvane {

namespace {

// The channel whose open is in progress. Taking it is one atomic step, so
// the main thread's open and the reader's reconnection never overlap.
std::atomic<PortChannel*> openGuard{nullptr};

class GuardHold {
 public:
  explicit GuardHold(PortChannel* channel) {
    PortChannel* expected = nullptr;
    held_ = openGuard.compare_exchange_strong(expected, channel);
  }
  ~GuardHold() {
    if (held_) openGuard.store(nullptr);
  }
  GuardHold(const GuardHold&) = delete;
  GuardHold& operator=(const GuardHold&) = delete;
  bool held() const { return held_; }

 private:
  bool held_ = false;
};

constexpr int writeWaitMillis = 1000;

}  // namespace

// HandOver ------------------------------------------------------------------

std::uint64_t HandOver::post(Notice notice) {
  std::uint64_t sequence = 0;
  {
    std::lock_guard lock(mutex_);
    sequence = ++posted_;
    notice.sequence = sequence;
    queue_.push_back(std::move(notice));
  }
  mainWakeup_.signal();
  return sequence;
}

bool HandOver::waitHandled(std::uint64_t sequence, int timeoutMillis,
                           const std::atomic<bool>& stop) {
  std::unique_lock lock(mutex_);
  return handled_.wait_for(lock, std::chrono::milliseconds(timeoutMillis), [&] {
    return acknowledged_ >= sequence || stop.load();
  }) && acknowledged_ >= sequence;
}

bool HandOver::takeNext(Notice& notice) {
  std::lock_guard lock(mutex_);
  if (queue_.empty()) return false;
  notice = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

void HandOver::acknowledge(std::uint64_t sequence) {
  {
    std::lock_guard lock(mutex_);
    acknowledged_ = std::max(acknowledged_, sequence);
  }
  handled_.notify_all();
}

void HandOver::cancelWaits() {
  // Taking the lock orders the stop flag before the waiter's next look.
  { std::lock_guard lock(mutex_); }
  handled_.notify_all();
}

std::size_t HandOver::pending() {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

// PortChannel ---------------------------------------------------------------

PortChannel::PortChannel(platform::PortDriver& driver,
                         platform::Wakeup& mainWakeup)
    : handOver(mainWakeup), driver_(driver) {}

PortChannel::~PortChannel() { closePort(); }

platform::PortSettings PortChannel::settings() const {
  platform::PortSettings s;
  s.baudRate = parameters.baudRate;
  s.byteSize = parameters.byteSize;
  s.stopBits = parameters.stopBits;
  s.parity = parameters.parity;
  s.xonXoffOut = parameters.xonXoffOut;
  s.xonXoffIn = parameters.xonXoffIn;
  s.errorChar = errorChar;
  return s;
}

std::shared_ptr<platform::SerialPort> PortChannel::openDevice(
    const std::string& name, const platform::PortSettings& settings,
    std::string& text) {
  platform::Status status;
  std::shared_ptr<platform::SerialPort> port = driver_.open(name, status);
  if (!port) {
    text = composeErrorText(opOpen, status.reason());
    return nullptr;
  }
  // Queue sizes need no step here: the reader drains the driver's queue as
  // fast as bytes arrive.
  status = port->configure(settings);
  if (!status.isOk()) {
    text = composeErrorText(opSetCommState, status.reason());
    return nullptr;
  }
  return port;
}

bool PortChannel::openPort() {
  GuardHold guard(this);
  if (!guard.held()) return false;

  // Whatever was open goes first, so that a failure leaves no port open and
  // no reader running.
  const bool reopen = autoReopen.load();
  closePort();
  autoReopen = reopen;

  const platform::PortSettings s = settings();
  std::string text;
  auto port = openDevice(parameters.portName, s, text);
  if (!port) {
    errorText = text;
    return false;
  }
  errorText.clear();
  installPort(port);
  running = true;
  autoReopen = true;
  reader_ =
      std::make_unique<Reader>(*this, std::move(port), s, parameters.portName);
  return true;
}

std::shared_ptr<platform::SerialPort> PortChannel::reopenDevice(
    const std::string& name, const platform::PortSettings& settings,
    std::string& text) {
  GuardHold guard(this);
  if (!guard.held()) {
    text.clear();
    return nullptr;
  }
  return openDevice(name, settings, text);
}

void PortChannel::installPort(std::shared_ptr<platform::SerialPort> port) {
  std::lock_guard lock(portMutex_);
  port_ = std::move(port);
}

std::shared_ptr<platform::SerialPort> PortChannel::currentPort() {
  std::lock_guard lock(portMutex_);
  return port_;
}

void PortChannel::closePort() {
  running = false;
  autoReopen = false;
  if (reader_) {
    reader_->stop();
    reader_.reset();
  }
  auto port = currentPort();
  if (port) {
    // Give the device up to one write time-out to take what is still
    // queued, in our buffer and in the driver's, so that data followed by
    // "@CLOSE@@@@" is not cut off.
    const std::int64_t deadline = platform::monotonicMillis() + writeWaitMillis;
    while (queuedOutput() > 0 || port->outputQueued() > 0) {
      if (!writeQueued(0)) break;
      const std::int64_t left = deadline - platform::monotonicMillis();
      if (left <= 0) break;
      if (queuedOutput() > 0) {
        port->waitWritable(static_cast<int>(std::min<std::int64_t>(left, 10)));
      } else {
        platform::sleepMillis(
            static_cast<int>(std::min<std::int64_t>(left, 2)));
      }
    }
  }
  installPort(nullptr);
  txBuffer_.clear();
  txSent_ = 0;
}

void PortChannel::controlLine(platform::ControlLine line) {
  if (auto port = currentPort()) port->controlLine(line);
}

std::optional<unsigned> PortChannel::modemStatus() {
  auto port = currentPort();
  if (!port) return std::nullopt;
  return port->modemStatus();
}

bool PortChannel::writeQueued(int waitMillis) {
  auto port = currentPort();
  if (!port) {
    txBuffer_.clear();
    txSent_ = 0;
    return true;
  }
  const std::int64_t deadline = platform::monotonicMillis() + waitMillis;
  while (queuedOutput() > 0) {
    const auto result =
        port->write(std::string_view(txBuffer_).substr(txSent_));
    if (!result.isOk()) {
      errorText = composeErrorText(opWrite, result.status.reason());
      txBuffer_.clear();
      txSent_ = 0;
      return false;
    }
    txSent_ += result.count;
    if (result.count > 0) continue;
    const std::int64_t left = deadline - platform::monotonicMillis();
    if (left <= 0) break;
    port->waitWritable(static_cast<int>(left));
  }
  if (txSent_ == txBuffer_.size()) {
    txBuffer_.clear();
    txSent_ = 0;
  } else if (txSent_ > (1u << 20) && txSent_ > txBuffer_.size() / 2) {
    txBuffer_.erase(0, txSent_);
    txSent_ = 0;
  }
  return true;
}

bool PortChannel::writePort(std::string_view data) {
  txBuffer_.append(data);
  const bool ok = writeQueued(writeWaitMillis);
  if (ok) errorText.clear();
  return ok;
}

bool PortChannel::flushOutput() {
  if (queuedOutput() == 0) return true;
  return writeQueued(0);
}

}  // namespace lorvane
