// The running process and the starting of others.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/status.h"

namespace lorvane::platform {

// Full path of the running executable as the kernel reports it; nullopt when
// it cannot be found.
std::optional<std::string> executablePath();

int currentProcessId();

struct DetachedProcess {
  std::string path;                    // executable to run
  std::vector<std::string> arguments;  // argv, the path included as argv[0]
  std::string outputFile;  // standard output and error are appended here
};

// Starts a process that outlives the caller: a new session, standard input
// from the null device, standard output and error appended to outputFile,
// and no other descriptor of the caller. No shell is involved. Nobody waits
// for the child.
Status spawnDetached(const DetachedProcess& process);

// Writes all of `data` to standard output or standard error, retrying short
// writes; no translation of line ends.
Status writeStandardOutput(std::string_view data);
Status writeStandardError(std::string_view data);

// Makes a write to a pipe or socket whose reader has gone fail with an error
// instead of ending the process. Children started by spawnDetached get the
// default action back.
void ignoreBrokenPipe();

}  // namespace lorvane::platform
