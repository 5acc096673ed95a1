// portsend end to end: the real program in a temporary install directory
// with a blank in its path. The first group needs no server and looks at
// what lands in snd and tmp; the second runs the real server against a
// pseudo-terminal device.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "spool/commands.h"
#include "spool/layout.h"
#include "tests/support/harness.h"

extern char** environ;

namespace lorvane::test {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

const std::string openError = "ファイルオープンエラー";
const std::string writeError = "ファイル書き込みエラー";

// Contents of the "*.dat" files of `dir`, in name order.
std::vector<std::string> datContents(const std::string& dir) {
  std::vector<std::string> contents;
  for (const auto& name : listDat(dir))
    contents.push_back(readFile(dir + "/" + name));
  return contents;
}

// Every entry of `dir`, hidden ones included.
std::vector<std::string> allEntries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string numbered(char prefix, int i) {
  char text[16];
  std::snprintf(text, sizeof text, "%c%03d;", prefix, i);
  return text;
}

// ---------------------------------------------------------------------------
// Items, switches and encoding, without a server.

enum class Obstacle { none, tmpIsFile, sndIsFile };

struct ItemCase {
  const char* name;
  // "{file}" stands for a file holding `fileContent`, "{missing}" for a path
  // that does not exist and "{dir}" for a directory.
  std::vector<std::string> args;
  std::string fileContent;
  std::vector<std::string> expectedSnd;
  std::string expectedOut;
  Obstacle obstacle = Obstacle::none;
  std::vector<std::string> expectedTmp = {};
};

class SenderItems : public ::testing::TestWithParam<ItemCase> {};

TEST_P(SenderItems, DeliversExactlyTheseSpoolFiles) {
  const ItemCase& c = GetParam();
  TempInstall install;
  const std::string file = install.path("item file.txt");
  writeFile(file, c.fileContent);
  std::filesystem::create_directory(install.path("a directory"));
  if (c.obstacle == Obstacle::tmpIsFile) writeFile(install.path("tmp"), "x");
  if (c.obstacle == Obstacle::sndIsFile) writeFile(install.path("snd"), "x");

  std::vector<std::string> args;
  for (const auto& arg : c.args) {
    if (arg == "{file}") {
      args.push_back(file);
    } else if (arg == "{missing}") {
      args.push_back(install.path("no such file"));
    } else if (arg == "{dir}") {
      args.push_back(install.path("a directory"));
    } else {
      args.push_back(arg);
    }
  }
  const auto result = run(install.program("portsend"), args);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, c.expectedOut);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(datContents(install.path("snd")), c.expectedSnd);
  if (c.obstacle != Obstacle::tmpIsFile) {
    EXPECT_TRUE(isDirectory(install.path("tmp")));
    EXPECT_EQ(datContents(install.path("tmp")), c.expectedTmp);
    EXPECT_EQ(allEntries(install.path("tmp")).size(), c.expectedTmp.size())
        << "nothing but undelivered items may stay in tmp";
  }
  if (c.obstacle != Obstacle::sndIsFile) {
    EXPECT_TRUE(isDirectory(install.path("snd")));
    EXPECT_EQ(allEntries(install.path("snd")).size(), c.expectedSnd.size());
  }
}

