// Wall-clock cost of portrecv runs, process start included, as a script
// sees it. Each scenario fills rcv/ of a temporary install directory the way
// the server would, runs the real program many times and prints the median,
// the 90th percentile and the worst run.
//
//   receiver_bench [runs]
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double limitMs = 20.0;

std::string stamp(std::size_t n) {
  char name[40];
  std::snprintf(name, sizeof name, "20250314%06zu%03zu%03zu.dat",
                n / 1000000 % 1000000, n / 1000 % 1000, n % 1000);
  return name;
}

// Runs the program, collects its standard output, returns it; `cpuMs`
// receives the processor time of the run (user and system).
std::string runOnce(const std::string& program,
                    const std::vector<std::string>& args,
                    double* cpuMs = nullptr) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> strings{program};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr,
                             argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) throw std::runtime_error("cannot start " + program);
  std::string output;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  if (cpuMs) {
    const auto micros = [](const timeval& t) {
      return static_cast<double>(t.tv_sec) * 1e6 +
             static_cast<double>(t.tv_usec);
    };
    *cpuMs = (micros(usage.ru_utime) + micros(usage.ru_stime)) / 1e3;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("portrecv failed");
  }
  return output;
}

class Install {
 public:
  Install() {
    std::string templ =
        (fs::temp_directory_path() / "lorvane-bench-XXXXXX").string();
    if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp");
    root_ = templ;
    fs::copy_file(fs::path(LORVANE_BIN_DIR) / "portrecv", root_ / "portrecv");
    fs::create_directories(root_ / "rcv");
  }
  ~Install() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  std::string program() const { return (root_ / "portrecv").string(); }

  // `total` bytes of a repeating pattern in files of `fileSize` bytes.
  std::string fill(std::size_t total, std::size_t fileSize) {
    std::string stream(total, '\0');
    for (std::size_t i = 0; i < total; ++i) {
      stream[i] = static_cast<char>('!' + (i * 7 + i / 97) % 90);
    }
    for (std::size_t offset = 0, n = 1; offset < total;
         offset += fileSize, ++n) {
      std::ofstream file(root_ / "rcv" / stamp(n), std::ios::binary);
      const std::size_t size = std::min(fileSize, total - offset);
      file.write(stream.data() + offset, static_cast<std::streamsize>(size));
    }
    return stream;
  }

 private:
  fs::path root_;
};

struct Figures {
  double median, p90, worst;  // wall clock
  double cpuMedian;  // processor time, which a busy machine inflates less
};

Figures measure(const std::string& program,
                const std::vector<std::string>& args,
                const std::string& expected, int runs) {
  for (int i = 0; i < 3; ++i) runOnce(program, args);  // warm the caches
  std::vector<double> ms;
  std::vector<double> cpu;
  for (int i = 0; i < runs; ++i) {
    double cpuMs = 0;
    const auto begin = Clock::now();
    const std::string out = runOnce(program, args, &cpuMs);
    const auto end = Clock::now();
    if (out != expected) throw std::runtime_error("wrong output");
    ms.push_back(
        std::chrono::duration<double, std::milli>(end - begin).count());
    cpu.push_back(cpuMs);
  }
  if (ms.empty()) throw std::runtime_error("no runs");
  std::sort(ms.begin(), ms.end());
  std::sort(cpu.begin(), cpu.end());
  const std::size_t n = ms.size();
  return {ms[n / 2], ms[n * 9 / 10], ms[n - 1], cpu[n / 2]};
}

// The start of the program alone, the floor of every read.
double startOnlyMs = 0;

// Judged by the 90th percentile of the wall clock. Each figure also goes out
// as one tab-separated FIGURE line for bench/run.
void report(const char* what, const Figures& f, bool judged) {
  if (startOnlyMs == 0) startOnlyMs = f.median;
  char floor[64];
  std::snprintf(floor, sizeof floor, "%.3f (program start)", startOnlyMs);
  std::printf("FIGURE\tportrecv: %s, median\t%.3f\tms\t%s\t%s\n", what,
              f.median, floor, judged ? "<= 20" : "-");
  std::printf("%-56s median %6.2f  p90 %6.2f  max %6.2f  cpu %5.2f ms%s\n",
              what, f.median, f.p90, f.worst, f.cpuMedian,
              judged ? (f.p90 <= limitMs ? "  [ok, limit 20 ms]"
                                         : "  [OVER the 20 ms limit]")
                     : "");
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

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(10, std::atoi(argv[1])) : 100;
  try {
    {
      Install install;
      report("process start only (no argument)",
             measure(install.program(), {}, "", runs), false);
    }
    {
      Install install;
      const std::string stream = install.fill(10000 * 100, 100);
      report("first 10 bytes, 10000 files of 100 bytes",
             measure(install.program(), {"-dat", "1", "10"},
                     stream.substr(0, 10), runs),
             true);
      report("last 10 bytes, 10000 files of 100 bytes",
             measure(install.program(), {"-dat", "999991", "10"},
                     stream.substr(999990, 10), runs),
             false);
    }
    for (const std::size_t fileSize :
         {std::size_t{102400}, std::size_t{1000}, std::size_t{200}}) {
      Install install;
      const std::string stream = install.fill(2 * 1024 * 1024, fileSize);
      char what[96];
      std::snprintf(what, sizeof what,
                    "10 bytes at 1000000 of 2 MB, files of %zu bytes (hex)",
                    fileSize);
      report(what,
             measure(install.program(), {"-dat", "1000001", "10", "hex"},
                     hexOf(stream.substr(1000000, 10)), runs),
             true);
      if (fileSize == 102400) {
        report("one block (102400 bytes) at 1000000 of 2 MB, hex",
               measure(install.program(), {"-dat", "1000001", "102400", "hex"},
                       hexOf(stream.substr(1000000, 102400)), runs),
               false);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "receiver_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
