// portrecv as scripts see it: the real program in a temporary install
// directory, reading crafted files in rcv/ and sts/, and once the whole path
// from a device through the server.
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/harness.h"

extern char** environ;

namespace lorvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Files of rcv/ in the order of their creation.
using Files = std::vector<std::pair<std::string, std::string>>;

// A receive-file name as the server forms it, for block number `n`.
std::string stamp(int n) {
  char name[32];
  std::snprintf(name, sizeof name, "20250314092653%03d%03d.dat",
                n / 1000 % 1000, n % 1000);
  return name;
}

// ABCDEFG, one byte per file, created last file first.
Files sevenLettersBackwards() {
  Files files;
  const std::string letters = "ABCDEFG";
  for (int i = 6; i >= 0; --i) {
    files.emplace_back(stamp(i + 1),
                       letters.substr(static_cast<std::size_t>(i), 1));
  }
  return files;
}

// ABCDEFG over three files of different sizes, created out of name order,
// with names beside them that are no part of the stream.
Files lettersWithNoise() {
  return {{stamp(3), "EFG"},
          {stamp(1), "AB"},
          {".20250314092653000002.dat.4711.tmp", "XX"},  // a write in progress
          {stamp(2), "CD"},
          {"20250314092653000009.DAT", "YY"},
          {"20250314092653000009.dat.old", "ZZ"}};
}

class Receiver : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(exists(install.program("portrecv")))
        << "portrecv was not built into " << builtBinDir();
  }

  std::string rcv() const { return install.path("rcv"); }
  std::string statusFile() const { return install.path("sts/LineStatus.dat"); }

  void craft(const Files& files) {
    fs::remove_all(rcv());
    fs::create_directories(rcv());
    for (const auto& [name, content] : files)
      writeFile(rcv() + "/" + name, content);
  }

  // Runs portrecv and checks what every run must satisfy: exit code 0 and
  // nothing on standard error.
  std::string receive(const std::vector<std::string>& args) {
    const RunResult result = run(install.program("portrecv"), args, 20s);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0) << testing::PrintToString(args);
    EXPECT_EQ(result.err, "") << testing::PrintToString(args);
    return result.out;
  }

  TempInstall install;
};

TEST_F(Receiver, NoArgumentPrintsNothingAndCreatesTheDirectories) {
  ASSERT_FALSE(exists(rcv()));
  ASSERT_FALSE(exists(install.path("sts")));
  EXPECT_EQ(receive({}), "");
  EXPECT_TRUE(fs::is_directory(rcv()));
  EXPECT_TRUE(fs::is_directory(install.path("sts")));
}

struct DataCase {
  const char* what;
  Files (*files)();
  std::vector<std::string> args;
  std::string expected;
};

Files hexExample() { return {{stamp(2), "\x0a\xff"}, {stamp(1), "\x41\x0d"}}; }
Files zeroInside() { return {{stamp(1), std::string("AB\0CD", 5)}}; }
Files nothing() { return {}; }

