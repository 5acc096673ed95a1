// The server's main object: start-up, the spool dispatcher, the handlers of
// the reader's notices, the file writers, the reports and the shutdown. All
// of it runs on the main thread, one handler at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/serial.h"
#include "platform/wakeup.h"
#include "server/port_channel.h"
#include "server/tray.h"

namespace lorvane {

using Publisher = std::function<platform::PublishResult(
    const std::string& path, std::string_view content,
    platform::Replace replace)>;
using LineSink = std::function<void(std::string_view line)>;

// What the server needs from its surroundings; tests put fakes here.
struct ServerServices {
  platform::PortDriver& driver;
  TrayIcon& tray;
  platform::Wakeup& noticeWakeup;  // signalled when a notice waits
  LineSink report;                 // one report line, "caption:text"
  LineSink inform;                 // the version line
  Publisher publish;
};

class ServerWindow {
 public:
  ServerWindow(std::string installDir, ServerServices services);
  ~ServerWindow();
  ServerWindow(const ServerWindow&) = delete;
  ServerWindow& operator=(const ServerWindow&) = delete;

  // Shows the tray icon, creates the spool directories and removes what an
  // earlier run left in snd and rcv and the old line status.
  void startUp();
  // One dispatcher pass over snd, after sending what is still queued for
  // the port.
  void onTimer();
  // The periodic tick. Without a directory watch every tick makes a pass.
  // While a watch reports every file that lands in snd, a tick makes a
  // pass only when the last pass stopped at a file still held by its
  // writer, and otherwise once a second as a safety net.
  void onTick();
  // How long the next tick may wait: the short tick while something waits
  // to be retried (a held file, output the port has not taken yet), the
  // safety interval otherwise.
  int tickMillis() const;
  // A name appeared in snd without a completed write: its writer may still
  // be at work, so look again at every short tick for a while.
  void expectArrivals();
  void setSpoolWatched(bool watched) { spoolWatched_ = watched; }
  // Handles every notice the reader has queued.
  void onNotices();
  void onMenuCommand(int command);
  // Closes the port and removes the tray icon; the server then ends.
  void shutdown();
  bool ended() const { return ended_; }

  void sendData(std::string_view data);
  void writeRcvFile(std::string_view bytes);
  void writeLineStatus(std::string_view record);
  void writeLog(std::string_view bytes, std::string_view suffix);
  void reportError(std::string_view caption, std::string_view text);

  PortChannel& channel() { return channel_; }
  const std::string& sndDir() const { return sndDir_; }
  const std::string& rcvDir() const { return rcvDir_; }
  const std::string& logDir() const { return logDir_; }
  const std::string& lineStatusPath() const { return lineStatusPath_; }
  bool loggingOn() const { return loggingOn_; }

 private:
  void dispatchPass();
  void flushOutput();
  // Reports the channel's error text under `caption` and clears it.
  void reportChannelError(std::string_view caption);
  void carryOut(std::string_view content);
  void openCommand(std::string_view content);
  void lineCommand(std::string_view content, platform::ControlLine line);
  void handleNotice(const Notice& notice);
  void writeStamped(const std::string& directory, std::uint64_t& counter,
                    std::string_view suffix, std::string_view bytes);
  void writeFile(const std::string& path, std::string_view bytes,
                 platform::Replace replace);

  ServerServices services_;
  std::string installDir_;
  std::string sndDir_;
  std::string rcvDir_;
  std::string stsDir_;
  std::string logDir_;
  std::string lineStatusPath_;
  std::uint64_t rcvCounter_ = 0;
  std::uint64_t logCounter_ = 0;
  bool loggingOn_ = false;
  bool ended_ = false;
  bool spoolWatched_ = false;
  bool passIncomplete_ = false;
  std::int64_t lastPass_ = 0;
  std::int64_t shortTicksUntil_ = 0;
  // Entries of snd that can never be read, each reported once.
  std::set<std::string> reportedUnusable_;
  PortChannel channel_;
};

}  // namespace lorvane