const ItemCase itemCases[] = {
    {"NoArguments", {}, "", {}, ""},
    {"TextThenEncodeSwitchThenMnemonic",
     {"abc", "-t2b", "<CR>"},
     "",
     {"abc", "\r"},
     ""},
    {"EncodingStartsAtTheSwitch",
     {"<CR>", "-t2b", "<CR>"},
     "",
     {"<CR>", "\r"},
     ""},
    {"EncodeSwitchAfterFileSwitchIsASwitch",
     {"-f", "-t2b", "{file}"},
     "A<CR><LF><09><ff><cr><NUL>b<ACK",
     {"A\r\n\t\xff<cr>\0b<ACK"s},
     ""},
    {"EmptyArgumentIsAnEmptyItem", {"", "x", ""}, "", {"", "x", ""}, ""},
    {"MissingFileGivesOneLineAndAnEmptyItem",
     {"-f", "{missing}", "{file}"},
     "after",
     {"", "after"},
     openError + ":No such file or directory\n"},
    {"DirectoryIsNoFileItem",
     {"-f", "{dir}"},
     "",
     {""},
     openError + ":Is a directory\n"},
    {"FileItemsAreNotCutShort",
     {"-f", "{file}"},
     "a\0b\r\n"s,
     {"a\0b\r\n"s},
     ""},
    {"KeywordsPassUnchangedAfterEncodeSwitch",
     {"-t2b", "@CLOSE@@@@<CR>", "@SETDTR@@@", "@LOG_ST@@@<0d>", "@LOG_ED@@@",
      "@SETRTS@@@x", "@CLRRTS@@@", "@CLRDTR@@@<LF>"},
     "",
     {"@CLOSE@@@@<CR>", "@SETDTR@@@", "@LOG_ST@@@<0d>", "@LOG_ED@@@",
      "@SETRTS@@@x", "@CLRRTS@@@", "@CLRDTR@@@<LF>"},
     ""},
    {"FileKeywordPassesUnchanged",
     {"-t2b", "-f", "{file}"},
     "@CLOSE@@@@<CR>",
     {"@CLOSE@@@@<CR>"},
     ""},
    {"ProbeKeywordIsDataToTheSender",
     {"-t2b", "@NOP@@@@@@<CR>"},
     "",
     {"@NOP@@@@@@\r"},
     ""},
    {"KeywordsAreCaseSensitiveAndTenBytes",
     {"-t2b", "@close@@@@<CR>", "@CLOSE@@@<CR>"},
     "",
     {"@close@@@@\r", "@CLOSE@@@\r"},
     ""},
    {"SwitchesMatchOnlyExactly",
     {"-T2B", "-t2bx", "-F", "-f ", " -f", "--f", "<CR>"},
     "",
     {"-T2B", "-t2bx", "-F", "-f ", " -f", "--f", "<CR>"},
     ""},
    {"SwitchesStaySet",
     {"-t2b", "-f", "{file}", "{file}"},
     "<ESC>",
     {"\x1b", "\x1b"},
     ""},
    {"TmpCannotBeWritten",
     {"abc", "def"},
     "",
     {},
     openError + ":Not a directory\n" + openError + ":Not a directory\n",
     Obstacle::tmpIsFile},
    {"SndCannotBeWrittenLeavesItemsInTmpAndSaysSo",
     {"abc"},
     "",
     {},
     writeError + ":Not a directory\n",
     Obstacle::sndIsFile,
     {"abc"}},
};

