// portrecv: prints a range of the bytes received since the server started,
// raw or as hexadecimal digits, or the state of one modem input line.
//
// The received stream is the concatenation of the "*.dat" files in `rcv`,
// taken in name order (the order in which the server wrote them). Any
// position of the stream can be read; one selection is at most one block
// (102400 bytes). Positions behind the received data read as zero bytes.
//
// Where a file stands in the stream follows from the listing alone: every
// listed regular file occupies exactly its size, whether or not it can be
// opened at this moment. The server publishes every file in `rcv` whole, so
// a listed regular file is complete; a start position is therefore reached
// by adding up sizes, without opening the files in front of it. A selected
// file that cannot be opened or read (held by a foreign writer, no
// permission, vanished) contributes no bytes: its part of the selection
// reads as zero bytes, like data not yet received, and the files behind it
// keep their positions. A caller that keeps its own position is thus never
// handed bytes from the wrong place. Entries that are no regular file
// (directories, symbolic links) are not part of the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "spool/status_record.h"

namespace lorvane::receiver {

inline constexpr std::string_view fatalMessage =
    "Fatal Error: MFC initialization failed\n";

// The selection of the data mode.
struct DataRequest {
  std::uint64_t start = 0;  // counted from 0
  std::size_t length = 0;   // 0 to one block
  bool hex = false;
  bool operator==(const DataRequest&) const = default;
};

// From the arguments behind "-dat": start (counted from 1; 0, 1 and
// anything below select the first byte), length (below 0 gives 0, above one
// block gives one block; missing gives 0) and the switch, on only when it
// is exactly "hex" or "HEX". Numbers are read as 64-bit decimals that
// saturate, so no argument can overflow.
DataRequest parseDataRequest(std::span<const std::string_view> arguments);

// Exactly `length` bytes from position `start` of the stream in
// `rcvDirectory`, zero bytes where nothing was received or a file could not
// be read. Costs one listing, one size query per file up to the end of the
// selection and one read per selected file.
std::string selectReceived(const std::string& rcvDirectory, std::uint64_t start,
                           std::size_t length);

// Hex: two lower-case digits for every byte of the selection. Raw: the bytes
// up to the first zero byte among them. No line end in either.
std::string renderSelection(std::string_view selection, bool hex);

// "%d" of the line that `option` names ("-cts", "-dsr", "-ring", "-rlsd");
// empty for every other option.
std::string lineStateText(std::string_view option, const LineStates& states);

struct RunOutput {
  int exitCode = 0;
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error
};

// One run of portrecv. `installDir` is nullopt when the program could not
// find its own path; that is the one failure, reported with the fatal line
// and exit code 1. Otherwise `rcv` and `sts` are created when missing and
// the exit code is 0 whatever could be read.
RunOutput runReceiver(const std::optional<std::string>& installDir,
                      std::span<const std::string_view> arguments);

}  // namespace lorvane::receiver
