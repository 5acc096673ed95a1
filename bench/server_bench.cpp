// Figures of the server: send latency and drain rate, reception rate and
// latency, idle CPU and memory. Runs the real Lorvane in a temporary
// install directory against a pseudo-terminal; prints one line per figure.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/harness.h"

using namespace lorvane::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(
      p * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

// One figure per line, tab-separated, for bench/run to tabulate:
// FIGURE, name, value, unit, floor, goal.
void figure(const char* name, double value, const char* unit,
            const std::string& floor, const char* goal) {
  std::printf("FIGURE\t%s\t%.3f\t%s\t%s\t%s\n", name, value, unit,
              floor.c_str(), goal);
  std::fflush(stdout);
}

std::string fixed(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

// Nanoseconds a task has run, from the scheduler's own accounting (exact,
// unlike the tick-sampled times of /proc/PID/stat).
long long runNanos(int pid, const std::string& task) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + task +
                   "/schedstat");
  long long nanos = 0;
  in >> nanos;
  return nanos;
}

long residentKb(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

class Bench {
 public:
  Bench() : out_(install_.path("Lorvane.out")) {
    server_ = std::make_unique<Process>(
        install_.program("Lorvane"), std::vector<std::string>{install_.title()},
        out_);
    waitUntil([&] { return install_.serverPid().has_value(); });
    fs::create_directories(install_.path("tmp"));
    drop("@OPEN@@@@@," + device_.path() + ",4000000,8,0,0,0");
    waitUntil([&] { return exists(install_.path("sts/LineStatus.dat")); });
  }
  ~Bench() {
    server_->signal(SIGTERM);
    server_->wait(5s);
  }

  std::string staged(std::string_view content) {
    char name[32];
    std::snprintf(name, sizeof name, "%020d.dat", ++sequence_);
    const std::string path = install_.path("tmp/") + name;
    writeFile(path, content);
    return name;
  }
  void publish(const std::string& name) {
    fs::rename(install_.path("tmp/") + name, install_.path("snd/") + name);
  }
  void drop(std::string_view content) { publish(staged(content)); }

  void sendLatency() {
    std::vector<double> samples;
    for (int i = 0; i < 500; ++i) {
      const auto name = staged("x");
      const auto start = Clock::now();
      publish(name);
      const auto got = device_.readExactly(1, 2s);
      samples.push_back(micros(Clock::now() - start) / 1000.0);
      if (got.size() != 1) std::fprintf(stderr, "lost a byte\n");
      std::this_thread::sleep_for(
          std::chrono::microseconds(1000 + (i * 7919) % 9000));
    }
    // The floor: a shell writing straight to the device.
    std::vector<double> shell;
    for (int i = 0; i < 100; ++i) {
      const auto start = Clock::now();
      run("/bin/sh", {"-c", "printf x > '" + device_.path() + "'"});
      device_.readExactly(1, 2s);
      shell.push_back(micros(Clock::now() - start) / 1000.0);
    }
    figure("send latency, rename into snd to byte at device, median",
           percentile(samples, 0.5), "ms",
           fixed(percentile(shell, 0.5)) + " (shell to device)", "<= 1");
    figure("send latency, 99th percentile", percentile(samples, 0.99), "ms",
           fixed(percentile(shell, 0.99)) + " (shell to device)", "<= 12");
  }

  void drainRate() {
    constexpr int files = 5000;
    std::vector<std::string> names;
    for (int i = 0; i < files; ++i) names.push_back(staged("y"));
    const auto start = Clock::now();
    for (const auto& name : names) publish(name);
    const auto got = device_.readExactly(files, 60s);
    const double seconds = micros(Clock::now() - start) / 1e6;
    figure("drain of 5000 one-byte files", files / seconds, "files/s", "-",
           ">= 5000");
    if (got.size() != files)
      std::fprintf(stderr, "drain lost bytes: %zu\n", got.size());
  }

  void receiveRate() {
    const std::size_t total = 64u << 20;
    const std::string chunk = randomBytes(1 << 20, 5);
    const auto before = rcvBytes();
    const auto start = Clock::now();
    std::thread writer([&] {
      for (std::size_t sent = 0; sent < total; sent += chunk.size())
        device_.write(chunk);
    });
    waitUntil([&] { return rcvBytes() >= before + total; }, 120s, 1ms);
    const double seconds = micros(Clock::now() - start) / 1e6;
    writer.join();
    figure("reception on a pseudo-terminal, zero loss",
           static_cast<double>(total) / seconds / 1e6, "MB/s",
           fixed(rawPtyRate()) + " (raw pty)", ">= 10");
    if (rcvBytes() != before + total)
      std::fprintf(stderr, "reception lost bytes\n");
  }

  // From the last byte of a burst to its file in rcv, beside the 50 ms of
  // silence that end a block.
  void receiveLatency() {
    const int watch = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(watch, install_.path("rcv").c_str(), IN_MOVED_TO);
    std::vector<double> samples;
    for (int i = 0; i < 40; ++i) {
      device_.write("burst-of-bytes");
      const auto start = Clock::now();
      pollfd entry{watch, POLLIN, 0};
      poll(&entry, 1, 2000);
      samples.push_back(micros(Clock::now() - start) / 1000.0);
      char events[4096];
      [[maybe_unused]] auto n = read(watch, events, sizeof events);
      std::this_thread::sleep_for(20ms);
    }
    close(watch);
    figure("receive latency, last byte to rcv file, median",
           percentile(samples, 0.5), "ms", "50 (block silence)", "<= 60");
  }

  void idle() {
    const int pid = server_->pid();
    std::this_thread::sleep_for(500ms);
    std::vector<std::string> tasks;
    for (const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
      tasks.push_back(entry.path().filename().string());
    }
    std::sort(tasks.begin(), tasks.end(),
              [](const std::string& a, const std::string& b) {
                return std::stol(a) < std::stol(b);
              });
    std::vector<long long> before;
    for (const auto& t : tasks) before.push_back(runNanos(pid, t));
    constexpr double seconds = 10;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double main = 0;
    double reader = 0;
    for (std::size_t i = 0; i < tasks.size(); ++i) {
      const auto ran = static_cast<double>(runNanos(pid, tasks[i]) - before[i]);
      (i == 0 ? main : reader) += ran;
    }
    figure("idle CPU with an open port (whole server)",
           100.0 * (main + reader) / (seconds * 1e9), "%", "0", "<= 0.5");
    figure("idle CPU of the reader thread", 100.0 * reader / (seconds * 1e9),
           "%", "0", "<= 0.5");
    figure("peak resident memory of the server",
           static_cast<double>(residentKb(pid)) / 1024.0, "MB", "-", "<= 8");
  }

 private:
  // What a pseudo-terminal carries with nothing but a reader on its far end.
  static double rawPtyRate() {
    PtyDevice pty;
    const int slave = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    const std::size_t total = 64u << 20;
    const std::string chunk = randomBytes(1 << 20, 9);
    const auto start = Clock::now();
    std::thread writer([&] {
      for (std::size_t sent = 0; sent < total; sent += chunk.size())
        pty.write(chunk);
    });
    std::vector<char> buffer(1 << 16);
    std::size_t got = 0;
    while (got < total) {
      const ssize_t n = ::read(slave, buffer.data(), buffer.size());
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    const double seconds = micros(Clock::now() - start) / 1e6;
    writer.join();
    ::close(slave);
    return static_cast<double>(got) / seconds / 1e6;
  }

  std::uintmax_t rcvBytes() {
    std::uintmax_t total = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(install_.path("rcv"), ec)) {
      if (entry.path().extension() == ".dat") total += entry.file_size(ec);
    }
    return total;
  }

  TempInstall install_;
  PtyDevice device_;
  std::string out_;
  std::unique_ptr<Process> server_;
  int sequence_ = 0;
};

}  // namespace

int main() {
  Bench bench;
  bench.sendLatency();
  bench.drainRate();
  bench.receiveLatency();
  bench.receiveRate();
  bench.idle();
  return 0;
}
