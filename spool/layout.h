// The install directory, the spool directories beside the executables, the
// names of spool and log files, and the title by which a running server is
// found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace lorvane {

// The unit of every spool file the server reads, every transmission and
// every received file.
inline constexpr std::size_t blockSize = 102400;

inline constexpr std::string_view sndDirName = "snd";
inline constexpr std::string_view tmpDirName = "tmp";
inline constexpr std::string_view rcvDirName = "rcv";
inline constexpr std::string_view stsDirName = "sts";
inline constexpr std::string_view logDirName = "log";
inline constexpr std::string_view lineStatusFileName = "LineStatus.dat";
inline constexpr std::string_view probeFileName = "nop.dat";
inline constexpr std::string_view serverProgramName = "Lorvane";
// Standard output and error of a server started by the sender.
inline constexpr std::string_view serverOutputFileName = "Lorvane.out";

// What a log file records.
inline constexpr std::string_view logSuffixSend = "_SND";
inline constexpr std::string_view logSuffixOpen = "_SOP";
inline constexpr std::string_view logSuffixClose = "_SCL";
inline constexpr std::string_view logSuffixLine = "_SST";
inline constexpr std::string_view logSuffixReceive = "_RCV";
inline constexpr std::string_view logSuffixStatus = "_RST";

// The directory part of an executable's path, without a trailing slash: an
// executable at "/Lorvane" gives "".
std::string directoryOf(std::string_view executablePath);

// The install directory of the running program; nullopt when the program
// cannot find its own path.
std::optional<std::string> installDirectory();

// "<dir>/<name>".
std::string joinPath(std::string_view directory, std::string_view name);

// The server path "<install>/Lorvane" with every blank replaced by "_".
std::string serverTitle(std::string_view installDir);

// The twenty-digit stamp of year, month, day, hour, minute, second,
// millisecond and `counter` modulo 1000.
std::string spoolStamp(const platform::WallClock& clock, std::uint64_t counter);

// "<directory>/<stamp><suffix>.dat" at the time of the call. Names that one
// writer forms ascend with the time of writing as long as its counter does
// not wrap within one millisecond.
std::string spoolFileName(std::string_view directory, std::uint64_t counter,
                          std::string_view suffix = {});

// The counter field (the last three digits before ".dat" and any suffix) of
// a stamp name; nullopt when `name` is no stamp name.
std::optional<int> counterField(std::string_view name);

}  // namespace lorvane
