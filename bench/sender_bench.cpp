// Wall-clock cost of portsend runs as a script sees them, process start to
// exit, in a temporary install directory with a blank in its path:
//
//   - one small data item, beside printf writing the same bytes into a file
//     (the floor for any program a script starts);
//   - an open command while a server already runs (the probe and the drain
//     wait);
//   - items per second for one run of 1000 arguments, with no server and
//     with a server taking the files.
//
//   sender_bench [runs]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double smallItemLimitMs = 2.0;
constexpr double openCommandLimitMs = 40.0;

// Runs `program` with standard output into `outputFile` (or the null
// device) and returns the milliseconds from the spawn to the end of the
// wait.
double timedRun(const std::string& program,
                const std::vector<std::string>& args,
                const std::string& outputFile = "/dev/null") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> strings{program};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr,
                             argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const auto end = Clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(program + " failed");
  }
  return std::chrono::duration<double, std::milli>(end - start).count();
}

struct Summary {
  double median, p90, worst;
};

Summary summarize(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 9 / 10],
          samples.back()};
}

void print(const char* what, const Summary& s) {
  std::printf("%-44s median %7.3f ms  p90 %7.3f ms  worst %7.3f ms\n", what,
              s.median, s.p90, s.worst);
}

// One tab-separated line per figure for bench/run.
void figure(const char* name, double value, const char* unit,
            const std::string& floor, const char* goal) {
  std::printf("FIGURE\tportsend: %s\t%.3f\t%s\t%s\t%s\n", name, value, unit,
              floor.c_str(), goal);
}

std::string floorText(double value, const char* what) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f (%s)", value, what);
  return text;
}

void emptyDirectory(const fs::path& dir) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    fs::remove(entry.path(), ec);
  }
}

// The far end of a pseudo-terminal, read continuously so that the server
// never has to hold bytes back.
class Device {
 public:
  Device() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    path_ = ::ptsname(master_);
    reader_ = std::thread([this] {
      char buffer[65536];
      while (!stop_) {
        pollfd entry{master_, POLLIN, 0};
        if (::poll(&entry, 1, 20) > 0 &&
            ::read(master_, buffer, sizeof buffer) <= 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
      }
    });
  }
  ~Device() {
    stop_ = true;
    reader_.join();
    ::close(master_);
  }
  const std::string& path() const { return path_; }

 private:
  int master_ = -1;
  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(5, std::atoi(argv[1])) : 200;
  const fs::path root = fs::temp_directory_path() /
                        ("lorvane-sender-bench-" + std::to_string(::getpid()));
  const fs::path install = root / "install dir";
  fs::create_directories(install);
  fs::create_directories(root / "runtime");
  fs::permissions(root / "runtime", fs::perms::owner_all);
  ::setenv("XDG_RUNTIME_DIR", (root / "runtime").c_str(), 1);
  for (const char* name : {"portsend", "Lorvane"}) {
    fs::copy_file(fs::path(LORVANE_BIN_DIR) / name, install / name);
  }
  const std::string portsend = (install / "portsend").string();
  const fs::path snd = install / "snd";
  const std::string printfPath = "/usr/bin/printf";
  bool withinLimits = true;

  // One small data item, beside printf writing the same bytes to a file.
  {
    const std::string item = "hello<CR>";
    timedRun(portsend, {item});  // creates snd and tmp, warms the caches
    std::vector<double> sender, floor;
    for (int i = 0; i < runs; ++i) {
      sender.push_back(timedRun(portsend, {item}));
      floor.push_back(
          timedRun(printfPath, {item}, (root / "printf.out").string()));
      emptyDirectory(snd);
    }
    const auto s = summarize(sender);
    const auto f = summarize(floor);
    print("portsend, one small data item", s);
    print("printf, the same bytes into a file", f);
    figure("one small data item, median", s.median, "ms",
           floorText(f.median, "printf into a file"), "<= 2");
    withinLimits = withinLimits && s.median <= smallItemLimitMs;
  }

  // 1000 arguments in one run, without a server.
  std::vector<std::string> many;
  for (int i = 0; i < 1000; ++i) many.push_back("item " + std::to_string(i));
  {
    std::vector<double> samples;
    for (int i = 0; i < std::max(5, runs / 20); ++i) {
      samples.push_back(timedRun(portsend, many));
      emptyDirectory(snd);
    }
    const auto s = summarize(samples);
    std::printf("%-44s median %7.1f ms  %9.0f items/s\n",
                "portsend, 1000 arguments, no server", s.median,
                1000.0 / (s.median / 1000.0));
    figure("1000 arguments in one run, no server", 1000.0 / (s.median / 1000.0),
           "items/s", "-", "-");
  }

  // With a server running on a pseudo-terminal.
  Device device;
  const std::string open = "@OPEN@@@@@," + device.path() + ",9600,8,0,0,0";
  const double firstOpen = timedRun(portsend, {open});
  std::printf("%-44s %7.3f ms\n", "portsend, open command starting the server",
              firstOpen);
  figure("open command starting the server", firstOpen, "ms", "-", "-");
  {
    std::vector<double> samples;
    for (int i = 0; i < std::max(5, runs / 4); ++i) {
      samples.push_back(timedRun(portsend, {open}));
    }
    const auto s = summarize(samples);
    print("portsend, open command, server running", s);
    figure("open command, server running, median", s.median, "ms",
           floorText(10.0, "the pause after the probe"), "<= 40");
    withinLimits = withinLimits && s.median <= openCommandLimitMs;
  }
  {
    std::vector<double> samples;
    for (int i = 0; i < std::max(5, runs / 20); ++i) {
      samples.push_back(timedRun(portsend, many));
    }
    const auto s = summarize(samples);
    std::printf("%-44s median %7.1f ms  %9.0f items/s\n",
                "portsend, 1000 arguments, server taking them", s.median,
                1000.0 / (s.median / 1000.0));
    figure("1000 arguments in one run, server taking them",
           1000.0 / (s.median / 1000.0), "items/s", "-", "-");
  }

  timedRun(portsend, {"@CLOSE@@@@"});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::error_code ec;
  fs::remove_all(root, ec);
  std::printf("limits (median): small item %.0f ms, open command %.0f ms: %s\n",
              smallItemLimitMs, openCommandLimitMs,
              withinLimits ? "met" : "NOT met");
  return withinLimits ? 0 : 1;
}
