// Spool-file primitives on POSIX. POSIX has no share modes, so "a reader
// never sees a half-written file" comes from publishing (write a hidden
// temporary file, then rename it into place) and from readers that refuse
// anything but a regular file reached without a symbolic link.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/files.h"
#include "platform/posix/eintr.h"
#include "platform/posix/unique_fd.h"

namespace lorvane::platform {

namespace {

bool endsWithDat(const char* name) {
  const std::size_t length = std::strlen(name);
  return length > 4 && name[0] != '.' &&
         std::memcmp(name + length - 4, ".dat", 4) == 0;
}

// A name of its own for every publication: two threads of one process that
// publish the same path at once must not write into one temporary file, or
// one of them would rename the other's half-written content into place.
std::string temporaryPathFor(const std::string& path) {
  static std::atomic<unsigned long> serial{0};
  const auto slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  const std::string name =
      slash == std::string::npos ? path : path.substr(slash + 1);
  return directory + "/." + name + "." + std::to_string(getpid()) + "." +
         std::to_string(serial.fetch_add(1, std::memory_order_relaxed)) +
         ".tmp";
}

Status writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n =
        retryOnInterrupt([&] { return ::write(fd, data.data(), data.size()); });
    if (n < 0) return Status::fromLastError();
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return Status::ok();
}

// Renames without replacing: renameat2 where the kernel and file system
// have it, otherwise a hard link (which fails on an existing name) and an
// unlink of the old name.
Status renameNoReplace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                  RENAME_NOREPLACE) == 0) {
    return Status::ok();
  }
  if (errno != EINVAL && errno != ENOSYS) return Status::fromLastError();
#endif
  if (::link(from.c_str(), to.c_str()) != 0) return Status::fromLastError();
  ::unlink(from.c_str());
  return Status::ok();
}