TEST_F(Receiver, DataModeSelectsRangesOfTheStreamInNameOrder) {
  const std::string block(102400, '\0');
  const std::vector<DataCase> cases = {
      {"one byte per file", sevenLettersBackwards, {"-dat", "3", "4"}, "CDEF"},
      {"files of several sizes", lettersWithNoise, {"-dat", "3", "4"}, "CDEF"},
      {"whole stream", lettersWithNoise, {"-dat", "1", "100"}, "ABCDEFG"},
      {"start 0 is start 1", lettersWithNoise, {"-dat", "0", "2"}, "AB"},
      {"negative start", lettersWithNoise, {"-dat", "-5", "2"}, "AB"},
      {"across file ends", sevenLettersBackwards, {"-dat", "2", "5"}, "BCDEF"},
      {"last byte", lettersWithNoise, {"-dat", "7", "1"}, "G"},
      {"no start", lettersWithNoise, {"-dat"}, ""},
      {"no length", lettersWithNoise, {"-dat", "3"}, ""},
      {"length 0", lettersWithNoise, {"-dat", "3", "0", "hex"}, ""},
      {"negative length", lettersWithNoise, {"-dat", "3", "-4", "hex"}, ""},
      {"decimal rules", lettersWithNoise, {"-dat", " \t+3xyz", "2abc"}, "CD"},
      {"start without digits is 0", lettersWithNoise, {"-dat", "x", "2"}, "AB"},
      {"length without digits is 0", lettersWithNoise, {"-dat", "3", "x"}, ""},
      {"extra arguments ignored",
       lettersWithNoise,
       {"-dat", "1", "2", "hex", "more"},
       "4142"},
      {"hex example", hexExample, {"-dat", "1", "6", "hex"}, "410d0aff0000"},
      {"HEX prints lower case",
       hexExample,
       {"-dat", "1", "6", "HEX"},
       "410d0aff0000"},
      {"Hex prints raw bytes, no line-end translation",
       hexExample,
       {"-dat", "1", "6", "Hex"},
       "\x41\x0d\x0a\xff"},
      {"other switch prints raw bytes",
       hexExample,
       {"-dat", "1", "6", "hexx"},
       "\x41\x0d\x0a\xff"},
      {"raw output stops at a zero byte", zeroInside, {"-dat", "1", "5"}, "AB"},
      {"hex shows the zero byte",
       zeroInside,
       {"-dat", "1", "5", "hex"},
       "4142004344"},
      {"raw behind the zero byte", zeroInside, {"-dat", "4", "2"}, "CD"},
      {"range starting with a zero byte", zeroInside, {"-dat", "3", "3"}, ""},
      {"start behind the data", lettersWithNoise, {"-dat", "8", "5"}, ""},
      {"start behind the data, hex",
       lettersWithNoise,
       {"-dat", "8", "3", "hex"},
       "000000"},
      {"empty rcv, hex", nothing, {"-dat", "1", "3", "hex"}, "000000"},
      {"empty rcv, raw", nothing, {"-dat", "1", "3"}, ""},
      {"length beyond 32 bits is one block",
       lettersWithNoise,
       {"-dat", "2", "4294967297", "hex"},
       hexOf("BCDEFG" + block.substr(6))},
      {"length beyond 64 bits is one block",
       lettersWithNoise,
       {"-dat", "1", "99999999999999999999999999", "hex"},
       hexOf("ABCDEFG" + block.substr(7))},
      {"start plus length beyond 32 bits",
       lettersWithNoise,
       {"-dat", "2147483647", "2147483647", "hex"},
       hexOf(block)},
      {"start beyond 32 bits",
       lettersWithNoise,
       {"-dat", "4294967298", "2", "hex"},
       "0000"},
      {"start beyond 64 bits",
       lettersWithNoise,
       {"-dat", "99999999999999999999999999", "2", "hex"},
       "0000"},
      {"start far below 64 bits",
       lettersWithNoise,
       {"-dat", "-99999999999999999999999999", "2"},
       "AB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    craft(c.files());
    EXPECT_EQ(receive(c.args), c.expected);
  }
}

TEST_F(Receiver, ReadsTheWholeStreamNotOnlyItsFirstBlock) {
  // 300000 bytes in blocks as the server writes them, created out of order.
  const std::string stream = randomBytes(300000, 7);
  const std::vector<std::size_t> sizes = {102400, 102400, 1, 50000, 45199};
  Files files;
  std::size_t offset = 0;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    files.emplace_back(stamp(static_cast<int>(i) + 1),
                       stream.substr(offset, sizes[i]));
    offset += sizes[i];
  }
  ASSERT_EQ(offset, stream.size());
  std::swap(files.front(), files.back());
  craft(files);

  struct Range {
    std::uint64_t start;  // counted from 1
    std::size_t length;
  };
  for (const Range r :
       std::vector<Range>{{200001, 10},
                          {204800, 2},       // into the lone byte
                          {102400, 102402},  // one block at most
                          {250001, 102400},  // past the end
                          {1, 102400}}) {
    SCOPED_TRACE(r.start);
    const std::size_t length = std::min<std::size_t>(r.length, 102400);
    std::string expected = stream.substr(r.start - 1, length);
    expected.resize(length, '\0');
    EXPECT_EQ(receive({"-dat", std::to_string(r.start),
                       std::to_string(r.length), "hex"}),
              hexOf(expected));
  }
  // Raw: the bytes themselves, up to the first zero byte among them.
  const std::string tail = stream.substr(200000, 40);
  EXPECT_EQ(receive({"-dat", "200001", "40"}), tail.substr(0, tail.find('\0')));
}