INSTANTIATE_TEST_SUITE_P(Sender, SenderItems, ::testing::ValuesIn(itemCases),
                         [](const ::testing::TestParamInfo<ItemCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(SenderNames, CounterStartsAtZeroAndStepsPerItem) {
  TempInstall install;
  std::vector<std::string> args;
  for (int i = 0; i < 100; ++i) args.push_back(numbered('A', i));
  const auto result = run(install.program("portsend"), args);
  ASSERT_EQ(result.exitCode, 0);
  const auto names = listDat(install.path("snd"));
  ASSERT_EQ(names.size(), 100u);
  bool sameMillisecond = false;
  for (std::size_t i = 0; i < names.size(); ++i) {
    ASSERT_EQ(names[i].size(), 24u) << names[i];
    EXPECT_EQ(counterField(names[i]), static_cast<int>(i)) << names[i];
    EXPECT_EQ(readFile(install.path("snd/" + names[i])),
              numbered('A', static_cast<int>(i)));
    if (i > 0 && names[i].compare(0, 17, names[i - 1], 0, 17) == 0) {
      sameMillisecond = true;
    }
  }
  EXPECT_TRUE(sameMillisecond)
      << "expected two of 100 items to share a millisecond";
}

// A file that its writer still holds is not read half-written: it counts as
// a file that cannot be opened.
TEST(SenderItemFiles, FileHeldByItsWriterIsNotRead) {
  TempInstall install;
  const std::string file = install.path("being written");
  writeFile(file, "half");
  const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  const auto held = run(install.program("portsend"), {"-f", file});
  ::close(fd);
  EXPECT_EQ(held.out, openError + ":Resource temporarily unavailable\n");
  EXPECT_EQ(datContents(install.path("snd")), std::vector<std::string>{""});
}

TEST(SenderItemFiles, AFileNamedThroughASymbolicLinkIsRead) {
  TempInstall install;
  writeFile(install.path("commands.txt"), "@CLRDTR@@@");
  ASSERT_EQ(::symlink(install.path("commands.txt").c_str(),
                      install.path("latest").c_str()),
            0);
  const auto result =
      run(install.program("portsend"), {"-f", install.path("latest")});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(datContents(install.path("snd")),
            std::vector<std::string>{"@CLRDTR@@@"});
}

// ---------------------------------------------------------------------------
// Items longer than one block.

TEST(SenderBlocks, LongFileArrivesWholeInOrderedBlocks) {
  TempInstall install;
  const std::string data = randomBytes(300000, 7);
  writeFile(install.path("big"), data);
  const auto result =
      run(install.program("portsend"), {"-f", install.path("big")});
  EXPECT_EQ(result.out, "");
  const auto pieces = datContents(install.path("snd"));
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0].size(), blockSize);
  EXPECT_EQ(pieces[1].size(), blockSize);
  EXPECT_EQ(pieces[0] + pieces[1] + pieces[2], data);
}

TEST(SenderBlocks, EncodingComesBeforeTheCut) {
  TempInstall install;
  const std::string text = std::string(blockSize - 2, 'x') + "<CR>yz";
  ASSERT_EQ(run(install.program("portsend"), {"-t2b", text}).exitCode, 0);
  EXPECT_EQ(
      datContents(install.path("snd")),
      (std::vector<std::string>{std::string(blockSize - 2, 'x') + "\ry", "z"}));
}

TEST(SenderBlocks, LongArgumentIsCutIntoBlocks) {
  TempInstall install;
  const std::string text = std::string(blockSize + 5, 'q');
  ASSERT_EQ(run(install.program("portsend"), {text}).exitCode, 0);
  EXPECT_EQ(datContents(install.path("snd")),
            (std::vector<std::string>{std::string(blockSize, 'q'), "qqqqq"}));
}

// Data must never reach the server as a command: a cut that would make a
// later piece begin with a keyword moves one byte earlier.
TEST(SenderBlocks, NoLaterPieceBeginsWithAKeyword) {
  for (const auto& keyword : keywords) {
    SCOPED_TRACE(std::string(keyword.text));
    TempInstall install;
    const std::string data =
        std::string(blockSize, 'x') + std::string(keyword.text) + "tail" +
        std::string(blockSize - 1, 'y') + std::string(keyword.text);
    writeFile(install.path("item"), data);
    ASSERT_EQ(
        run(install.program("portsend"), {"-f", install.path("item")}).exitCode,
        0);
    const auto pieces = datContents(install.path("snd"));
    ASSERT_GE(pieces.size(), 2u);
    std::string joined;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      EXPECT_LE(pieces[i].size(), blockSize);
      if (i > 0) {
        EXPECT_FALSE(isControlCommand(pieces[i])) << "piece " << i;
      }
      joined += pieces[i];
    }
    EXPECT_EQ(joined, data);
  }
}

// The server reads a command from one file; a command is never cut, so none
// of its bytes can reach the port as data.
TEST(SenderBlocks, LongCommandStaysOneFile) {
  TempInstall install;
  const std::string command = "@CLOSE@@@@" + std::string(2 * blockSize, 'x');
  writeFile(install.path("command"), command);
  ASSERT_EQ(run(install.program("portsend"), {"-f", install.path("command")})
                .exitCode,
            0);
  EXPECT_EQ(datContents(install.path("snd")),
            (std::vector<std::string>{command}));
}

