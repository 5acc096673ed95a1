// The reader thread: the only code that reads the port. It gathers bytes
// into blocks, watches the modem lines, hands everything to the main thread
// as notices and, when the port fails under it, reopens the port itself.
#include <algorithm>
#include <atomic>

#include "platform/clock.h"
#include "server/error_report.h"
#include "server/port_channel.h"
#include "spool/layout.h"

namespace lorvane {

namespace {

std::atomic<int> readersAlive{0};

// A block ends after this long without a byte.
constexpr int blockSilenceMillis = 50;
// Drivers that report modem lines are looked at this often.
constexpr int linePollMillis = 10;
// The reader waits this long for a notice to be handled.
constexpr int handOverMillis = 10000;
constexpr int reconnectPauseMillis = 1000;

constexpr unsigned lineBits = platform::modemCts | platform::modemDsr |
                              platform::modemRing | platform::modemRlsd;

}  // namespace

int PortChannel::liveReaders() { return readersAlive.load(); }

Reader::Reader(PortChannel& channel, std::shared_ptr<platform::SerialPort> port,
               platform::PortSettings settings, std::string portName)
    : channel_(channel),
      port_(std::move(port)),
      settings_(settings),
      portName_(std::move(portName)),
      readBuffer_(blockSize, '\0') {
  // The baseline of the lines is taken now, before the open is announced,
  // so that a change right after the open is never taken for the baseline.
  lines_ = port_->modemStatus();
  ++readersAlive;
  thread_ = std::thread([this] { run(); });
}

Reader::~Reader() { stop(); }

void Reader::stop() {
  stopRequested_ = true;
  wake_.signal();
  channel_.handOver.cancelWaits();
  if (thread_.joinable()) thread_.join();
}

bool Reader::notify(Notice notice) {
  if (stopRequested_) return false;
  const auto sequence = channel_.handOver.post(std::move(notice));
  channel_.handOver.waitHandled(sequence, handOverMillis, stopRequested_);
  return !stopRequested_;
}

void Reader::pollLines() {
  if (!lines_) return;
  const auto now = port_->modemStatus();
  if (!now || ((*now ^ *lines_) & lineBits) == 0) return;
  lines_ = now;
  notify(Notice{NoticeKind::lineStatus, {}, {}, 0});
}

void Reader::run() {
  std::string block;
  block.reserve(blockSize);
  while (!stopRequested_) {
    platform::Status status;
    const auto result =
        port_->waitInput(lines_ ? linePollMillis : -1, wake_, status);
    if (stopRequested_) break;
    pollLines();
    if (result == platform::WaitResult::input) {
      platform::Status failure;
      if (!gatherBlock(block, failure)) {
        if (stopRequested_) break;
        if (!reconnect(opReadFile, failure, std::move(block))) break;
        block.clear();
        continue;
      }
      if (!block.empty() && channel_.running) {
        notify(Notice{NoticeKind::received, std::move(block), {}, 0});
      }
      block.clear();
    } else if (result == platform::WaitResult::hangup ||
               result == platform::WaitResult::failed) {
      if (!reconnect(opRead, status, {})) break;
    }
  }
  --readersAlive;
}

// Reads until the port has been silent for 50 ms or the block is full. Never
// sleeps while bytes wait in the driver. Returns false on a read failure,
// with the bytes gathered so far left in `block`.
bool Reader::gatherBlock(std::string& block, platform::Status& failure) {
  std::int64_t silentUntil = platform::monotonicMillis() + blockSilenceMillis;
  std::int64_t nextLinePoll = platform::monotonicMillis() + linePollMillis;
  while (block.size() < blockSize) {
    // A slow line can take seconds to fill a block; line changes must not
    // wait for it.
    if (lines_ && platform::monotonicMillis() >= nextLinePoll) {
      pollLines();
      if (stopRequested_) return true;
      nextLinePoll = platform::monotonicMillis() + linePollMillis;
    }
    const auto result =
        port_->read(readBuffer_.data(), blockSize - block.size());
    if (!result.isOk()) {
      failure = result.status;
      return false;
    }
    if (result.count > 0) {
      block.append(readBuffer_.data(), result.count);
      silentUntil = platform::monotonicMillis() + blockSilenceMillis;
      continue;
    }
    const std::int64_t left = silentUntil - platform::monotonicMillis();
    if (left <= 0) break;
    platform::Status status;
    const int waitMillis = static_cast<int>(
        lines_ ? std::min<std::int64_t>(left, linePollMillis) : left);
    const auto wait = port_->waitInput(waitMillis, wake_, status);
    if (stopRequested_) return true;
    if (wait == platform::WaitResult::timeout) {
      if (platform::monotonicMillis() >= silentUntil) break;
      continue;
    }
    if (wait == platform::WaitResult::failed) {
      failure = status;
      return false;
    }
    // Input or a hang-up: the next read tells which.
  }
  return true;
}

// Reports the failure, then reopens the port by its name at once and once a
// second after that, with one report per failed attempt, until it succeeds
// or the port is closed. Bytes gathered before the failure are handed over
// once the port is back. Returns false when the reader is to end.
bool Reader::reconnect(std::string_view failedOperation,
                       const platform::Status& reason, std::string gathered) {
  if (stopRequested_ || !channel_.autoReopen) return false;
  channel_.running = false;
  if (!notify(Notice{NoticeKind::failure,
                     {},
                     composeErrorText(failedOperation, reason.reason()),
                     0})) {
    return false;
  }
  // Let go of the failed port before opening the device again: an
  // exclusive device cannot be opened twice.
  port_.reset();
  channel_.installPort(nullptr);
  for (;;) {
    if (stopRequested_ || !channel_.autoReopen) return false;
    std::string text;
    auto port = channel_.reopenDevice(portName_, settings_, text);
    if (stopRequested_) return false;
    if (port) {
      port_ = std::move(port);
      lines_ = port_->modemStatus();
      channel_.installPort(port_);
      channel_.running = true;
      if (!gathered.empty()) {
        notify(Notice{NoticeKind::received, std::move(gathered), {}, 0});
      }
      return !stopRequested_;
    }
    if (!text.empty() && !notify(Notice{NoticeKind::failure, {}, text, 0}))
      return false;
    if (wake_.waitFor(reconnectPauseMillis) && stopRequested_) return false;
  }
}

}  // namespace lorvane
