// The server's one record of its serial port, shared by the main thread and
// the reader thread, and the operations on it.
//
// Sharing rules:
// - Settings, the transmit queue and `errorText` belong to the main thread.
// - The open port is held through a shared pointer under `portMutex`; the
//   reader replaces it when it reconnects, and a port is closed only when
//   the last user lets go of it, so no thread ever uses a closed descriptor.
// - `running` and `autoReopen` are atomic flags.
// - Received data, line changes and failures travel from the reader to the
//   main thread as notices that carry their own kind and data (HandOver).
//   The reader waits for each notice to be handled (at most 10000 ms)
//   before it gathers again; a stop request ends every wait at once, so the
//   main thread can stop the reader without waiting on it while it waits on
//   the main thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/serial.h"
#include "platform/wakeup.h"
#include "spool/commands.h"

namespace lorvane {

enum class NoticeKind {
  received,    // a block of bytes
  lineStatus,  // the modem lines changed
  failure,     // the reader failed; `errorText` says how
};

struct Notice {
  NoticeKind kind = NoticeKind::received;
  std::string block;
  std::string errorText;
  std::uint64_t sequence = 0;
};

// Notices from the reader to the main thread, and their acknowledgements.
class HandOver {
 public:
  explicit HandOver(platform::Wakeup& mainWakeup) : mainWakeup_(mainWakeup) {}

  // Reader side. Queues the notice, wakes the main thread, and returns the
  // notice's sequence number.
  std::uint64_t post(Notice notice);
  // Waits until the notice has been handled, `timeoutMillis` pass, or
  // `stop` is set (and cancelWaits called). True when acknowledged.
  bool waitHandled(std::uint64_t sequence, int timeoutMillis,
                   const std::atomic<bool>& stop);

  // Main side.
  bool takeNext(Notice& notice);
  void acknowledge(std::uint64_t sequence);
  // Ends the waits of waitHandled so that they look at their stop flag.
  void cancelWaits();
  std::size_t pending();

 private:
  platform::Wakeup& mainWakeup_;
  std::mutex mutex_;
  std::condition_variable handled_;
  std::deque<Notice> queue_;
  std::uint64_t posted_ = 0;
  std::uint64_t acknowledged_ = 0;
};

class PortChannel;

// The reader thread of one open port.
class Reader {
 public:
  Reader(PortChannel& channel, std::shared_ptr<platform::SerialPort> port,
         platform::PortSettings settings, std::string portName);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Asks the thread to end and waits until it has. Never blocks on the
  // main thread's handling of notices.
  void stop();

 private:
  void run();
  bool gatherBlock(std::string& block, platform::Status& failure);
  bool notify(Notice notice);
  bool reconnect(std::string_view failedOperation,
                 const platform::Status& reason, std::string gathered);
  void pollLines();

  PortChannel& channel_;
  std::shared_ptr<platform::SerialPort> port_;
  const platform::PortSettings settings_;
  const std::string portName_;
  std::optional<unsigned> lines_;
  std::atomic<bool> stopRequested_{false};
  platform::Wakeup wake_;
  std::string readBuffer_;
  std::thread thread_;
};

class PortChannel {
 public:
  PortChannel(platform::PortDriver& driver, platform::Wakeup& mainWakeup);
  ~PortChannel();
  PortChannel(const PortChannel&) = delete;
  PortChannel& operator=(const PortChannel&) = delete;

  // Settings from "@OPEN@@@@@" (main thread).
  OpenParameters parameters;
  char errorChar = '?';

  std::atomic<bool> running{false};
  std::atomic<bool> autoReopen{false};
  // The text of the main thread's last port failure, "operation(reason)";
  // empty when there is none.
  std::string errorText;

  HandOver handOver;

  // Closes any open port (stopping its reader), then opens and configures
  // the port the parameters name and starts its reader. On failure
  // `errorText` holds the reason, except when another open of this channel
  // is in progress: then the result is failure and `errorText` untouched.
  bool openPort();
  // Stops the reader, lets the transmit queue drain for at most 1000 ms and
  // closes the port.
  void closePort();
  void controlLine(platform::ControlLine line);
  // Queues `data` behind anything not yet sent and writes for at most
  // 1000 ms; what the port has not taken then stays queued, in order, and
  // goes out with later writes and ticks. On failure `errorText` holds the
  // reason and the queue is dropped.
  bool writePort(std::string_view data);
  // Writes what is queued as far as the port takes it without waiting.
  bool flushOutput();
  std::size_t queuedOutput() const { return txBuffer_.size() - txSent_; }
  std::optional<unsigned> modemStatus();

  // The port in use, or null.
  std::shared_ptr<platform::SerialPort> currentPort();

  // Reader side: opens the device for a reconnection under the open guard.
  std::shared_ptr<platform::SerialPort> reopenDevice(
      const std::string& name, const platform::PortSettings& settings,
      std::string& errorText);
  void installPort(std::shared_ptr<platform::SerialPort> port);

  // Number of reader threads alive right now, for checks.
  static int liveReaders();

 private:
  std::shared_ptr<platform::SerialPort> openDevice(
      const std::string& name, const platform::PortSettings& settings,
      std::string& errorText);
  platform::PortSettings settings() const;
  bool writeQueued(int waitMillis);

  platform::PortDriver& driver_;
  std::mutex portMutex_;
  std::shared_ptr<platform::SerialPort> port_;
  std::unique_ptr<Reader> reader_;
  std::string txBuffer_;
  std::size_t txSent_ = 0;
};

}  // namespace lorvane
