// The registry of running servers on POSIX: one locked file per title in a
// per-user runtime directory. The lock, not the file, says that a server
// runs: the kernel drops it with the process, however the process ends.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/posix/eintr.h"
#include "platform/posix/unique_fd.h"
#include "platform/registry.h"

namespace lorvane::platform {

namespace {

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string entryPath(const std::string& title) {
  char name[64];
  std::snprintf(name, sizeof name, "/lorvane-%016llx.reg",
                static_cast<unsigned long long>(fnv1a(title)));
  return registryDirectory() + name;
}

std::optional<RegistryRecord> parseRecord(const std::string& text) {
  // title NL pid NL tip NL
  const auto first = text.find('\n');
  if (first == std::string::npos) return std::nullopt;
  const auto second = text.find('\n', first + 1);
  if (second == std::string::npos) return std::nullopt;
  RegistryRecord record;
  record.title = text.substr(0, first);
  record.processId =
      std::atoi(text.substr(first + 1, second - first - 1).c_str());
  const auto third = text.find('\n', second + 1);
  record.tip =
      text.substr(second + 1, third == std::string::npos ? std::string::npos
                                                         : third - second - 1);
  return record;
}

}  // namespace

std::string registryDirectory() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      runtime && *runtime == '/') {
    return runtime;
  }
  const std::string directory = "/tmp/lorvane-" + std::to_string(::getuid());
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return "/tmp";
  struct stat info {};
  // A directory that somebody else made for us is not to be trusted.
  if (::lstat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
      info.st_uid != ::getuid()) {
    return "/tmp";
  }
  return directory;
}

RegistryEntry::RegistryEntry(int fd, std::string path, std::string title)
    : fd_(fd), path_(std::move(path)), title_(std::move(title)) {}

RegistryEntry::~RegistryEntry() {
  ::unlink(path_.c_str());
  ::close(fd_);
}

std::unique_ptr<RegistryEntry> RegistryEntry::publish(const std::string& title,
                                                      const std::string& tip,
                                                      Status& status) {
  const std::string path = entryPath(title);
  for (int attempt = 0; attempt < 8; ++attempt) {
    UniqueFd fd(retryOnInterrupt([&] {
      return ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                    0600);
    }));
    if (!fd) {
      status = Status::fromLastError();
      return nullptr;
    }
    if (retryOnInterrupt(
            [&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
      status = Status::fromLastError();
      return nullptr;
    }
    // A server that ended may have unlinked the file between our open and
    // our lock; then the lock is on a name nobody can find. Start over.
    struct stat held {
    }, named{};
    if (::fstat(fd.get(), &held) != 0 || ::stat(path.c_str(), &named) != 0 ||
        held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
      continue;
    }
    std::unique_ptr<RegistryEntry> entry(
        new RegistryEntry(fd.release(), path, title));
    entry->write(tip);
    status = Status::ok();
    return entry;
  }
  status = Status::fromCode(EAGAIN);
  return nullptr;
}

void RegistryEntry::updateTip(const std::string& tip) { write(tip); }

void RegistryEntry::write(const std::string& tip) {
  // Overwrite in place and cut the rest afterwards: the title at the start
  // of the file is the same bytes before and after, so a concurrent lookup
  // always finds it whole.
  const std::string record =
      title_ + "\n" + std::to_string(::getpid()) + "\n" + tip + "\n";
  [[maybe_unused]] auto n = ::pwrite(fd_, record.data(), record.size(), 0);
  [[maybe_unused]] int rc = ::ftruncate(fd_, static_cast<off_t>(record.size()));
}

std::optional<RegistryRecord> lookupServer(const std::string& title) {
  UniqueFd fd(retryOnInterrupt([&] {
    return ::open(entryPath(title).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  }));
  if (!fd) return std::nullopt;
  // A lock we can take means that no server holds the title.
  if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return std::nullopt;
  if (errno != EWOULDBLOCK) return std::nullopt;
  char buffer[4096];
  const ssize_t n = ::pread(fd.get(), buffer, sizeof buffer, 0);
  if (n <= 0) return std::nullopt;
  auto record = parseRecord(std::string(buffer, static_cast<std::size_t>(n)));
  if (!record || record->title != title) return std::nullopt;
  return record;
}

}  // namespace lorvane::platform