// ---------------------------------------------------------------------------
// Names that another writer holds already.

long long realTimeMillis() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Writes "taken" under every spool name of the milliseconds [start, end)
// whose counter field lies in [firstCounter, lastCounter].
std::size_t occupyNames(const std::string& dir, long long start, long long end,
                        int firstCounter, int lastCounter) {
  std::size_t count = 0;
  for (long long ms = start; ms < end; ++ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm local{};
    ::localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
    for (int counter = firstCounter; counter <= lastCounter; ++counter) {
      char name[64];
      std::snprintf(name, sizeof name, "%s%03lld%03d.dat", stamp, ms % 1000,
                    counter);
      const std::string path = dir + "/" + name;
      const int fd =
          ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0) continue;
      if (::write(fd, "taken", 5) == 5) ++count;
      ::close(fd);
    }
  }
  return count;
}

TEST(SenderNames, TakenNamesAreSkippedNeverReplaced) {
  TempInstall install;
  const std::string snd = install.path("snd");
  const std::string tmp = install.path("tmp");
  std::filesystem::create_directories(snd);
  std::filesystem::create_directories(tmp);
  // For one second from now on, snd holds the counters 000-002 and tmp the
  // counters 003-004 of every millisecond, as other senders of the same
  // millisecond would. The run starts well inside that second.
  const long long start = realTimeMillis() + 1000;
  const long long end = start + 1000;
  const std::size_t takenSnd = occupyNames(snd, start, end, 0, 2);
  const std::size_t takenTmp = occupyNames(tmp, start, end, 3, 4);
  ASSERT_EQ(takenSnd, 3000u);
  ASSERT_EQ(takenTmp, 2000u);
  if (realTimeMillis() > start) GTEST_SKIP() << "machine too slow to set up";
  while (realTimeMillis() < start + 20) ::usleep(1000);

  const std::vector<std::string> items = {"one", "two", "three", "four"};
  const auto result = run(install.program("portsend"), items);
  ASSERT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "");
  const bool ranInsideTheSecond = realTimeMillis() < end;

  std::vector<std::string> delivered;
  std::vector<int> counters;
  std::size_t stillTaken = 0;
  for (const auto& name : listDat(snd)) {
    const std::string content = readFile(snd + "/" + name);
    if (content == "taken") {
      ++stillTaken;
    } else {
      delivered.push_back(content);
      counters.push_back(counterField(name).value_or(-1));
    }
  }
  EXPECT_EQ(stillTaken, takenSnd);
  EXPECT_EQ(delivered, items);
  // The first item meets 000-002 taken in snd and lands on 003; the second
  // meets 004 taken in tmp and takes 005.
  if (ranInsideTheSecond) {
    EXPECT_EQ(counters, (std::vector<int>{3, 5, 6, 7}));
  }
  EXPECT_EQ(allEntries(tmp).size(), takenTmp);
  for (const auto& content : datContents(tmp)) ASSERT_EQ(content, "taken");
}

TEST(SenderNames, TwoSendersAtOnceLoseNothing) {
  TempInstall install;
  std::vector<std::string> first, second;
  for (int i = 0; i < 200; ++i) {
    first.push_back(numbered('A', i));
    second.push_back(numbered('B', i));
  }
  {
    Process a(install.program("portsend"), first, install.path("a.out"));
    Process b(install.program("portsend"), second, install.path("b.out"));
    EXPECT_EQ(a.wait(60s), 0);
    EXPECT_EQ(b.wait(60s), 0);
  }
  EXPECT_EQ(readFile(install.path("a.out")), "");
  EXPECT_EQ(readFile(install.path("b.out")), "");
  std::vector<std::string> fromA, fromB;
  for (const auto& content : datContents(install.path("snd"))) {
    (content[0] == 'A' ? fromA : fromB).push_back(content);
  }
  // Each sender's items in its own order, nothing lost, nothing doubled.
  EXPECT_EQ(fromA, first);
  EXPECT_EQ(fromB, second);
  EXPECT_EQ(allEntries(install.path("tmp")), std::vector<std::string>{});
}

