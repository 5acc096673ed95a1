#include "tests/support/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/registry.h"

extern char** environ;

namespace lorvane::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string builtBinDir() { return LORVANE_BIN_DIR; }
std::string builtToolsDir() { return LORVANE_BIN_DIR; }

namespace {

std::string makeTempDir(const std::string& pattern) {
  std::string templ = (fs::temp_directory_path() / pattern).string();
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  return templ;
}

int waitStatusToCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

TempInstall::TempInstall(bool withBlank) {
  root_ = makeTempDir("lorvane-test-XXXXXX");
  dir_ = root_ + (withBlank ? "/install dir" : "/install");
  fs::create_directories(dir_);
  for (const char* name : {"Lorvane", "portsend", "portrecv"}) {
    const fs::path from = fs::path(builtBinDir()) / name;
    if (fs::exists(from)) fs::copy_file(from, fs::path(dir_) / name);
  }
  runtime_ = root_ + "/runtime";
  fs::create_directories(runtime_);
  ::chmod(runtime_.c_str(), 0700);
  ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
}

TempInstall::~TempInstall() {
  stopServer();
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string TempInstall::path(std::string_view relative) const {
  return dir_ + "/" + std::string(relative);
}

std::string TempInstall::title() const {
  std::string title = dir_ + "/Lorvane";
  std::replace(title.begin(), title.end(), ' ', '_');
  return title;
}

std::optional<int> TempInstall::serverPid() const {
  ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
  const auto record = platform::lookupServer(title());
  if (!record) return std::nullopt;
  return record->processId;
}

void TempInstall::stopServer() {
  const auto pid = serverPid();
  if (!pid) return;
  ::kill(*pid, SIGTERM);
  if (!waitUntil([&] { return ::kill(*pid, 0) != 0 || !serverPid(); }, 5s)) {
    ::kill(*pid, SIGKILL);
  }
  // Reap it if it happens to be our child.
  ::waitpid(*pid, nullptr, WNOHANG);
}

RunResult run(const std::string& program, const std::vector<std::string>& args,
              std::chrono::milliseconds timeout, const std::string& input) {
  int outPipe[2], errPipe[2], inPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) || ::pipe2(errPipe, O_CLOEXEC) ||
      ::pipe2(inPipe, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  std::vector<std::string> argvStrings{program};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr,
                             argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  ::close(inPipe[0]);
  if (rc != 0) {
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    ::close(inPipe[1]);
    throw std::runtime_error("cannot start " + program + ": " +
                             std::strerror(rc));
  }
  if (!input.empty()) {
    [[maybe_unused]] auto n = ::write(inPipe[1], input.data(), input.size());
  }
  ::close(inPipe[1]);

  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buffer[65536];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? result.out : result.err)
            .append(buffer, static_cast<std::size_t>(n));
      }
    }
  }
  for (auto& entry : fds) {
    if (entry.fd >= 0) ::close(entry.fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitCode = waitStatusToCode(status);
  return result;
}

Process::Process(const std::string& program,
                 const std::vector<std::string>& args,
                 const std::string& outputFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> argvStrings{program};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr,
                             argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program);
  pid_ = pid;
}

Process::~Process() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = waitStatusToCode(status);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(2ms);
  }
}

void Process::signal(int sig) { ::kill(pid_, sig); }

PtyDevice::PtyDevice() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    throw std::runtime_error("no pseudo-terminal available");
  }
  path_ = ::ptsname(master_);
  ::fcntl(master_, F_SETFL, O_NONBLOCK);
}

PtyDevice::~PtyDevice() { close(); }

void PtyDevice::close() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void PtyDevice::write(std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(master_, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd entry{master_, POLLOUT, 0};
      ::poll(&entry, 1, 100);
    } else {
      throw std::runtime_error("pty write failed");
    }
  }
}

std::string PtyDevice::readFor(std::chrono::milliseconds idle) {
  std::string data;
  for (;;) {
    pollfd entry{master_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(idle.count())) <= 0) break;
    char buffer[65536];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) {
      if (n < 0 && errno == EAGAIN) continue;
      // EIO: no slave open at the moment.
      std::this_thread::sleep_for(idle);
      break;
    }
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return data;
}

std::string PtyDevice::readExactly(std::size_t count,
                                   std::chrono::milliseconds timeout) {
  std::string data;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (data.size() < count && std::chrono::steady_clock::now() < deadline) {
    pollfd entry{master_, POLLIN, 0};
    if (::poll(&entry, 1, 20) <= 0) continue;
    char buffer[65536];
    const ssize_t n =
        ::read(master_, buffer, std::min(sizeof buffer, count - data.size()));
    if (n > 0) {
      data.append(buffer, static_cast<std::size_t>(n));
    } else {
      std::this_thread::sleep_for(5ms);
    }
  }
  return data;
}

bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout,
               std::chrono::milliseconds step) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> listDat(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 4 && name[0] != '.' && name.ends_with(".dat"))
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string concatDat(const std::string& dir) {
  std::string all;
  for (const auto& name : listDat(dir)) all += readFile(dir + "/" + name);
  return all;
}

std::string randomBytes(std::size_t count, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::string data(count, '\0');
  for (auto& c : data) c = static_cast<char>(generator() & 0xFF);
  return data;
}

std::string hexOf(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0x0F]);
  }
  return text;
}

FileLock::FileLock(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0 || ::flock(fd_, LOCK_EX) != 0)
    throw std::runtime_error("cannot lock " + path);
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<FileLock> holdExclusively(const std::string& path) {
  return std::make_unique<FileLock>(path);
}

}  // namespace lorvane::test