// Opens a spool file for reading as the unshared open of the classic system
// does: only a regular file, never through a symbolic link, and not while a
// cooperating writer holds it exclusively.
// `path` is relative to the directory `atFd` (AT_FDCWD: the usual rules).
OpenOutcome openForReading(int atFd, const std::string& path, UniqueFd& fd,
                           Status& status, Links links = Links::refuse) {
  const int noFollow = links == Links::refuse ? O_NOFOLLOW : 0;
  fd.reset(retryOnInterrupt([&] {
    return ::openat(atFd, path.c_str(),
                    O_RDONLY | noFollow | O_NONBLOCK | O_CLOEXEC);
  }));
  if (!fd) {
    status = Status::fromLastError();
    switch (errno) {
      case ENOENT:
        return OpenOutcome::missing;
      case EAGAIN:
      case EINTR:
      case EMFILE:
      case ENFILE:
      case ENOMEM:
        return OpenOutcome::busy;
      default:
        return OpenOutcome::unusable;  // ELOOP (a link), EACCES, ...
    }
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    status = Status::fromLastError();
    return OpenOutcome::busy;
  }
  if (!S_ISREG(info.st_mode)) {
    status = Status::fromCode(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    return OpenOutcome::unusable;
  }
  if (retryOnInterrupt([&] { return ::flock(fd.get(), LOCK_SH | LOCK_NB); }) !=
      0) {
    status = Status::fromLastError();
    return OpenOutcome::busy;
  }
  status = Status::ok();
  return OpenOutcome::opened;
}

OpenOutcome openForReading(const std::string& path, UniqueFd& fd,
                           Status& status) {
  return openForReading(AT_FDCWD, path, fd, status);
}

// Reads until `maxBytes` have arrived or the file ends. The buffer grows
// with what arrives instead of taking `maxBytes` at once, so that a
// generous limit on a small file costs no more than the file holds.
void readInto(int fd, std::size_t maxBytes, ReadOutcome& result) {
  constexpr std::size_t firstChunk = 128 * 1024;  // a block in one read
  result.content.resize(std::min(maxBytes, firstChunk));
  std::size_t total = 0;
  while (total < maxBytes) {
    if (total == result.content.size()) {
      result.content.resize(total + std::min(maxBytes - total, total));
    }
    const ssize_t n = retryOnInterrupt([&] {
      return ::read(fd, result.content.data() + total,
                    result.content.size() - total);
    });
    if (n < 0) {
      result.status = Status::fromLastError();
      result.readFailed = true;
      break;
    }
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  result.content.resize(total);
}

}  // namespace

PublishResult publishFile(const std::string& path, std::string_view content,
                          Replace replace) {
  const std::string temporary = temporaryPathFor(path);
  UniqueFd fd(retryOnInterrupt([&] {
    return ::open(temporary.c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  }));
  if (!fd) return {Status::fromLastError(), PublishStage::open};

  Status status = writeAll(fd.get(), content);
  if (status.isOk() && ::close(fd.release()) != 0) {
    status = Status::fromLastError();
  }
  if (!status.isOk()) {
    ::unlink(temporary.c_str());
    return {status, PublishStage::write};
  }
  if (replace == Replace::allowed) {
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
      status = Status::fromLastError();
    }
  } else {
    status = renameNoReplace(temporary, path);
  }
  if (!status.isOk()) {
    ::unlink(temporary.c_str());
    return {status, PublishStage::commit};
  }
  return {};
}

ReadOutcome readSpoolFile(const std::string& path, std::size_t maxBytes) {
  ReadOutcome result;
  UniqueFd fd;
  result.outcome = openForReading(path, fd, result.status);
  if (result.outcome == OpenOutcome::opened)
    readInto(fd.get(), maxBytes, result);
  return result;
}

ReadOutcome readWholeFile(const std::string& path, Links links) {
  ReadOutcome result;
  UniqueFd fd;
  result.outcome = openForReading(AT_FDCWD, path, fd, result.status, links);
  if (result.outcome != OpenOutcome::opened) return result;
  struct stat info {};
  ::fstat(fd.get(), &info);
  std::string content;
  std::size_t chunk =
      std::max<std::size_t>(static_cast<std::size_t>(info.st_size), 1) + 1;
  for (;;) {
    ReadOutcome part;
    readInto(fd.get(), chunk, part);
    content += part.content;
    if (part.readFailed) {
      result.status = part.status;
      result.readFailed = true;
      break;
    }
    if (part.content.size() < chunk) break;
    chunk = 65536;
  }
  result.content = std::move(content);
  return result;
}

namespace {

ReadOutcome readFileRangeAt(int atFd, const std::string& path,
                            std::uint64_t offset, std::size_t length) {
  ReadOutcome result;
  UniqueFd fd;
  result.outcome = openForReading(atFd, path, fd, result.status);
  if (result.outcome != OpenOutcome::opened) return result;
  if (::lseek(fd.get(), static_cast<off_t>(offset), SEEK_SET) < 0) {
    result.status = Status::fromLastError();
    result.readFailed = true;
    return result;
  }
  readInto(fd.get(), length, result);
  return result;
}

// The "*.dat" names of an open listing, sorted; closes the listing.
std::vector<std::string> takeDatNames(DIR* dir) {
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    if (endsWithDat(entry->d_name)) names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::uint64_t> regularFileSizeAt(int atFd,
                                               const std::string& path) {
  struct stat info {};
  if (::fstatat(atFd, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.st_size);
}

}  // namespace

ReadOutcome readFileRange(const std::string& path, std::uint64_t offset,
                          std::size_t length) {
  return readFileRangeAt(AT_FDCWD, path, offset, length);
}

Status moveNoReplace(const std::string& from, const std::string& to) {
  return renameNoReplace(from, to);
}

std::vector<std::string> listDatFiles(const std::string& directory) {
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return {};
  return takeDatNames(dir);
}

bool hasDatFile(const std::string& directory) {
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return false;
  bool found = false;
  while (const dirent* entry = ::readdir(dir)) {
    if (endsWithDat(entry->d_name)) {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

std::optional<std::uint64_t> regularFileSize(const std::string& directory,
                                             const std::string& name) {
  return regularFileSizeAt(AT_FDCWD, directory + "/" + name);
}

DirectoryHandle::DirectoryHandle(const std::string& path)
    : fd_(retryOnInterrupt([&] {
        return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      })) {}

DirectoryHandle::~DirectoryHandle() {
  if (fd_ >= 0) ::close(fd_);
}

std::vector<std::string> DirectoryHandle::listDatFiles() const {
  if (fd_ < 0) return {};
  // The listing takes a descriptor of its own, so that the handle keeps its
  // directory when the listing is closed; the two share a read offset, so
  // the listing starts from the beginning explicitly.
  const int listingFd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (listingFd < 0) return {};
  DIR* dir = ::fdopendir(listingFd);
  if (!dir) {
    ::close(listingFd);
    return {};
  }
  ::rewinddir(dir);
  return takeDatNames(dir);
}

std::optional<std::uint64_t> DirectoryHandle::regularFileSize(
    const std::string& name) const {
  if (fd_ < 0) return std::nullopt;
  return regularFileSizeAt(fd_, name);
}

ReadOutcome DirectoryHandle::readFileRange(const std::string& name,
                                           std::uint64_t offset,
                                           std::size_t length) const {
  if (fd_ < 0) return {};  // missing, like a file that vanished
  return readFileRangeAt(fd_, name, offset, length);
}

Status makeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return Status::ok();
  return Status::fromLastError();
}

Status removeFile(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return Status::ok();
  return Status::fromLastError();
}

}  // namespace lorvane::platform
