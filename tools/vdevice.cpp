// lorvane-vdevice: a virtual serial device for users and tests.
//
// It creates a pseudo-terminal, publishes the path of its slave side (the
// "serial port" that Lorvane or any other program opens) and plays the
// device on the master side: it echoes what it receives, answers scripted
// requests, or stays silent, and can record everything it receives.
//
// This is a helper tool, not one of the three programs: it exists only where
// pseudo-terminals exist, so it includes POSIX headers directly instead of
// going through the portable headers of platform/.
//
// The tool never opens the slave itself. While no program holds the slave
// open, a read on the master fails with EIO (Linux) and poll reports a
// hang-up at once; the tool then waits in short naps until a program opens
// the slave again, so a peer may close and reopen the port at will.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/eintr.h"
#include "platform/posix/unique_fd.h"
#include "spool/mnemonics.h"

namespace {

using lorvane::platform::retryOnInterrupt;
using lorvane::platform::UniqueFd;

constexpr std::string_view kUsage =
    "Usage: lorvane-vdevice [MODE] [OPTIONS]\n"
    "\n"
    "A virtual serial device on a pseudo-terminal. Prints the path of the\n"
    "device (the pseudo-terminal's slave side) as the first line on standard\n"
    "output and serves it until SIGTERM, SIGINT or SIGHUP (exit code 0).\n"
    "\n"
    "Modes (one at most):\n"
    "  --echo           write back every byte received (default)\n"
    "  --script FILE    answer requests: FILE holds lines REQUEST<TAB>REPLY;\n"
    "                   both sides may use mnemonics such as <CR>, <LF>, "
    "<NUL>\n"
    "                   and hexadecimal escapes such as <0d> or <FF>. When "
    "the\n"
    "                   bytes received since the last answer end with a\n"
    "                   request, its reply is sent (the first matching line\n"
    "                   wins). Empty lines and lines starting with # are\n"
    "                   ignored; write a leading # of a request as <23>.\n"
    "  --silent         answer nothing\n"
    "\n"
    "Options:\n"
    "  --record FILE    append every received byte to FILE, as received\n"
    "  --link PATH      make PATH a symbolic link to the device (replaced\n"
    "                   atomically if it exists); removed on exit\n"
    "  --path-file FILE write the device path to FILE (published atomically)\n"
    "                   instead of standard output; removed on exit\n"
    "  --pid-file FILE  write the process id to FILE; removed on exit\n"
    "  --daemon         once the path is published, detach: new session,\n"
    "                   standard input and output on /dev/null (standard\n"
    "                   error stays for failures); needs --pid-file, which\n"
    "                   exists when the command returns\n"
    "  --help           print this text\n"
    "\n"
    "Exit codes: 0 after a stop signal, 1 on a failure, 2 on a usage error.\n";

enum class Mode { kEcho, kScript, kSilent };

struct Options {
  Mode mode = Mode::kEcho;
  bool modeGiven = false;
  std::string scriptFile;
  std::string recordFile;
  std::string linkPath;
  std::string pathFile;
  std::string pidFile;
  bool daemon = false;
  bool help = false;
};

// Unanswered bytes the script matcher keeps at most (beyond the longest
// request), and bytes waiting for the peer before the tool stops reading.
constexpr std::size_t kWindowLimit = 64 * 1024;
constexpr std::size_t kPendingLimit = 1024 * 1024;
// How long to nap while no program holds the slave open.
constexpr int kNoPeerNapMs = 20;

void fail(const std::string& message) {
  std::fprintf(stderr, "lorvane-vdevice: %s\n", message.c_str());
}

std::string systemReason(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  auto setMode = [&](Mode mode) {
    if (options.modeGiven && options.mode != mode) {
      fail("--echo, --script and --silent exclude one another");
      return false;
    }
    options.mode = mode;
    options.modeGiven = true;
    return true;
  };
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::optional<std::string> inlineValue;
    if (const auto equals = arg.find('=');
        arg.starts_with("--") && equals != arg.npos) {
      inlineValue = std::string(arg.substr(equals + 1));
      arg = arg.substr(0, equals);
    }
    auto value = [&](std::string& into) {
      if (inlineValue) {
        into = *inlineValue;
      } else if (i + 1 < argc) {
        into = argv[++i];
      } else {
        fail(std::string(arg) + " needs a value");
        return false;
      }
      if (into.empty()) {
        fail(std::string(arg) + " needs a non-empty value");
        return false;
      }
      return true;
    };
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--echo") {
      ok = setMode(Mode::kEcho);
    } else if (arg == "--silent") {
      ok = setMode(Mode::kSilent);
    } else if (arg == "--script") {
      ok = setMode(Mode::kScript) && value(options.scriptFile);
    } else if (arg == "--record") {
      ok = value(options.recordFile);
    } else if (arg == "--link") {
      ok = value(options.linkPath);
    } else if (arg == "--path-file") {
      ok = value(options.pathFile);
    } else if (arg == "--pid-file") {
      ok = value(options.pidFile);
    } else if (arg == "--daemon") {
      options.daemon = true;
    } else {
      fail("unknown argument: " + std::string(argv[i]));
      ok = false;
    }
    if (ok && inlineValue &&
        (arg == "--help" || arg == "-h" || arg == "--echo" ||
         arg == "--silent" || arg == "--daemon")) {
      fail(std::string(arg) + " takes no value");
      ok = false;
    }
    if (!ok) return std::nullopt;
  }
  return options;
}

