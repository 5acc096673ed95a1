// The running process and detached children on POSIX. A server started for
// a script must not hold the script's terminal or pipes, so the child gets a
// session of its own and only the descriptors it is given.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/posix/eintr.h"
#include "platform/process.h"

extern char** environ;

namespace lorvane::platform {

std::optional<std::string> executablePath() {
  std::string path(PATH_MAX, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) return std::nullopt;
  path.resize(static_cast<std::size_t>(n));
  return path;
}

int currentProcessId() { return static_cast<int>(::getpid()); }

Status spawnDetached(const DetachedProcess& process) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (int rc = posix_spawn_file_actions_init(&actions); rc != 0) {
    return Status::fromCode(rc);
  }
  posix_spawnattr_init(&attributes);
  short flags =
      POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGUSR1, SIGUSR2}) {
    sigaddset(&defaults, s);
  }
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, flags);

  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, process.outputFile.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
  // Descriptors the caller inherited without close-on-exec (a script's
  // extra pipes, say) must not reach the server either.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif

  std::vector<char*> argv;
  for (const auto& argument : process.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, process.path.c_str(), &actions, &attributes,
                             argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return rc == 0 ? Status::ok() : Status::fromCode(rc);
}

namespace {

Status writeAllTo(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n =
        retryOnInterrupt([&] { return ::write(fd, data.data(), data.size()); });
    if (n < 0) return Status::fromLastError();
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return Status::ok();
}

}  // namespace

Status writeStandardOutput(std::string_view data) {
  return writeAllTo(1, data);
}
Status writeStandardError(std::string_view data) { return writeAllTo(2, data); }

void ignoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

}  // namespace lorvane::platform