// The stream is formed by the listing: every regular "*.dat" file occupies
// its size. Entries that are no regular file are no part of it; a regular
// file that cannot be read gives zero bytes in its place and the files
// behind it stay where they are.
TEST_F(Receiver, UnreadableFilesKeepThePositionsOfTheOthers) {
  craft({{stamp(1), "AB"}, {stamp(3), "EFG"}, {stamp(2), "CD"}});
  fs::create_directory(rcv() + "/" +
                       stamp(0));  // a directory named like a file
  fs::create_symlink(rcv() + "/" + stamp(3), rcv() + "/" + stamp(4));
  ::mkfifo((rcv() + "/" + stamp(5)).c_str(), 0644);
  EXPECT_EQ(receive({"-dat", "1", "9", "hex"}),
            hexOf(std::string("ABCDEFG\0\0", 9)));

  // A writer outside the system holds the middle file exclusively.
  const int fd = ::open((rcv() + "/" + stamp(2)).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  EXPECT_EQ(receive({"-dat", "1", "7", "hex"}),
            hexOf(std::string("AB\0\0EFG", 7)));
  EXPECT_EQ(receive({"-dat", "1", "7"}), "AB");
  EXPECT_EQ(receive({"-dat", "5", "3"}), "EFG");
  EXPECT_EQ(receive({"-dat", "4", "2", "hex"}), "0045");
  ::close(fd);
  EXPECT_EQ(receive({"-dat", "1", "7"}), "ABCDEFG");
}

TEST_F(Receiver, LineStateModePrintsOneFieldOfTheStatusFile) {
  struct LineCase {
    std::optional<std::string> record;  // nullopt: no status file
    std::string cts, dsr, ring, rlsd;
  };
  const std::vector<LineCase> cases = {
      {"1,1,0,0", "1", "1", "0", "0"},
      {"0,0,1,1", "0", "0", "1", "1"},
      {std::nullopt, "0", "0", "0", "0"},
      {"", "0", "0", "0", "0"},
      {"1,0", "1", "0", "0", "0"},          // fewer fields
      {",,1,,,0,1", "1", "0", "1", "0"},    // runs of commas are one separator
      {"0,1,1,1,1,1", "0", "1", "1", "1"},  // pieces after the fourth ignored
      {"1,1,0,1\r\n", "1", "1", "0", "1"},  // a line end after a number
      {std::string("1,1\0,1,1", 8), "1", "1", "0", "0"},  // text ends at a zero
      {"x,-1, +7,99999999999", "0", "-1", "7", "2147483647"},
  };
  fs::create_directories(install.path("sts"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.record ? testing::PrintToString(*c.record) : "no file");
    fs::remove(statusFile());
    if (c.record) writeFile(statusFile(), *c.record);
    EXPECT_EQ(receive({"-cts"}), c.cts);
    EXPECT_EQ(receive({"-dsr"}), c.dsr);
    EXPECT_EQ(receive({"-ring"}), c.ring);
    EXPECT_EQ(receive({"-rlsd", "ignored"}), c.rlsd);
    for (const char* other : {"-CTS", "-Cts", "cts", "-dat2", "", "-"}) {
      EXPECT_EQ(receive({other}), "") << other;
    }
  }
}

TEST_F(Receiver, ExitCodeStaysZeroWhenTheReaderOfItsOutputHasGone) {
  craft({{stamp(1), std::string(102400, 'A')}});
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  ::close(pipeFds[0]);  // nobody reads
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  std::string program = install.program("portrecv");
  std::vector<std::string> strings{program, "-dat", "1", "102400", "hex"};
  std::vector<char*> argv;
  for (auto& a : strings) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr,
                               argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  ASSERT_EQ(rc, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The one failure of portrecv: it cannot find its own path. A program deeper
// than the system's path limit is such a case.
TEST(ReceiverStart, FatalLineWhenTheProgramCannotFindItsOwnPath) {
  const fs::path source = fs::path(builtBinDir()) / "portrecv";
  ASSERT_TRUE(fs::exists(source));
  const fs::path original = fs::current_path();
  std::string root =
      (fs::temp_directory_path() / "lorvane-deep-XXXXXX").string();
  ASSERT_NE(::mkdtemp(root.data()), nullptr);
  ASSERT_EQ(::chdir(root.c_str()), 0);
  const std::string component(200, 'd');
  int depth = 0;
  while (root.size() + static_cast<std::size_t>(depth) * 201 < 4400) {
    ASSERT_EQ(::mkdir(component.c_str(), 0755), 0);
    ASSERT_EQ(::chdir(component.c_str()), 0);
    ++depth;
  }
  fs::copy_file(source, "portrecv");

  const RunResult result = run("./portrecv", {"-dat", "1", "5"});
  const bool createdDirectories = exists("rcv") || exists("sts");

  ::unlink("portrecv");
  ::rmdir("rcv");
  ::rmdir("sts");
  for (; depth > 0; --depth) {
    [[maybe_unused]] const int up = ::chdir("..");
    ::rmdir(component.c_str());
  }
  fs::current_path(original);
  fs::remove_all(root);

  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "");
  // A sanitizer runtime may add notices of its own ("==pid==...").
  std::string err;
  std::istringstream lines(result.err);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("==")) err += line + "\n";
  }
  EXPECT_EQ(err, "Fatal Error: MFC initialization failed\n");
  EXPECT_TRUE(result.err.ends_with("\n"));
  EXPECT_FALSE(createdDirectories);
}

