#include "sender/sender.h"

#include <utility>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "spool/commands.h"
#include "spool/layout.h"
#include "spool/mnemonics.h"

namespace lorvane::sender {

namespace {

// What the sender does with an item, from its first ten bytes. The probe's
// keyword is no command to the sender: an item that begins with it is data
// and is encoded like any other.
enum class ItemKind { data, openCommand, otherCommand };

ItemKind classify(std::string_view item) {
  const auto keyword = isControlCommand(item);
  if (!keyword || *keyword == Keyword::nop) return ItemKind::data;
  return *keyword == Keyword::open ? ItemKind::openCommand
                                   : ItemKind::otherCommand;
}

std::string_view fileNameOf(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

SenderPaths SenderPaths::forInstall(std::string installDir) {
  SenderPaths paths;
  paths.serverPath = joinPath(installDir, serverProgramName);
  paths.serverOutput = joinPath(installDir, serverOutputFileName);
  paths.sndDir = joinPath(installDir, sndDirName);
  paths.tmpDir = joinPath(installDir, tmpDirName);
  paths.installDir = std::move(installDir);
  return paths;
}

std::vector<std::string_view> splitIntoBlocks(std::string_view item,
                                              std::size_t limit) {
  std::vector<std::string_view> pieces;
  if (item.size() <= limit || limit < 2) {
    pieces.push_back(item);
    return pieces;
  }
  while (item.size() > limit) {
    std::size_t cut = limit;
    if (isControlCommand(item.substr(cut))) --cut;
    pieces.push_back(item.substr(0, cut));
    item.remove_prefix(cut);
  }
  pieces.push_back(item);
  return pieces;
}

Sender::Sender(SenderPaths paths) : paths_(std::move(paths)) {}

void Sender::createDirectories() const {
  platform::makeDirectory(paths_.sndDir);
  platform::makeDirectory(paths_.tmpDir);
}

void Sender::handleArgument(std::string_view argument) {
  if (argument == textToBinarySwitch) {
    encode_ = true;
    return;
  }
  if (argument == fileSwitch) {
    fileItems_ = true;
    return;
  }
  std::string item = takeItem(argument);
  switch (classify(item)) {
    case ItemKind::openCommand:
      prepareServer();
      [[fallthrough]];
    case ItemKind::otherCommand:
      // The server reads a command from the first block of one file, so a
      // command is never cut.
      deliverSpoolFile(item);
      return;
    case ItemKind::data:
      // Encoding comes before the cut, so no mnemonic is ever cut in two.
      if (encode_) item = textToBinary(item);
      for (const auto piece : splitIntoBlocks(item, blockSize)) {
        if (!deliverSpoolFile(piece)) return;
      }
      return;
  }
}

std::string Sender::takeItem(std::string_view argument) const {
  if (!fileItems_) return std::string(argument);
  // The user names the file: a symbolic link to it is as good as the file.
  auto read =
      platform::readWholeFile(std::string(argument), platform::Links::follow);
  if (read.outcome != platform::OpenOutcome::opened) {
    printError(fileOpenErrorCaption, read.status);
    return {};
  }
  if (read.readFailed) {
    // Bytes that were read before the failure are not trusted: the item
    // goes on empty, as for a file that cannot be opened.
    printError(fileReadErrorCaption, read.status);
    return {};
  }
  return std::move(read.content);
}

void Sender::prepareServer() const {
  const std::string title = serverTitle(paths_.installDir);
  if (!platform::lookupServer(title)) {
    // The result is not looked at: a server that cannot be started shows
    // as a title that never appears.
    platform::spawnDetached({.path = paths_.serverPath,
                             .arguments = {paths_.serverPath, title},
                             .outputFile = paths_.serverOutput});
    for (int round = 0; round < waitRounds; ++round) {
      if (platform::lookupServer(title)) break;
      platform::sleepMillis(waitStepMillis);
    }
  }

  // The probe gives a server that is just starting something to take, so
  // that the drain wait below ends only after it has really been working.
  const auto probe = platform::publishFile(
      joinPath(paths_.sndDir, probeFileName), keywordText(Keyword::nop),
      platform::Replace::allowed);
  if (probe.isOk()) platform::sleepMillis(waitStepMillis);

  for (int round = 0; round < waitRounds; ++round) {
    if (!platform::hasDatFile(paths_.sndDir)) break;
    platform::sleepMillis(waitStepMillis);
  }
}

std::string Sender::nextSpoolName() {
  std::string name(fileNameOf(spoolFileName(paths_.tmpDir, counter_)));
  ++counter_;
  return name;
}

bool Sender::deliverSpoolFile(std::string_view data) {
  // Another sender that forms a name in the same millisecond forms the same
  // one. Staging never replaces a name in tmp and the move never replaces
  // one in snd; a taken name is answered with the next counter value.
  int attempts = 0;
  std::string name;
  std::string staged;
  while (staged.empty()) {
    if (attempts++ == nameAttempts) {
      printError(fileWriteErrorCaption,
                 platform::Status::fromCode(platform::errc::alreadyExists));
      return false;
    }
    name = nextSpoolName();
    const std::string path = joinPath(paths_.tmpDir, name);
    const auto written =
        platform::publishFile(path, data, platform::Replace::never);
    if (written.isOk()) {
      staged = path;
    } else if (written.stage != platform::PublishStage::commit ||
               written.status.code() != platform::errc::alreadyExists) {
      printError(written.stage == platform::PublishStage::open
                     ? fileOpenErrorCaption
                     : fileWriteErrorCaption,
                 written.status);
      return false;
    }
  }

  for (;;) {
    const auto moved =
        platform::moveNoReplace(staged, joinPath(paths_.sndDir, name));
    if (moved.isOk()) return true;
    // Any failure but a taken name would leave the item in tmp unseen.
    if (moved.code() != platform::errc::alreadyExists ||
        attempts++ == nameAttempts) {
      printError(fileWriteErrorCaption, moved);
      return false;
    }
    name = nextSpoolName();
  }
}

void Sender::printError(std::string_view message,
                        const platform::Status& status) {
  std::string line(message);
  line += ':';
  line += status.reason();
  line += '\n';
  platform::writeStandardOutput(line);
}

int runSender(std::span<char* const> arguments) {
  auto installDir = installDirectory();
  if (!installDir) {
    platform::writeStandardError(fatalLine);
    return 1;
  }
  // A reader that has gone away must not end the run: the items after a
  // report line still have to be delivered.
  platform::ignoreBrokenPipe();

  Sender sender(SenderPaths::forInstall(std::move(*installDir)));
  sender.createDirectories();
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    sender.handleArgument(arguments[i]);
  }
  return 0;
}

}  // namespace lorvane::sender
