// tools/demo, the newcomer's tour, run against the programs of this build:
// it must succeed and show the device's answer, and when the device stays
// silent it must fail in bounded time with a clear message, leaving no
// process and no temporary directory behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/harness.h"

namespace lorvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string demo = std::string(LORVANE_SOURCE_DIR) + "/tools/demo";

std::string buildDir() {
  return fs::path(builtBinDir()).parent_path().string();
}

// A scratch TMPDIR, so that the test sees what the demo leaves behind.
class ScratchTmp {
 public:
  ScratchTmp() {
    std::string pattern =
        (fs::temp_directory_path() / "demo-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    ::setenv("TMPDIR", dir_.c_str(), 1);
  }
  ~ScratchTmp() {
    ::unsetenv("TMPDIR");
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  const std::string& dir() const { return dir_; }
  bool empty() const { return fs::is_empty(dir_); }

 private:
  std::string dir_;
};

bool processGone(int pid) {
  if (::kill(pid, 0) != 0) return true;
  // A process that has ended but waits for its parent to reap it.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  return close != std::string::npos && line.compare(close + 1, 3, " Z ") == 0;
}

std::vector<int> mentionedPids(const std::string& out) {
  // "(process 1234)", as the demo prints it for the device and the server.
  std::vector<int> pids;
  const std::string_view marker = "(process ";
  for (auto at = out.find(marker); at != std::string::npos;
       at = out.find(marker, at + 1)) {
    const auto digits = at + marker.size();
    const auto end = out.find(')', digits);
    if (end == std::string::npos || end == digits) continue;
    const std::string number = out.substr(digits, end - digits);
    if (number.find_first_not_of("0123456789") != std::string::npos) continue;
    pids.push_back(std::stoi(number));
  }
  return pids;
}

TEST(Demo, RunsEveryStepAndShowsTheAnswer) {
  ScratchTmp tmp;
  ::setenv("LORVANE_BUILD_DIR", buildDir().c_str(), 1);
  const auto result = run(demo, {}, 180s);
  ::unsetenv("LORVANE_BUILD_DIR");
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  // The answer of the virtual device, as the raw and the hexadecimal read.
  EXPECT_NE(result.out.find("LORVANE-DEMO<CR><LF>"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("4c4f5256414e452d44454d4f0d0a00"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("_RCV.dat"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("all steps worked"), std::string::npos);
  EXPECT_EQ(result.err.find("FAILED"), std::string::npos) << result.err;
  const auto pids = mentionedPids(result.out);
  EXPECT_EQ(pids.size(), 2u) << result.out;  // the device and the server
  for (const int pid : pids) {
    EXPECT_TRUE(waitUntil([&] { return processGone(pid); }, 10s)) << pid;
  }
  EXPECT_TRUE(tmp.empty());
}

TEST(Demo, SilentDeviceFailsClearlyAndCleansUp) {
  ScratchTmp tmp;
  // A build directory whose device never answers: lorvane-vdevice is
  // wrapped so that it ignores its script and stays silent.
  const std::string fake = tmp.dir() + "/fake build";
  fs::create_directories(fake + "/bin");
  for (const char* name : {"Lorvane", "portsend", "portrecv"}) {
    fs::create_symlink(builtBinDir() + "/" + name, fake + "/bin/" + name);
  }
  const std::string wrapper = fake + "/bin/lorvane-vdevice";
  writeFile(
      wrapper,
      "#!/usr/bin/env bash\n"
      "args=()\n"
      "while (($#)); do\n"
      "  case \"$1\" in --script) shift 2 ;; *) args+=(\"$1\"); shift ;; esac\n"
      "done\n"
      "exec '" +
          builtToolsDir() + "/lorvane-vdevice' --silent \"${args[@]}\"\n");
  ::chmod(wrapper.c_str(), 0755);
  const std::string scratchRoot = tmp.dir();

  const auto result = run(demo, {fake}, 180s);
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
  EXPECT_NE(result.err.find("FAILED at step"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("no answer from the device"), std::string::npos)
      << result.err;
  const auto pids = mentionedPids(result.out);
  EXPECT_EQ(pids.size(), 2u) << result.out;
  for (const int pid : pids) {
    EXPECT_TRUE(waitUntil([&] { return processGone(pid); }, 10s)) << pid;
  }
  fs::remove_all(fake);
  EXPECT_TRUE(fs::is_empty(scratchRoot));
}

}  // namespace
}  // namespace lorvane::test
