// Where a running server makes its title known.
//
// A server holds an exclusive lock on a small file in a per-user runtime
// directory ($XDG_RUNTIME_DIR, else a private directory under /tmp named
// with the user id). The file name is derived from a hash of the title,
// since titles can be longer than a file name; the file holds the title, the
// process id and the current tip text, so a lookup compares the title
// exactly. A server that dies releases its lock with its process, so a stale
// file never counts as a running server.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/status.h"

namespace lorvane::platform {

struct RegistryRecord {
  std::string title;
  int processId = 0;
  std::string tip;
};

// The server side: the published entry, removed when it is destroyed.
class RegistryEntry {
 public:
  ~RegistryEntry();
  RegistryEntry(const RegistryEntry&) = delete;
  RegistryEntry& operator=(const RegistryEntry&) = delete;

  // Publishes `title`. Fails when another live process holds the title.
  static std::unique_ptr<RegistryEntry> publish(const std::string& title,
                                                const std::string& tip,
                                                Status& status);
  // Rewrites the record with a new tip; the title stays readable throughout.
  void updateTip(const std::string& tip);

 private:
  RegistryEntry(int fd, std::string path, std::string title);
  void write(const std::string& tip);
  int fd_;
  std::string path_;
  std::string title_;
};

// The record of the live server holding `title`, if there is one.
std::optional<RegistryRecord> lookupServer(const std::string& title);

// The directory holding the registry files (created on demand).
std::string registryDirectory();

}  // namespace lorvane::platform