// ---------------------------------------------------------------------------
// The process around the items.

// Runs `program` with its standard output on a pipe whose reader has gone.
int runWithClosedOutput(const std::string& program,
                        const std::vector<std::string>& args) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  ::close(fds[0]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  std::vector<std::string> strings{program};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr,
                               argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(SenderProcess, ReportToAVanishedReaderDoesNotEndTheRun) {
  TempInstall install;
  writeFile(install.path("later"), "later");
  EXPECT_EQ(runWithClosedOutput(
                install.program("portsend"),
                {"-f", install.path("missing"), install.path("later")}),
            0);
  EXPECT_EQ(datContents(install.path("snd")),
            (std::vector<std::string>{"", "later"}));
}

// A directory tree deeper than the kernel will name, built and removed
// through descriptors.
class DeepDirectory {
 public:
  DeepDirectory()
      : root_(std::filesystem::temp_directory_path() / "lorvane-deep-XXXXXX") {
    std::string templ = root_.string();
    if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    root_ = templ;
    fd_ = ::open(templ.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string name(200, 'd');
    for (int level = 0; level < 25; ++level) {
      ::mkdirat(fd_, name.c_str(), 0755);
      const int next =
          ::openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ::close(fd_);
      fd_ = next;
    }
  }
  ~DeepDirectory() {
    ::close(fd_);
    removeTree(AT_FDCWD, root_.c_str());
  }
  int fd() const { return fd_; }

 private:
  static void removeTree(int parent, const char* name) {
    const int fd =
        ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      DIR* dir = ::fdopendir(fd);
      std::vector<std::string> entries;
      while (const dirent* entry = ::readdir(dir)) {
        const std::string entryName = entry->d_name;
        if (entryName != "." && entryName != "..") entries.push_back(entryName);
      }
      for (const auto& entry : entries) {
        if (::unlinkat(fd, entry.c_str(), 0) != 0)
          removeTree(fd, entry.c_str());
      }
      ::closedir(dir);
    }
    ::unlinkat(parent, name, AT_REMOVEDIR);
  }
  std::filesystem::path root_;
  int fd_ = -1;
};

TEST(SenderProcess, WithoutItsOwnPathTheRunFailsWithTheFatalLine) {
  DeepDirectory deep;
  const std::string binary = readFile(builtBinDir() + "/portsend");
  const int out =
      ::openat(deep.fd(), "portsend", O_WRONLY | O_CREAT | O_CLOEXEC, 0755);
  ASSERT_GE(out, 0);
  ASSERT_EQ(::write(out, binary.data(), binary.size()),
            static_cast<ssize_t>(binary.size()));
  ::close(out);

  int outPipe[2], errPipe[2];
  ASSERT_EQ(::pipe2(outPipe, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(errPipe, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addfchdir_np(&actions, deep.fd());
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  char program[] = "./portsend";
  char item[] = "abc";
  char* argv[] = {program, item, nullptr};
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, program, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  ASSERT_EQ(rc, 0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  auto drain = [](int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
  };
  const std::string stdoutText = drain(outPipe[0]);
  const std::string stderrText = drain(errPipe[0]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(stdoutText, "");
  // A sanitizer build may complain about the same path before it.
  EXPECT_TRUE(stderrText.ends_with("Fatal Error: MFC initialization failed\n"))
      << stderrText;
  struct stat info {};
  EXPECT_NE(::fstatat(deep.fd(), "snd", &info, 0), 0) << "no directory is made";
}

// ---------------------------------------------------------------------------
// With the real server and a pseudo-terminal device.

// Processes whose executable is `program`.
std::vector<int> processesRunning(const std::string& program) {
  std::vector<int> pids;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code linkError;
    const auto target =
        std::filesystem::read_symlink(entry.path() / "exe", linkError);
    if (!linkError && target == program) pids.push_back(std::stoi(name));
  }
  return pids;
}

std::vector<std::string> commandLineOf(int pid) {
  const std::string raw = readFile("/proc/" + std::to_string(pid) + "/cmdline");
  std::vector<std::string> arguments;
  std::size_t start = 0;
  while (start < raw.size()) {
    const auto end = raw.find('\0', start);
    arguments.push_back(raw.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return arguments;
}

std::string descriptorTarget(int pid, int fd) {
  std::error_code ec;
  return std::filesystem::read_symlink(
             "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), ec)
      .string();
}

class SenderWithServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!exists(builtBinDir() + "/Lorvane")) {
      GTEST_SKIP() << "the server is not built";
    }
  }
  std::string openCommand() const {
    return "@OPEN@@@@@," + device.path() + ",9600,8,0,0,0";
  }
  RunResult send(const std::vector<std::string>& args) {
    return run(install.program("portsend"), args);
  }

  // The device outlives the install, whose end stops the server.
  PtyDevice device;
  TempInstall install;
};

TEST_F(SenderWithServer, OpenStartsOneDetachedServerThatLaterOpensFind) {
  const std::string server = install.program("Lorvane");
  ASSERT_EQ(processesRunning(server), std::vector<int>{});
  const auto first = send({openCommand()});
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_EQ(first.out, "");
  const auto pid = install.serverPid();
  ASSERT_TRUE(pid.has_value());
  EXPECT_EQ(processesRunning(server), std::vector<int>{*pid});

  // The title, blanks turned into underscores, is the first argument.
  EXPECT_NE(install.title().find("install_dir"), std::string::npos);
  EXPECT_EQ(commandLineOf(*pid),
            (std::vector<std::string>{server, install.title()}));
  // Nothing of the caller's terminal or pipes reaches the server.
  EXPECT_EQ(::getsid(*pid), *pid);
  EXPECT_EQ(descriptorTarget(*pid, 0), "/dev/null");
  EXPECT_EQ(descriptorTarget(*pid, 1), install.path("Lorvane.out"));
  EXPECT_EQ(descriptorTarget(*pid, 2), install.path("Lorvane.out"));

  ASSERT_EQ(send({"ping"}).exitCode, 0);
  EXPECT_EQ(device.readExactly(4, 10s), "ping");

  // An open command from a file finds the running server.
  writeFile(install.path("open command"), openCommand());
  EXPECT_EQ(send({"-f", install.path("open command")}).out, "");
  EXPECT_EQ(install.serverPid(), pid);
  EXPECT_EQ(processesRunning(server), std::vector<int>{*pid});
  ASSERT_EQ(send({"pong"}).exitCode, 0);
  EXPECT_EQ(device.readExactly(4, 10s), "pong");

  // Once that server has ended, the next open command starts a new one.
  ASSERT_EQ(send({"@CLOSE@@@@"}).exitCode, 0);
  ASSERT_TRUE(waitUntil([&] { return !install.serverPid(); }));
  ASSERT_EQ(send({openCommand()}).exitCode, 0);
  const auto second = install.serverPid();
  ASSERT_TRUE(second.has_value());
  EXPECT_NE(*second, *pid);
  EXPECT_EQ(processesRunning(server), std::vector<int>{*second});
}

TEST_F(SenderWithServer, OpenCommandLandsOnlyAfterSndHasDrained) {
  ASSERT_EQ(send({openCommand()}).exitCode, 0);
  const auto pid = install.serverPid();
  ASSERT_TRUE(pid.has_value());
  const std::string snd = install.path("snd");

  // A stopped server keeps its title but takes nothing from snd.
  ASSERT_EQ(::kill(*pid, SIGSTOP), 0);
  struct Resume {
    int pid;
    ~Resume() { ::kill(pid, SIGCONT); }
  } resume{*pid};
  ASSERT_EQ(send({"queued"}).exitCode, 0);
  Process opener(install.program("portsend"), {openCommand()},
                 install.path("opener.out"));
  ASSERT_TRUE(waitUntil([&] { return exists(snd + "/nop.dat"); }));
  EXPECT_EQ(readFile(snd + "/nop.dat"), "@NOP@@@@@@");
  auto openCommandsInSnd = [&] {
    int count = 0;
    for (const auto& content : datContents(snd)) {
      if (content.starts_with("@OPEN@@@@@")) ++count;
    }
    return count;
  };
  // The sender stays in its drain wait for as long as snd holds a file.
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(openCommandsInSnd(), 0);
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_FALSE(opener.wait(0ms).has_value());
  EXPECT_EQ(processesRunning(install.program("Lorvane")),
            std::vector<int>{*pid});

  ::kill(*pid, SIGCONT);
  EXPECT_EQ(opener.wait(20s), 0);
  EXPECT_EQ(readFile(install.path("opener.out")), "");
  EXPECT_EQ(device.readExactly(6, 10s), "queued");
  EXPECT_EQ(install.serverPid(), pid);
  ASSERT_EQ(send({"after"}).exitCode, 0);
  EXPECT_EQ(device.readExactly(5, 10s), "after");
}

TEST_F(SenderWithServer, LargeFileArrivesWholeAtTheDevice) {
  ASSERT_EQ(send({openCommand()}).exitCode, 0);
  const std::string data = randomBytes(300000, 11);
  writeFile(install.path("large"), data);
  const auto result = send({"-f", install.path("large")});
  EXPECT_EQ(result.out, "");
  const std::string arrived = device.readExactly(data.size(), 60s);
  EXPECT_EQ(arrived.size(), data.size());
  EXPECT_TRUE(arrived == data) << "the bytes differ";
  EXPECT_EQ(device.readFor(200ms), "") << "nothing more may follow";
}

TEST_F(SenderWithServer, TwoSendersAtOnceDeliverEveryItem) {
  ASSERT_EQ(send({openCommand()}).exitCode, 0);
  std::vector<std::string> first, second;
  for (int i = 0; i < 200; ++i) {
    first.push_back(numbered('A', i));
    second.push_back(numbered('B', i));
  }
  {
    Process a(install.program("portsend"), first, install.path("a.out"));
    Process b(install.program("portsend"), second, install.path("b.out"));
    EXPECT_EQ(a.wait(60s), 0);
    EXPECT_EQ(b.wait(60s), 0);
  }
  const std::string arrived = device.readExactly(400 * 5, 60s);
  ASSERT_EQ(arrived.size(), 400u * 5);
  std::vector<std::string> fromA, fromB;
  for (std::size_t i = 0; i < arrived.size(); i += 5) {
    (arrived[i] == 'A' ? fromA : fromB).push_back(arrived.substr(i, 5));
  }
  EXPECT_EQ(fromA, first);
  EXPECT_EQ(fromB, second);
  EXPECT_EQ(allEntries(install.path("tmp")), std::vector<std::string>{});
  EXPECT_EQ(readFile(install.path("a.out")) + readFile(install.path("b.out")),
            "");
}

// A script that captures the sender's output must get it back as soon as
// the sender is done, although the server it started runs on.
TEST_F(SenderWithServer, CommandSubstitutionDoesNotWaitForTheServer) {
  const auto result =
      run("/bin/sh",
          {"-c", "out=$(\"$0\" \"$1\" 2>&1); printf 'done[%s]' \"$out\"",
           install.program("portsend"), openCommand()},
          30s);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.out, "done[]");
  const auto pid = install.serverPid();
  ASSERT_TRUE(pid.has_value());
  EXPECT_EQ(::kill(*pid, 0), 0) << "the server must still run";
  ASSERT_EQ(send({"still here"}).exitCode, 0);
  EXPECT_EQ(device.readExactly(10, 10s), "still here");
}

}  // namespace
}  // namespace lorvane::test
