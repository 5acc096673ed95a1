// portsend: turns each command-line argument, or the file it names, into
// spool files in snd, and makes sure a server runs for an open command.
//
// Arguments are handled strictly from left to right. "-t2b" and "-f" are
// switches that stay set for the rest of the run; every other argument is
// one item. The sender never stops on a failed item: it reports the failure
// on standard output and goes on with the next argument.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace lorvane::sender {

inline constexpr std::string_view textToBinarySwitch = "-t2b";
inline constexpr std::string_view fileSwitch = "-f";

inline constexpr std::string_view fileOpenErrorCaption =
    "ファイルオープンエラー";
inline constexpr std::string_view fileReadErrorCaption =
    "ファイル読み込みエラー";
inline constexpr std::string_view fileWriteErrorCaption =
    "ファイル書き込みエラー";
inline constexpr std::string_view fatalLine =
    "Fatal Error: MFC initialization failed\n";

// Rounds of 10 ms that the sender waits for a server it started to register,
// and for snd to drain before an open command.
inline constexpr int waitRounds = 1000;
inline constexpr int waitStepMillis = 10;

// How many spool names one item may try when its name is taken in snd or
// tmp (another sender formed the same name in the same millisecond).
inline constexpr int nameAttempts = 1000;

// Every location of a run, formed once from the install directory.
struct SenderPaths {
  std::string installDir;
  std::string serverPath;    // <install>/Lorvane
  std::string serverOutput;  // <install>/Lorvane.out
  std::string sndDir;
  std::string tmpDir;

  static SenderPaths forInstall(std::string installDir);
};

// Cuts an item into the pieces that become its spool files: at most
// `limit` bytes each, in order, and one empty piece for an empty item. A
// cut never lets a piece after the first begin with a keyword, since the
// server would then carry out as a command what the user sent as data; such
// a cut moves one byte earlier (no keyword has "@" as its second byte).
std::vector<std::string_view> splitIntoBlocks(std::string_view item,
                                              std::size_t limit);

class Sender {
 public:
  explicit Sender(SenderPaths paths);

  // Creates snd and tmp; a failure shows later as the failure of a file
  // operation.
  void createDirectories() const;

  // One argument: a switch or an item.
  void handleArgument(std::string_view argument);

  // For an open command: starts the server when none holds the title,
  // drops the probe "nop.dat" into snd and waits until snd has drained.
  // Every wait is bounded; a server that does not come up or a snd that
  // does not drain only delays the delivery.
  void prepareServer() const;

  // Writes one spool file into tmp and moves it into snd under a name that
  // is not taken. False, after a report line, when the item could not be
  // delivered.
  bool deliverSpoolFile(std::string_view data);

  // Prints "<message>:<reason>" and a line end on standard output.
  static void printError(std::string_view message,
                         const platform::Status& status);

  std::uint64_t counter() const { return counter_; }

 private:
  std::string takeItem(std::string_view argument) const;
  // The next spool file name (without directory); steps the counter.
  std::string nextSpoolName();

  SenderPaths paths_;
  bool encode_ = false;
  bool fileItems_ = false;
  std::uint64_t counter_ = 0;
};

// The whole program: exit code 0 once every argument has been handled, 1
// when the program cannot find its own install directory.
int runSender(std::span<char* const> arguments);

}  // namespace lorvane::sender
