// File primitives of the spool directories.
//
// A reader must never see a file that is still being written. Writers
// therefore publish: the content goes completely into a hidden temporary
// name in the same directory (".<name>.<pid>.<serial>.tmp", which no "*.dat"
// listing matches), and a rename makes it appear whole under its final name.
// Readers open without following symbolic links, require a regular file and
// take a shared, non-blocking lock, so that a cooperating writer that holds
// an exclusive lock on a file reads as "busy, try later".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace lorvane::platform {

enum class Replace { allowed, never };

// Where a publication failed: in creating the temporary file, in writing or
// closing it, or in renaming it into place.
enum class PublishStage { done, open, write, commit };

struct PublishResult {
  Status status;
  PublishStage stage = PublishStage::done;
  bool isOk() const { return status.isOk(); }
};

// Writes `content` under a temporary name beside `path`, then renames it to
// `path`. With Replace::never an existing `path` is left untouched and the
// result is a commit failure with errc::alreadyExists. On any failure the
// temporary file is removed.
PublishResult publishFile(const std::string& path, std::string_view content,
                          Replace replace);

enum class OpenOutcome {
  opened,
  busy,      // held by a writer or momentarily unavailable: try again later
  missing,   // vanished between listing and opening
  unusable,  // can never be read: a directory, FIFO, device, symbolic link,
             // or no permission
};

struct ReadOutcome {
  OpenOutcome outcome = OpenOutcome::missing;
  Status status;  // the system's reason when not opened, or a read failure
  std::string content;      // at most the bytes asked for
  bool readFailed = false;  // opened, but the read itself failed
};

// Reads at most `maxBytes` from the regular file `path` under a shared lock.
ReadOutcome readSpoolFile(const std::string& path, std::size_t maxBytes);

enum class Links { refuse, follow };

// Reads the whole regular file. A file a user names on a command line may
// be reached through a symbolic link (Links::follow); spool files never are.
ReadOutcome readWholeFile(const std::string& path, Links links = Links::refuse);

// Reads `length` bytes from `offset` of a regular file; fewer at its end.
ReadOutcome readFileRange(const std::string& path, std::uint64_t offset,
                          std::size_t length);

// Moves `from` to `to`, never replacing an existing `to`: the result is then
// errc::alreadyExists and both files are intact.
Status moveNoReplace(const std::string& from, const std::string& to);

// The names in `directory` that end in ".dat" (and do not begin with "."),
// sorted ascending by byte value. A missing directory lists nothing.
std::vector<std::string> listDatFiles(const std::string& directory);

// True when `directory` holds at least one name ending in ".dat".
bool hasDatFile(const std::string& directory);

// Size of a regular file in `directory`, not following links; nullopt when
// the entry is missing or not a regular file.
std::optional<std::uint64_t> regularFileSize(const std::string& directory,
                                             const std::string& name);

// A directory held open for a run of look-ups inside it: each look-up
// resolves one name relative to the open directory instead of the whole
// path again, which matters when a reader walks thousands of files. Names
// are single entries as listDatFiles returns them. Not copyable; a handle
// whose directory could not be opened lists nothing and finds nothing.
class DirectoryHandle {
 public:
  explicit DirectoryHandle(const std::string& path);
  ~DirectoryHandle();
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  // As listDatFiles: names ending in ".dat", not beginning with ".", sorted.
  std::vector<std::string> listDatFiles() const;
  // As regularFileSize.
  std::optional<std::uint64_t> regularFileSize(const std::string& name) const;
  // As readFileRange, with the same rules for opening.
  ReadOutcome readFileRange(const std::string& name, std::uint64_t offset,
                            std::size_t length) const;

 private:
  int fd_ = -1;
};

// Creates a directory; one that exists already is success.
Status makeDirectory(const std::string& path);

Status removeFile(const std::string& path);

}  // namespace lorvane::platform