// The whole receive path: bytes a device sends on a pseudo-terminal reach
// rcv/ through the real server started by the real sender, and portrecv
// gives them back.
class ReceiverWithServer : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"Lorvane", "portsend", "portrecv"}) {
      if (!exists(install.program(name))) {
        GTEST_SKIP() << name << " is not built";
      }
    }
  }
  std::string receive(const std::vector<std::string>& args) {
    const RunResult result = run(install.program("portrecv"), args, 20s);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
    return result.out;
  }
  std::string received() const { return concatDat(install.path("rcv")); }

  // The device outlives the install, whose end stops the server.
  PtyDevice device;
  TempInstall install;
};

TEST_F(ReceiverWithServer, BytesFromTheDeviceReadBackRawAndHex) {
  const RunResult open = run(install.program("portsend"),
                             {"@OPEN@@@@@," + device.path() + ",9600,8,0,0,0"});
  ASSERT_EQ(open.exitCode, 0) << open.out << open.err;
  ASSERT_TRUE(waitUntil([&] {
    return exists(install.path("sts/LineStatus.dat"));
  })) << readFile(install.path("Lorvane.out"));
  // A pseudo-terminal reports no modem lines.
  EXPECT_EQ(receive({"-cts"}), "0");
  EXPECT_EQ(receive({"-rlsd"}), "0");

  const std::string first = "hello\r\n\x01\x7f\x80\xff world";
  device.write(first);
  ASSERT_TRUE(waitUntil([&] { return received().size() >= first.size(); }));
  ASSERT_EQ(received(), first);
  const std::string n = std::to_string(first.size());
  EXPECT_EQ(receive({"-dat", "1", n}), first);
  EXPECT_EQ(receive({"-dat", "1", std::to_string(first.size() + 2), "hex"}),
            hexOf(first) + "0000");
  EXPECT_EQ(receive({"-dat", "6", "2", "HEX"}), "0d0a");

  // More than a block in all: later bytes keep their positions, and a caller
  // that keeps its own position reads exactly what came after it.
  const std::string second = randomBytes(150000, 11);
  device.write(second);
  ASSERT_TRUE(waitUntil(
      [&] { return received().size() >= first.size() + second.size(); }, 30s));
  const std::string all = received();
  ASSERT_EQ(all, first + second);
  EXPECT_GE(listDat(install.path("rcv")).size(), 3u);
  for (const std::size_t from :
       {first.size(), std::size_t{120000}, all.size() - 100}) {
    SCOPED_TRACE(from);
    std::string expected = all.substr(from, 102400);
    expected.resize(102400, '\0');
    EXPECT_EQ(receive({"-dat", std::to_string(from + 1), "102400", "hex"}),
              hexOf(expected));
  }
  const std::string tail = all.substr(140000, 30);
  EXPECT_EQ(receive({"-dat", "140001", "30"}), tail.substr(0, tail.find('\0')));

  ASSERT_EQ(run(install.program("portsend"), {"@CLOSE@@@@"}).exitCode, 0);
  ASSERT_TRUE(waitUntil([&] { return !install.serverPid(); }));
  // What was received stays readable after the server has ended.
  EXPECT_EQ(receive({"-dat", "1", n}), first);
}

}  // namespace
}  // namespace lorvane::test
