// Test harness: temporary install directories with copies of the real
// programs, pseudo-terminal devices, running programs and waiting for
// conditions. Tests may use POSIX directly; the programs may not.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lorvane::test {

// Directory of the freshly built programs (Lorvane, portsend, portrecv).
std::string builtBinDir();
// Directory of the built helper tools (lorvane-vdevice).
std::string builtToolsDir();

// A temporary install directory, by default with a blank in its path, holding
// copies of the three programs, and a private registry directory
// (XDG_RUNTIME_DIR is set for this process and its children). The
// destructor ends any server still registered there and removes the tree.
class TempInstall {
 public:
  explicit TempInstall(bool withBlank = true);
  ~TempInstall();
  TempInstall(const TempInstall&) = delete;
  TempInstall& operator=(const TempInstall&) = delete;

  const std::string& dir() const { return dir_; }
  std::string path(std::string_view relative) const;
  std::string program(std::string_view name) const { return path(name); }
  // "<dir>/Lorvane" with blanks replaced by underscores.
  std::string title() const;
  // Process id of the server registered for this directory, if one runs.
  std::optional<int> serverPid() const;
  // Ends a running server with SIGTERM and waits for it to go.
  void stopServer();

 private:
  std::string root_;
  std::string dir_;
  std::string runtime_;
};

struct RunResult {
  int exitCode = -1;  // 128+signal when killed by a signal
  std::string out;
  std::string err;
  bool timedOut = false;
};

// Runs a program with the given arguments (argv[0] is added) and collects
// its output; kills it after `timeout`.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              std::chrono::milliseconds timeout = std::chrono::seconds(30),
              const std::string& input = {});

// A child process running in the background (for example a server started
// by hand); its output goes to files.
class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args,
          const std::string& outputFile);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  int pid() const { return pid_; }
  // Waits for the process to end; nullopt on time-out.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  void signal(int sig);

 private:
  int pid_ = -1;
  std::optional<int> status_;
};

// The far end of a pseudo-terminal: the programs open `path()`, the test
// reads and writes here.
class PtyDevice {
 public:
  PtyDevice();
  ~PtyDevice();
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  const std::string& path() const { return path_; }
  int fd() const { return master_; }
  void write(std::string_view data);
  // Everything that arrives within `timeout` after the last byte (idle gap).
  std::string readFor(std::chrono::milliseconds idle);
  // Reads until `count` bytes have arrived or `timeout` passes.
  std::string readExactly(std::size_t count, std::chrono::milliseconds timeout);
  void close();

 private:
  int master_ = -1;
  std::string path_;
};

bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10),
               std::chrono::milliseconds step = std::chrono::milliseconds(5));

std::string readFile(const std::string& path);
void writeFile(const std::string& path, std::string_view content);
bool exists(const std::string& path);
// Names ending in ".dat" in name order.
std::vector<std::string> listDat(const std::string& dir);
// The content of every "*.dat" file in `dir`, concatenated in name order.
std::string concatDat(const std::string& dir);
std::string randomBytes(std::size_t count, std::uint32_t seed);
// Two lower-case hexadecimal digits per byte, as portrecv prints them.
std::string hexOf(std::string_view bytes);

// Holds an exclusive flock on a file, as a cooperating writer does while it
// writes, until destroyed.
class FileLock {
 public:
  explicit FileLock(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};
std::unique_ptr<FileLock> holdExclusively(const std::string& path);

}  // namespace lorvane::test