bool readWholeFile(const std::string& path, std::string& content) {
  UniqueFd fd(retryOnInterrupt(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd) return false;
  content.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = retryOnInterrupt(
        [&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (n < 0) return false;
    if (n == 0) return true;
    content.append(buffer, static_cast<std::size_t>(n));
  }
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n =
        retryOnInterrupt([&] { return ::write(fd, data.data(), data.size()); });
    if (n < 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Writes `content` under a temporary name beside `path` and renames it into
// place, so a reader sees either no file or the whole content.
bool publishFile(const std::string& path, std::string_view content) {
  const std::string temporary = path + ".tmp." + std::to_string(::getpid());
  UniqueFd fd(retryOnInterrupt([&] {
    return ::open(temporary.c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  }));
  if (!fd) {
    fail(systemReason("cannot create " + temporary));
    return false;
  }
  if (!writeAll(fd.get(), content) || ::close(fd.release()) != 0) {
    fail(systemReason("cannot write " + temporary));
    ::unlink(temporary.c_str());
    return false;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    fail(systemReason("cannot rename " + temporary + " to " + path));
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

// Points the symbolic link `path` at `target`, replacing whatever `path` was
// in one rename, so the name never dangles between two devices.
bool publishLink(const std::string& path, const std::string& target) {
  const std::string temporary = path + ".tmp." + std::to_string(::getpid());
  ::unlink(temporary.c_str());
  if (::symlink(target.c_str(), temporary.c_str()) != 0) {
    fail(systemReason("cannot create link " + temporary));
    return false;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    fail(systemReason("cannot rename " + temporary + " to " + path));
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::optional<std::string> readLink(const std::string& path) {
  std::vector<char> buffer(4096);
  const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
  if (n < 0 || static_cast<std::size_t>(n) >= buffer.size())
    return std::nullopt;
  return std::string(buffer.data(), static_cast<std::size_t>(n));
}

// Removes on destruction what this process published, but only while it is
// still this process's: another instance may have taken over a link or a
// file name in the meantime, and its entries are left alone.
class Published {
 public:
  Published() = default;
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;
  ~Published() {
    if (!linkPath_.empty() && readLink(linkPath_) == linkTarget_) {
      ::unlink(linkPath_.c_str());
    }
    for (const auto& [path, content] : files_) {
      std::string current;
      if (readWholeFile(path, current) && current == content)
        ::unlink(path.c_str());
    }
  }
  void link(std::string path, std::string target) {
    linkPath_ = std::move(path);
    linkTarget_ = std::move(target);
  }
  void file(std::string path, std::string content) {
    files_.emplace_back(std::move(path), std::move(content));
  }

 private:
  std::string linkPath_;
  std::string linkTarget_;
  std::vector<std::pair<std::string, std::string>> files_;
};

struct ScriptRule {
  std::string request;
  std::string reply;
};

bool loadScript(const std::string& path, std::vector<ScriptRule>& rules) {
  std::string content;
  if (!readWholeFile(path, content)) {
    fail(systemReason("cannot read script " + path));
    return false;
  }
  std::size_t lineNumber = 0;
  std::size_t position = 0;
  while (position < content.size()) {
    auto end = content.find('\n', position);
    if (end == std::string::npos) end = content.size();
    std::string_view line(content.data() + position, end - position);
    position = end + 1;
    ++lineNumber;
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const auto tab = line.find('\t');
    const std::string where = path + ":" + std::to_string(lineNumber) + ": ";
    if (tab == std::string_view::npos) {
      fail(where + "no tab between request and reply");
      return false;
    }
    ScriptRule rule{lorvane::textToBinary(line.substr(0, tab)),
                    lorvane::textToBinary(line.substr(tab + 1))};
    if (rule.request.empty()) {
      fail(where + "empty request");
      return false;
    }
    rules.push_back(std::move(rule));
  }
  if (rules.empty()) {
    fail(path + ": no request in the script");
    return false;
  }
  return true;
}

// Finds requests in the received stream. Every byte extends the window of
// bytes received since the last answer; as soon as the window ends with a
// request, that request's reply is due and the window starts afresh. A
// window that grows past its limit without a match loses its oldest bytes,
// but always keeps enough to complete the longest request.
class ScriptMatcher {
 public:
  explicit ScriptMatcher(std::vector<ScriptRule> rules)
      : rules_(std::move(rules)) {
    for (const auto& rule : rules_)
      longest_ = std::max(longest_, rule.request.size());
  }

  void feed(std::string_view received, std::string& replies) {
    for (const char byte : received) {
      window_.push_back(byte);
      for (const auto& rule : rules_) {
        if (std::string_view(window_).ends_with(rule.request)) {
          replies += rule.reply;
          window_.clear();
          break;
        }
      }
      if (window_.size() > kWindowLimit + longest_) {
        window_.erase(0, window_.size() - (longest_ - 1));
      }
    }
  }

 private:
  std::vector<ScriptRule> rules_;
  std::size_t longest_ = 1;
  std::string window_;
};

// Signals reach the loop through a pipe, so that a stop request wakes the
// poll whatever it waits for.
int stopPipeWrite = -1;

extern "C" void onStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(stopPipeWrite, &byte, 1);
  errno = saved;
}

bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int ends[2];
  if (::pipe(ends) != 0) return false;
  readEnd.reset(ends[0]);
  writeEnd.reset(ends[1]);
  for (const int fd : ends) {
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
      return false;
    }
  }
  return true;
}

bool installSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    if (::sigaction(sig, &action, nullptr) != 0) return false;
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  return ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

// Opens the master side, unlocks the slave and puts the line discipline in
// raw mode. On a pseudo-terminal the master's terminal attributes are the
// slave's, so bytes a peer sends before it configures the port are neither
// echoed nor translated by the line discipline.
bool openDevice(UniqueFd& master, std::string& slavePath) {
  master.reset(::posix_openpt(O_RDWR | O_NOCTTY));
  if (!master) {
    fail(systemReason("no pseudo-terminal available (posix_openpt)"));
    return false;
  }
  if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) {
    fail(systemReason("cannot unlock the pseudo-terminal"));
    return false;
  }
  const char* name = ::ptsname(master.get());
  if (!name) {
    fail(systemReason("cannot name the pseudo-terminal (ptsname)"));
    return false;
  }
  slavePath = name;
  termios attributes{};
  if (::tcgetattr(master.get(), &attributes) != 0) {
    fail(systemReason("tcgetattr"));
    return false;
  }
  ::cfmakeraw(&attributes);
  if (::tcsetattr(master.get(), TCSANOW, &attributes) != 0) {
    fail(systemReason("tcsetattr"));
    return false;
  }
  if (::fcntl(master.get(), F_SETFD, FD_CLOEXEC) != 0 ||
      ::fcntl(master.get(), F_SETFL,
              ::fcntl(master.get(), F_GETFL) | O_NONBLOCK) != 0) {
    fail(systemReason("fcntl"));
    return false;
  }
  return true;
}

bool redirectToNull(int target, int flags) {
  UniqueFd null(::open("/dev/null", flags | O_CLOEXEC));
  return null && ::dup2(null.get(), target) == target;
}

class Device {
 public:
  Device(const Options& options, int master, int stopPipe, int record,
         std::vector<ScriptRule> rules)
      : mode_(options.mode),
        master_(master),
        stopPipe_(stopPipe),
        record_(record),
        matcher_(std::move(rules)) {}

  // Serves the device until a stop signal (true) or a failure (false).
  bool serve() {
    for (;;) {
      pollfd fds[2] = {{stopPipe_, POLLIN, 0}, {master_, 0, 0}};
      if (pending_.size() < kPendingLimit) fds[1].events |= POLLIN;
      if (!pending_.empty()) fds[1].events |= POLLOUT;
      // Without a peer the master reports a hang-up at once: nap on the stop
      // pipe alone and look again afterwards.
      const nfds_t count = peerAbsent_ ? 1 : 2;
      const int ready = ::poll(fds, count, peerAbsent_ ? kNoPeerNapMs : -1);
      if (ready < 0) {
        if (errno == EINTR) continue;
        fail(systemReason("poll"));
        return false;
      }
      if (fds[0].revents != 0) return true;
      if (peerAbsent_) {
        peerAbsent_ = false;
        continue;
      }
      const short events = fds[1].revents;
      if ((events & POLLNVAL) != 0) {
        fail("the pseudo-terminal descriptor is no longer valid");
        return false;
      }
      if ((events & (POLLIN | POLLHUP | POLLERR)) != 0 && !receive(events)) {
        return false;
      }
      if ((events & POLLHUP) != 0 || peerAbsent_) {
        // Replies to a peer that has gone would wait in the slave's queue
        // and greet the next program that opens it; drop them instead.
        pending_.clear();
      } else if ((events & POLLOUT) != 0 && !pending_.empty() && !transmit()) {
        return false;
      }
    }
  }

 private:
  bool receive(short events) {
    char buffer[65536];
    const ssize_t n = retryOnInterrupt(
        [&] { return ::read(master_, buffer, sizeof buffer); });
    if (n > 0)
      return handle(std::string_view(buffer, static_cast<std::size_t>(n)));
    if (n == 0 || errno == EIO) {
      peerAbsent_ = true;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if ((events & (POLLHUP | POLLERR)) != 0) peerAbsent_ = true;
    } else {
      fail(systemReason("read from the pseudo-terminal"));
      return false;
    }
    return true;
  }

  bool handle(std::string_view received) {
    if (record_ >= 0 && !writeAll(record_, received)) {
      fail(systemReason("cannot record received bytes"));
      return false;
    }
    switch (mode_) {
      case Mode::kEcho:
        pending_.append(received);
        break;
      case Mode::kScript:
        matcher_.feed(received, pending_);
        break;
      case Mode::kSilent:
        break;
    }
    return true;
  }

  bool transmit() {
    const ssize_t n = retryOnInterrupt(
        [&] { return ::write(master_, pending_.data(), pending_.size()); });
    if (n > 0) {
      pending_.erase(0, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EIO) {
      pending_.clear();
      peerAbsent_ = true;
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      fail(systemReason("write to the pseudo-terminal"));
      return false;
    }
    return true;
  }

  Mode mode_;
  int master_;
  int stopPipe_;
  int record_;
  ScriptMatcher matcher_;
  std::string pending_;
  bool peerAbsent_ = false;
};

// Moves the device into a child in a session of its own, with standard
// input and output on the null device. The parent returns only once the
// child has detached and published its pid file, so that a script can rely
// on both when the starting command returns; it then leaves without
// cleaning up, since what it published belongs to the child. Returns in the
// child only.
bool detach(const Options& options, Published& published) {
  UniqueFd readyRead, readyWrite;
  if (!makePipe(readyRead, readyWrite)) {
    fail(systemReason("pipe"));
    return false;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = ::fork();
  if (child < 0) {
    fail(systemReason("fork"));
    return false;
  }
  if (child > 0) {
    readyWrite.reset();
    // The child either reports readiness or ends, which closes the pipe.
    pollfd entry{readyRead.get(), POLLIN, 0};
    retryOnInterrupt([&] { return ::poll(&entry, 1, -1); });
    char ready = 0;
    const ssize_t n =
        retryOnInterrupt([&] { return ::read(readyRead.get(), &ready, 1); });
    ::_exit(n == 1 ? 0 : 1);
  }
  readyRead.reset();
  if (::setsid() < 0 || !redirectToNull(STDIN_FILENO, O_RDONLY) ||
      !redirectToNull(STDOUT_FILENO, O_WRONLY)) {
    fail(systemReason("cannot detach"));
    return false;
  }
  if (!options.pidFile.empty()) {
    const std::string pidText = std::to_string(::getpid()) + "\n";
    if (!publishFile(options.pidFile, pidText)) return false;
    published.file(options.pidFile, pidText);
  }
  const char ready = 1;
  if (retryOnInterrupt([&] { return ::write(readyWrite.get(), &ready, 1); }) !=
      1) {
    fail(systemReason("cannot report readiness"));
    return false;
  }
  return true;
}

int runDevice(const Options& options) {
  std::vector<ScriptRule> rules;
  if (options.mode == Mode::kScript && !loadScript(options.scriptFile, rules))
    return 1;

  UniqueFd record;
  if (!options.recordFile.empty()) {
    record.reset(retryOnInterrupt([&] {
      return ::open(options.recordFile.c_str(),
                    O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }));
    if (!record) {
      fail(systemReason("cannot open " + options.recordFile));
      return 1;
    }
  }

  UniqueFd stopRead, stopWrite;
  if (!makePipe(stopRead, stopWrite)) {
    fail(systemReason("pipe"));
    return 1;
  }
  stopPipeWrite = stopWrite.get();
  if (!installSignals()) {
    fail(systemReason("sigaction"));
    return 1;
  }

  UniqueFd master;
  std::string slavePath;
  if (!openDevice(master, slavePath)) return 1;

  // Declared after the descriptors, so it is cleaned up first on exit.
  Published published;
  if (!options.linkPath.empty()) {
    if (!publishLink(options.linkPath, slavePath)) return 1;
    published.link(options.linkPath, slavePath);
  }
  const std::string pidText = std::to_string(::getpid()) + "\n";
  if (!options.pidFile.empty() && !options.daemon) {
    if (!publishFile(options.pidFile, pidText)) return 1;
    published.file(options.pidFile, pidText);
  }
  const std::string pathText = slavePath + "\n";
  if (!options.pathFile.empty()) {
    if (!publishFile(options.pathFile, pathText)) return 1;
    published.file(options.pathFile, pathText);
  } else if (std::fputs(pathText.c_str(), stdout) == EOF ||
             std::fflush(stdout) != 0) {
    fail(systemReason("cannot print the device path"));
    return 1;
  }

  if (options.daemon && !detach(options, published)) return 1;

  Device device(options, master.get(), stopRead.get(), record.get(),
                std::move(rules));
  return device.serve() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parseOptions(argc, argv);
  if (!options) {
    std::fputs("Try 'lorvane-vdevice --help'.\n", stderr);
    return 2;
  }
  if (options->help) {
    std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
    return 0;
  }
  if (options->daemon && options->pidFile.empty()) {
    // Without a pid file a detached device could only be found by name.
    fail("--daemon needs --pid-file");
    std::fputs("Try 'lorvane-vdevice --help'.\n", stderr);
    return 2;
  }
  return runDevice(*options);
}
