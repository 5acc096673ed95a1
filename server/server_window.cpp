#include "server/server_window.h"

#include <algorithm>
#include <vector>

#include "platform/clock.h"
#include "server/error_report.h"
#include "spool/commands.h"
#include "spool/layout.h"
#include "spool/status_record.h"

namespace lorvane {

namespace {

// Names of one writer collide only when its counter wraps within one
// millisecond or the clock goes back; the next counter value then gives a
// new name. A thousand tries cover every counter value.
constexpr int nameAttempts = 1000;

}  // namespace

ServerWindow::ServerWindow(std::string installDir, ServerServices services)
    : services_(std::move(services)),
      installDir_(std::move(installDir)),
      sndDir_(joinPath(installDir_, sndDirName)),
      rcvDir_(joinPath(installDir_, rcvDirName)),
      stsDir_(joinPath(installDir_, stsDirName)),
      logDir_(joinPath(installDir_, logDirName)),
      lineStatusPath_(joinPath(stsDir_, lineStatusFileName)),
      channel_(services_.driver, services_.noticeWakeup) {
  if (!services_.publish) services_.publish = platform::publishFile;
}

ServerWindow::~ServerWindow() { channel_.closePort(); }

namespace {

// Results are not looked at: a file that cannot be deleted stays.
void makeEmptied(const std::string& directory) {
  platform::makeDirectory(directory);
  for (const auto& name : platform::listDatFiles(directory)) {
    platform::removeFile(joinPath(directory, name));
  }
}

}  // namespace

void ServerWindow::startUp() {
  services_.tray.add(standingTip);
  makeEmptied(sndDir_);
  makeEmptied(rcvDir_);
  platform::makeDirectory(stsDir_);
  platform::removeFile(lineStatusPath_);
  platform::makeDirectory(logDir_);
}

void ServerWindow::onTimer() {
  if (ended_) return;
  flushOutput();
  dispatchPass();
}

void ServerWindow::flushOutput() {
  if (!channel_.flushOutput()) reportChannelError(captionSend);
}

void ServerWindow::reportChannelError(std::string_view caption) {
  reportError(caption, channel_.errorText);
  channel_.errorText.clear();
}

namespace {

constexpr int shortTickMillis = 10;
constexpr int safetyPassMillis = 1000;

}  // namespace

int ServerWindow::tickMillis() const {
  if (!spoolWatched_ || passIncomplete_ || channel_.queuedOutput() > 0 ||
      platform::monotonicMillis() < shortTicksUntil_) {
    return shortTickMillis;
  }
  return safetyPassMillis;
}

void ServerWindow::expectArrivals() {
  shortTicksUntil_ = platform::monotonicMillis() + safetyPassMillis;
}

void ServerWindow::onTick() {
  const std::int64_t now = platform::monotonicMillis();
  if (spoolWatched_ && !passIncomplete_ && now >= shortTicksUntil_ &&
      now - lastPass_ < safetyPassMillis) {
    if (!ended_) flushOutput();
    return;
  }
  onTimer();
}

void ServerWindow::dispatchPass() {
  passIncomplete_ = false;
  lastPass_ = platform::monotonicMillis();
  const auto names = platform::listDatFiles(sndDir_);
  // Forget entries that are gone, so that a new one of the same name is
  // reported again.
  std::erase_if(reportedUnusable_, [&](const std::string& name) {
    return !std::binary_search(names.begin(), names.end(), name);
  });
  for (const auto& name : names) {
    if (ended_) return;
    services_.tray.step();
    const std::string path = joinPath(sndDir_, name);
    auto file = platform::readSpoolFile(path, blockSize);
    if (file.outcome == platform::OpenOutcome::busy) {  // a writer holds it
      passIncomplete_ = true;
      break;
    }
    if (file.outcome == platform::OpenOutcome::missing) continue;
    if (file.outcome == platform::OpenOutcome::unusable || file.readFailed) {
      // Never readable: skip it, say so once, and go on with the rest.
      if (reportedUnusable_.insert(name).second) {
        reportError(captionFileOpen,
                    composeErrorText(path, file.status.reason()));
      }
      continue;
    }
    platform::removeFile(path);
    carryOut(file.content);
  }
}

void ServerWindow::carryOut(std::string_view content) {
  const auto keyword = isControlCommand(content);
  if (!keyword) {
    writeLog(content, logSuffixSend);
    sendData(content);
    return;
  }
  switch (*keyword) {
    case Keyword::nop:
      break;
    case Keyword::open:
      openCommand(content);
      break;
    case Keyword::close:
      writeLog(content, logSuffixClose);
      channel_.closePort();
      services_.tray.setTip(standingTip);
      shutdown();
      break;
    case Keyword::logStart:
      loggingOn_ = true;
      break;
    case Keyword::logEnd:
      loggingOn_ = false;
      break;
    case Keyword::setRts:
      lineCommand(content, platform::ControlLine::setRts);
      break;
    case Keyword::clearRts:
      lineCommand(content, platform::ControlLine::clearRts);
      break;
    case Keyword::setDtr:
      lineCommand(content, platform::ControlLine::setDtr);
      break;
    case Keyword::clearDtr:
      lineCommand(content, platform::ControlLine::clearDtr);
      break;
  }
}

void ServerWindow::lineCommand(std::string_view content,
                               platform::ControlLine line) {
  writeLog(content, logSuffixLine);
  if (channel_.running) channel_.controlLine(line);
}

void ServerWindow::openCommand(std::string_view content) {
  writeLog(content, logSuffixOpen);
  // Close first, also a port that is being reconnected, so that no reader
  // looks at the settings while they change.
  channel_.closePort();
  const auto parsed = parseOpenParameters(content, channel_.parameters);
  if (parsed.portNameTooLong) {
    reportError(captionPortOpen,
                composeErrorText(opOpen, "port name longer than 63 bytes"));
    services_.tray.setTip(standingTip);
    return;
  }
  channel_.parameters = parsed.parameters;
  channel_.errorChar = '?';
  if (!channel_.openPort()) {
    reportChannelError(captionPortOpen);
    services_.tray.setTip(standingTip);
    return;
  }
  // A driver that cannot report lines shows them all off.
  writeLineStatus(formatStatusRecord(channel_.modemStatus().value_or(0)));
  services_.tray.setTip(channel_.parameters.portName + " - " +
                        std::string(standingTip));
}

void ServerWindow::sendData(std::string_view data) {
  if (data.empty() || !channel_.running) return;
  if (!channel_.writePort(data)) {
    reportChannelError(captionSend);
  }
}

void ServerWindow::onNotices() {
  Notice notice;
  while (!ended_ && channel_.handOver.takeNext(notice)) {
    handleNotice(notice);
    channel_.handOver.acknowledge(notice.sequence);
  }
}

void ServerWindow::handleNotice(const Notice& notice) {
  services_.tray.step();
  switch (notice.kind) {
    case NoticeKind::failure:
      reportError(captionReceive, notice.errorText);
      break;
    case NoticeKind::received:
      if (channel_.running && !notice.block.empty()) {
        writeLog(notice.block, logSuffixReceive);
        writeRcvFile(notice.block);
      }
      break;
    case NoticeKind::lineStatus:
      if (channel_.running) {
        const std::string record =
            formatStatusRecord(channel_.modemStatus().value_or(0));
        writeLog(record, logSuffixStatus);
        writeLineStatus(record);
      }
      break;
  }
}

void ServerWindow::onMenuCommand(int command) {
  if (command == menuExitCommand) {
    shutdown();
  } else if (command == menuAboutCommand) {
    if (services_.inform) services_.inform(versionLine);
  }
}

void ServerWindow::shutdown() {
  if (ended_) return;
  channel_.closePort();
  services_.tray.remove();
  ended_ = true;
}

void ServerWindow::reportError(std::string_view caption,
                               std::string_view text) {
  if (services_.report) services_.report(reportLine(caption, text));
}

void ServerWindow::writeFile(const std::string& path, std::string_view bytes,
                             platform::Replace replace) {
  const auto result = services_.publish(path, bytes, replace);
  if (result.isOk()) return;
  reportError(result.stage == platform::PublishStage::open ? captionFileOpen
                                                           : captionFileWrite,
              result.status.reason());
}

void ServerWindow::writeStamped(const std::string& directory,
                                std::uint64_t& counter, std::string_view suffix,
                                std::string_view bytes) {
  for (int attempt = 0; attempt < nameAttempts; ++attempt) {
    ++counter;
    const std::string path = spoolFileName(directory, counter, suffix);
    const auto result =
        services_.publish(path, bytes, platform::Replace::never);
    if (result.isOk()) return;
    if (result.stage == platform::PublishStage::commit &&
        result.status.code() == platform::errc::alreadyExists) {
      continue;
    }
    reportError(result.stage == platform::PublishStage::open ? captionFileOpen
                                                             : captionFileWrite,
                result.status.reason());
    return;
  }
  reportError(captionFileWrite,
              platform::systemReason(platform::errc::alreadyExists));
}

void ServerWindow::writeRcvFile(std::string_view bytes) {
  writeStamped(rcvDir_, rcvCounter_, {}, bytes);
}

void ServerWindow::writeLineStatus(std::string_view record) {
  writeFile(lineStatusPath_, record, platform::Replace::allowed);
}

void ServerWindow::writeLog(std::string_view bytes, std::string_view suffix) {
  if (!loggingOn_) return;
  writeStamped(logDir_, logCounter_, suffix, bytes);
}

}  // namespace lorvane
