#include "receiver/receiver.h"

#include <algorithm>
#include <limits>

#include "platform/files.h"
#include "spool/commands.h"
#include "spool/layout.h"

namespace lorvane::receiver {

namespace {

constexpr std::string_view dataOption = "-dat";

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
  return b > limit - a ? limit : a + b;
}

std::string readLineStates(const std::string& statusFile) {
  auto result = platform::readSpoolFile(statusFile, blockSize);
  // A file that is missing, busy or unreadable leaves the record empty, so
  // every line reads as 0.
  if (result.outcome != platform::OpenOutcome::opened || result.readFailed) {
    return {};
  }
  return std::move(result.content);
}

}  // namespace

DataRequest parseDataRequest(std::span<const std::string_view> arguments) {
  DataRequest request;
  if (arguments.size() >= 1) {
    const std::int64_t value = parseDecimal64(arguments[0]);
    request.start = value > 1 ? static_cast<std::uint64_t>(value - 1) : 0;
  }
  if (arguments.size() >= 2) {
    const std::int64_t value = parseDecimal64(arguments[1]);
    request.length = static_cast<std::size_t>(
        std::clamp<std::int64_t>(value, 0, std::int64_t{blockSize}));
  }
  if (arguments.size() >= 3) {
    request.hex = arguments[2] == "hex" || arguments[2] == "HEX";
  }
  return request;
}

std::string selectReceived(const std::string& rcvDirectory, std::uint64_t start,
                           std::size_t length) {
  std::string selection(length, '\0');
  if (length == 0) return selection;
  const std::uint64_t end = saturatingAdd(start, length);

  // Every look-up below is relative to the open directory: a start deep in
  // a long stream costs one size query per file in front of it.
  const platform::DirectoryHandle directory(rcvDirectory);
  // `position` is where the current file begins in the stream.
  std::uint64_t position = 0;
  for (const auto& name : directory.listDatFiles()) {
    if (position >= end) break;
    const auto size = directory.regularFileSize(name);
    if (!size) continue;  // gone, or no regular file: not part of the stream
    const std::uint64_t fileEnd = saturatingAdd(position, *size);
    if (fileEnd > start) {
      const std::uint64_t from = std::max(start, position);
      const std::uint64_t to = std::min(end, fileEnd);
      const auto wanted = static_cast<std::size_t>(to - from);
      const auto part = directory.readFileRange(name, from - position, wanted);
      // A file read only in part, or not at all, leaves zero bytes in its
      // place; sizes from the listing keep the files behind it where they
      // are.
      if (part.outcome == platform::OpenOutcome::opened && !part.readFailed) {
        std::copy_n(
            part.content.begin(), std::min(part.content.size(), wanted),
            selection.begin() + static_cast<std::ptrdiff_t>(from - start));
      }
    }
    position = fileEnd;
  }
  return selection;
}

std::string renderSelection(std::string_view selection, bool hex) {
  if (!hex) return std::string(selection.substr(0, selection.find('\0')));
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(selection.size() * 2);
  for (const char c : selection) {
    const auto byte = static_cast<unsigned char>(c);
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0x0F]);
  }
  return text;
}

std::string lineStateText(std::string_view option, const LineStates& states) {
  if (option == "-cts") return std::to_string(states.cts);
  if (option == "-dsr") return std::to_string(states.dsr);
  if (option == "-ring") return std::to_string(states.ring);
  if (option == "-rlsd") return std::to_string(states.rlsd);
  return {};
}

RunOutput runReceiver(const std::optional<std::string>& installDir,
                      std::span<const std::string_view> arguments) {
  RunOutput output;
  if (!installDir) {
    output.exitCode = 1;
    output.err = fatalMessage;
    return output;
  }
  const std::string rcvDirectory = joinPath(*installDir, rcvDirName);
  const std::string stsDirectory = joinPath(*installDir, stsDirName);
  // Results are not looked at: a directory that cannot be made simply lists
  // nothing later.
  platform::makeDirectory(rcvDirectory);
  platform::makeDirectory(stsDirectory);

  if (arguments.empty()) return output;
  if (arguments[0] == dataOption) {
    const DataRequest request = parseDataRequest(arguments.subspan(1));
    if (request.length == 0) return output;
    output.out = renderSelection(
        selectReceived(rcvDirectory, request.start, request.length),
        request.hex);
    return output;
  }
  // Every other first argument reads the status file, also one that names
  // no line and so prints nothing.
  const LineStates states = parseStatusRecord(
      readLineStates(joinPath(stsDirectory, lineStatusFileName)));
  output.out = lineStateText(arguments[0], states);
  return output;
}

}  // namespace lorvane::receiver
