// The file primitives of the spool directories on a real file system:
// publishing, moving without replacing, listing and the reader's outcomes.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "spool/layout.h"

namespace lorvane::platform {
namespace {

namespace fs = std::filesystem;

// A fresh directory with a blank in its path, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base && *base ? base : "/tmp") + "/lorvane files XXXXXX";
    if (!::mkdtemp(pattern.data())) {
      ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    }
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add,
                    ignored);
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const {
    return path_ + "/" + name;
  }

 private:
  std::string path_;
};

void writePlain(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::string readPlain(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Every entry of `directory`, hidden ones included, in name order.
std::vector<std::string> allEntries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string pattern(std::size_t size, unsigned seed) {
  std::string text(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& c : text) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return text;
}

TEST(PublishFile, WritesTheWholeContentAndLeavesNoTemporary) {
  const std::size_t sizes[] = {0, 1, 4096, blockSize, 3 * blockSize + 7};
  for (const Replace replace : {Replace::allowed, Replace::never}) {
    for (const std::size_t size : sizes) {
      SCOPED_TRACE(size);
      TempDir dir;
      const std::string content = pattern(size, static_cast<unsigned>(size));
      const auto result = publishFile(dir / "a.dat", content, replace);
      ASSERT_TRUE(result.isOk()) << result.status.reason();
      EXPECT_EQ(result.stage, PublishStage::done);
      EXPECT_EQ(readPlain(dir / "a.dat"), content);
      EXPECT_EQ(allEntries(dir.path()), std::vector<std::string>{"a.dat"});
    }
  }
}

TEST(PublishFile, AllowedReplacesAnExistingFile) {
  TempDir dir;
  writePlain(dir / "LineStatus.dat", "0,0,0,0 and more than seven bytes");
  const auto result =
      publishFile(dir / "LineStatus.dat", "1,1,0,0", Replace::allowed);
  ASSERT_TRUE(result.isOk()) << result.status.reason();
  EXPECT_EQ(readPlain(dir / "LineStatus.dat"), "1,1,0,0");
  EXPECT_EQ(allEntries(dir.path()), std::vector<std::string>{"LineStatus.dat"});
}

TEST(PublishFile, NeverRefusesAnExistingNameAndKeepsIt) {
  // Whatever holds the name stays as it was, and no temporary remains.
  struct Case {
    const char* what;
    std::function<void(const TempDir&)> occupy;
    std::function<void(const TempDir&)> check;
  };
  const Case cases[] = {
      {"regular file",
       [](const TempDir& d) { writePlain(d / "x.dat", "first"); },
       [](const TempDir& d) { EXPECT_EQ(readPlain(d / "x.dat"), "first"); }},
      {"empty file", [](const TempDir& d) { writePlain(d / "x.dat", ""); },
       [](const TempDir& d) { EXPECT_EQ(readPlain(d / "x.dat"), ""); }},
      {"directory", [](const TempDir& d) { fs::create_directory(d / "x.dat"); },
       [](const TempDir& d) { EXPECT_TRUE(fs::is_directory(d / "x.dat")); }},
      {"dangling symbolic link",
       [](const TempDir& d) { fs::create_symlink(d / "nowhere", d / "x.dat"); },
       [](const TempDir& d) {
         EXPECT_TRUE(fs::is_symlink(d / "x.dat"));
         EXPECT_FALSE(fs::exists(d / "nowhere"));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    c.occupy(dir);
    const auto result = publishFile(dir / "x.dat", "second", Replace::never);
    EXPECT_FALSE(result.isOk());
    EXPECT_EQ(result.stage, PublishStage::commit);
    EXPECT_EQ(result.status.code(), errc::alreadyExists)
        << result.status.reason();
    c.check(dir);
    EXPECT_EQ(allEntries(dir.path()), std::vector<std::string>{"x.dat"});
  }
}

TEST(PublishFile, MissingDirectoryFailsAtTheOpen) {
  TempDir dir;
  const auto result = publishFile(dir / "gone/x.dat", "data", Replace::never);
  EXPECT_FALSE(result.isOk());
  EXPECT_EQ(result.stage, PublishStage::open);
  EXPECT_EQ(allEntries(dir.path()), std::vector<std::string>{});
}

TEST(MoveNoReplace, RefusesAnExistingNameAndKeepsBothFiles) {
  TempDir dir;
  fs::create_directory(dir / "tmp");
  fs::create_directory(dir / "snd");
  writePlain(dir / "tmp/20260102030405006000.dat", "new");
  writePlain(dir / "snd/20260102030405006000.dat", "old");
  const Status status = moveNoReplace(dir / "tmp/20260102030405006000.dat",
                                      dir / "snd/20260102030405006000.dat");
  EXPECT_FALSE(status.isOk());
  EXPECT_EQ(status.code(), errc::alreadyExists) << status.reason();
  EXPECT_EQ(readPlain(dir / "tmp/20260102030405006000.dat"), "new");
  EXPECT_EQ(readPlain(dir / "snd/20260102030405006000.dat"), "old");
  EXPECT_EQ(allEntries(dir / "tmp"),
            std::vector<std::string>{"20260102030405006000.dat"});
  EXPECT_EQ(allEntries(dir / "snd"),
            std::vector<std::string>{"20260102030405006000.dat"});
}

TEST(MoveNoReplace, MovesToAFreeName) {
  TempDir dir;
  fs::create_directory(dir / "tmp");
  fs::create_directory(dir / "snd");
  const std::string content = pattern(blockSize, 9);
  writePlain(dir / "tmp/a.dat", content);
  const Status status = moveNoReplace(dir / "tmp/a.dat", dir / "snd/a.dat");
  ASSERT_TRUE(status.isOk()) << status.reason();
  EXPECT_EQ(allEntries(dir / "tmp"), std::vector<std::string>{});
  EXPECT_EQ(readPlain(dir / "snd/a.dat"), content);
}

TEST(MoveNoReplace, MissingSourceFailsAndCreatesNothing) {
  TempDir dir;
  const Status status = moveNoReplace(dir / "none.dat", dir / "to.dat");
  EXPECT_FALSE(status.isOk());
  EXPECT_NE(status.code(), errc::alreadyExists);
  EXPECT_EQ(allEntries(dir.path()), std::vector<std::string>{});
}

TEST(ListDatFiles, GivesNameOrderAndOnlyVisibleDatNames) {
  TempDir dir;
  // Created in an order unlike the name order.
  const std::vector<std::string> created = {
      "20260102030405006002.dat",
      "nop.dat",
      ".LineStatus.dat.4242.tmp",  // a writer's temporary
      "20260102030405006000.dat",
      ".hidden.dat",
      "20251231235959999999.dat",
      "readme.txt",
      "x.dat.tmp",
      "x.datx",
      "dat",
      ".dat",
      "B.dat",
      "20260102030405006001_SND.dat",
      "a b.dat",
      "20260102030405006001.dat",
  };
  for (const auto& name : created) writePlain(dir / name, name);
  const std::vector<std::string> expected = {
      "20251231235959999999.dat",
      "20260102030405006000.dat",
      "20260102030405006001.dat",
      "20260102030405006001_SND.dat",
      "20260102030405006002.dat",
      "B.dat",
      "a b.dat",
      "nop.dat",
  };
  EXPECT_EQ(listDatFiles(dir.path()), expected);
  EXPECT_TRUE(hasDatFile(dir.path()));
}

TEST(ListDatFiles, DirectoryWithoutDatNamesOrMissingListsNothing) {
  TempDir dir;
  EXPECT_EQ(listDatFiles(dir.path()), std::vector<std::string>{});
  EXPECT_FALSE(hasDatFile(dir.path()));
  writePlain(dir / ".x.dat", "");
  writePlain(dir / "x.tmp", "");
  EXPECT_EQ(listDatFiles(dir.path()), std::vector<std::string>{});
  EXPECT_FALSE(hasDatFile(dir.path()));
  EXPECT_EQ(listDatFiles(dir / "missing"), std::vector<std::string>{});
  EXPECT_FALSE(hasDatFile(dir / "missing"));
}

const char* outcomeName(OpenOutcome outcome) {
  switch (outcome) {
    case OpenOutcome::opened:
      return "opened";
    case OpenOutcome::busy:
      return "busy";
    case OpenOutcome::missing:
      return "missing";
    case OpenOutcome::unusable:
      return "unusable";
  }
  return "?";
}

TEST(ReadSpoolFile, TellsTheOutcomesApart) {
  struct Case {
    const char* what;
    std::function<void(const TempDir&)> make;  // makes "x.dat"
    OpenOutcome expected;
    std::string content;
  };
  const Case cases[] = {
      {"regular file", [](const TempDir& d) { writePlain(d / "x.dat", "abc"); },
       OpenOutcome::opened, "abc"},
      {"empty file", [](const TempDir& d) { writePlain(d / "x.dat", ""); },
       OpenOutcome::opened, ""},
      {"missing", [](const TempDir&) {}, OpenOutcome::missing, ""},
      {"directory", [](const TempDir& d) { fs::create_directory(d / "x.dat"); },
       OpenOutcome::unusable, ""},
      // Opening a FIFO without a writer must neither block nor read.
      {"FIFO",
       [](const TempDir& d) {
         ASSERT_EQ(::mkfifo((d / "x.dat").c_str(), 0644), 0);
       },
       OpenOutcome::unusable, ""},
      {"symbolic link to a regular file",
       [](const TempDir& d) {
         writePlain(d / "target", "secret");
         fs::create_symlink(d / "target", d / "x.dat");
       },
       OpenOutcome::unusable, ""},
      {"dangling symbolic link",
       [](const TempDir& d) { fs::create_symlink(d / "nowhere", d / "x.dat"); },
       OpenOutcome::unusable, ""},
      {"symbolic link to a directory",
       [](const TempDir& d) {
         fs::create_directory(d / "sub");
         fs::create_symlink(d / "sub", d / "x.dat");
       },
       OpenOutcome::unusable, ""},
      {"socket",
       [](const TempDir& d) {
         const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
         ASSERT_GE(s, 0);
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         const std::string path = d / "x.dat";
         ASSERT_LT(path.size(), sizeof address.sun_path);
         std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
         ASSERT_EQ(
             ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address),
             0);
         ::close(s);
       },
       OpenOutcome::unusable, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    c.make(dir);
    for (const auto& read :
         {readSpoolFile(dir / "x.dat", blockSize), readWholeFile(dir / "x.dat"),
          readFileRange(dir / "x.dat", 0, blockSize)}) {
      EXPECT_STREQ(outcomeName(read.outcome), outcomeName(c.expected));
      EXPECT_EQ(read.status.isOk(), c.expected == OpenOutcome::opened)
          << read.status.reason();
      EXPECT_EQ(read.content, c.content);
      EXPECT_FALSE(read.readFailed);
    }
  }
}

TEST(ReadWholeFile, FollowsALinkOnlyWhenAskedTo) {
  TempDir dir;
  writePlain(dir / "target", "through the link");
  ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
  EXPECT_EQ(readWholeFile(dir / "link").outcome, OpenOutcome::unusable);
  const auto followed = readWholeFile(dir / "link", Links::follow);
  EXPECT_EQ(followed.outcome, OpenOutcome::opened);
  EXPECT_EQ(followed.content, "through the link");
}

TEST(ReadSpoolFile, FileUnderAnExclusiveLockIsBusyUntilReleased) {
  TempDir dir;
  writePlain(dir / "x.dat", "held");
  const int holder = ::open((dir / "x.dat").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);

  for (const auto& read :
       {readSpoolFile(dir / "x.dat", blockSize), readWholeFile(dir / "x.dat"),
        readFileRange(dir / "x.dat", 0, 10)}) {
    EXPECT_STREQ(outcomeName(read.outcome), "busy");
    EXPECT_FALSE(read.status.isOk());
    EXPECT_EQ(read.content, "");
  }

  // Readers share: a shared lock held elsewhere does not keep one out.
  ASSERT_EQ(::flock(holder, LOCK_SH), 0);
  const auto shared = readSpoolFile(dir / "x.dat", blockSize);
  EXPECT_STREQ(outcomeName(shared.outcome), "opened");
  EXPECT_EQ(shared.content, "held");

  ASSERT_EQ(::flock(holder, LOCK_UN), 0);
  ::close(holder);
  const auto released = readSpoolFile(dir / "x.dat", blockSize);
  EXPECT_STREQ(outcomeName(released.outcome), "opened");
  EXPECT_EQ(released.content, "held");
}

TEST(ReadSpoolFile, FileWithoutReadPermissionIsUnusable) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  TempDir dir;
  writePlain(dir / "x.dat", "private");
  ASSERT_EQ(::chmod((dir / "x.dat").c_str(), 0), 0);
  const auto read = readSpoolFile(dir / "x.dat", blockSize);
  EXPECT_STREQ(outcomeName(read.outcome), "unusable");
  EXPECT_FALSE(read.status.isOk());
}

TEST(ReadSpoolFile, ReadsAtMostMaxBytes) {
  TempDir dir;
  const std::string content = pattern(blockSize + 100, 3);
  writePlain(dir / "x.dat", content);
  const std::size_t limits[] = {0,
                                1,
                                100,
                                blockSize - 1,
                                blockSize,
                                blockSize + 99,
                                blockSize + 100,
                                blockSize + 101,
                                8 * blockSize,
                                std::size_t{1} << 40};
  for (const std::size_t limit : limits) {
    SCOPED_TRACE(limit);
    const auto read = readSpoolFile(dir / "x.dat", limit);
    ASSERT_EQ(read.outcome, OpenOutcome::opened);
    EXPECT_FALSE(read.readFailed);
    EXPECT_TRUE(read.content == content.substr(0, limit))
        << "read " << read.content.size() << " bytes";
  }
}

TEST(ReadWholeFile, ReadsFilesOfAnySizeWhole) {
  const std::size_t sizes[] = {
      0,       1, blockSize - 1, blockSize, blockSize + 1, 3 * blockSize + 17,
      1u << 20};
  for (const std::size_t size : sizes) {
    SCOPED_TRACE(size);
    TempDir dir;
    const std::string content = pattern(size, static_cast<unsigned>(size));
    writePlain(dir / "items.txt", content);
    const auto read = readWholeFile(dir / "items.txt");
    ASSERT_EQ(read.outcome, OpenOutcome::opened);
    EXPECT_FALSE(read.readFailed);
    EXPECT_EQ(read.content.size(), size);
    EXPECT_TRUE(read.content == content);
  }
}

TEST(ReadFileRange, ReadsFromTheOffsetAndFewerAtTheEnd) {
  TempDir dir;
  writePlain(dir / "x.dat", "0123456789");
  struct Case {
    std::uint64_t offset;
    std::size_t length;
    const char* expected;
  };
  const Case cases[] = {
      {0, 4, "0123"},
      {3, 4, "3456"},
      {0, 10, "0123456789"},
      {8, 4, "89"},
      {9, 1, "9"},
      {10, 4, ""},
      {11, 4, ""},
      {0, 0, ""},
      {5, 0, ""},
      {std::uint64_t{1} << 40, 4, ""},
      {3, blockSize, "3456789"},
      {3, std::size_t{1} << 40, "3456789"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
    const auto read = readFileRange(dir / "x.dat", c.offset, c.length);
    ASSERT_EQ(read.outcome, OpenOutcome::opened);
    EXPECT_FALSE(read.readFailed) << read.status.reason();
    EXPECT_EQ(read.content, c.expected);
  }
}

TEST(ReadFileRange, ReadsAcrossBlocksOfALargeFile) {
  TempDir dir;
  const std::string content = pattern(3 * blockSize, 5);
  writePlain(dir / "x.dat", content);
  const auto read = readFileRange(dir / "x.dat", blockSize - 10, blockSize);
  ASSERT_EQ(read.outcome, OpenOutcome::opened);
  EXPECT_TRUE(read.content == content.substr(blockSize - 10, blockSize));
}

TEST(MakeDirectory, CreatesOrAcceptsAnExistingDirectory) {
  TempDir dir;
  const std::string path = dir / "My snd";
  ASSERT_TRUE(makeDirectory(path).isOk());
  EXPECT_TRUE(fs::is_directory(path));
  writePlain(path + "/keep.dat", "kept");
  const Status again = makeDirectory(path);
  EXPECT_TRUE(again.isOk()) << again.reason();
  EXPECT_EQ(readPlain(path + "/keep.dat"), "kept");

  const Status orphan = makeDirectory(dir / "missing/snd");
  EXPECT_FALSE(orphan.isOk());
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(RemoveFile, RemovesAndReportsAMissingName) {
  TempDir dir;
  writePlain(dir / "x.dat", "x");
  EXPECT_TRUE(removeFile(dir / "x.dat").isOk());
  EXPECT_FALSE(fs::exists(dir / "x.dat"));
  EXPECT_FALSE(removeFile(dir / "x.dat").isOk());
}

TEST(RegularFileSize, OnlyForRegularFilesReachedWithoutLinks) {
  TempDir dir;
  writePlain(dir / "a.dat", "12345");
  writePlain(dir / "e.dat", "");
  fs::create_directory(dir / "d.dat");
  fs::create_symlink(dir / "a.dat", dir / "l.dat");
  EXPECT_EQ(regularFileSize(dir.path(), "a.dat"), 5u);
  EXPECT_EQ(regularFileSize(dir.path(), "e.dat"), 0u);
  EXPECT_EQ(regularFileSize(dir.path(), "d.dat"), std::nullopt);
  EXPECT_EQ(regularFileSize(dir.path(), "l.dat"), std::nullopt);
  EXPECT_EQ(regularFileSize(dir.path(), "none.dat"), std::nullopt);
}

// The broken-down local time of a clock_gettime reading, as a comparable
// tuple.
auto localFields(const timespec& t) {
  tm local{};
  localtime_r(&t.tv_sec, &local);
  return std::make_tuple(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                         local.tm_hour, local.tm_min, local.tm_sec,
                         static_cast<int>(t.tv_nsec / 1000000));
}

TEST(ReadWallClock, GivesSaneFieldsOfTheCurrentLocalTime) {
  timespec before{};
  timespec after{};
  clock_gettime(CLOCK_REALTIME, &before);
  const WallClock now = readWallClock();
  clock_gettime(CLOCK_REALTIME, &after);

  EXPECT_GE(now.year, 2000);
  EXPECT_LE(now.year, 9999);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_GE(now.day, 1);
  EXPECT_LE(now.day, 31);
  EXPECT_GE(now.hour, 0);
  EXPECT_LE(now.hour, 23);
  EXPECT_GE(now.minute, 0);
  EXPECT_LE(now.minute, 59);
  EXPECT_GE(now.second, 0);
  EXPECT_LE(now.second, 60);
  EXPECT_GE(now.millisecond, 0);
  EXPECT_LE(now.millisecond, 999);

  const auto reading = std::make_tuple(now.year, now.month, now.day, now.hour,
                                       now.minute, now.second, now.millisecond);
  EXPECT_LE(localFields(before), reading);
  EXPECT_LE(reading, localFields(after));
}

TEST(ReadWallClock, NamesOfSuccessiveReadingsAscend) {
  // With a stepping counter every name is greater than the one before.
  std::string previous;
  for (std::uint64_t counter = 0; counter < 1000; ++counter) {
    const std::string name = spoolFileName("/snd", counter);
    EXPECT_LT(previous, name) << "counter " << counter;
    previous = name;
  }

  // With one counter value, stamps never go back, also across the turn of a
  // second, where a reading of milliseconds apart from the seconds could.
  const std::string first = spoolStamp(readWallClock(), 0);
  std::string last = first;
  int secondTurns = 0;
  for (long i = 0; i < 50'000'000 && secondTurns < 2; ++i) {
    const std::string stamp = spoolStamp(readWallClock(), 0);
    ASSERT_LE(last, stamp) << "after " << i << " readings";
    if (stamp.compare(0, 14, last, 0, 14) != 0) ++secondTurns;
    last = stamp;
  }
  EXPECT_EQ(secondTurns, 2) << "the clock did not advance";
}

// Content that names itself: a fixed-size header of index, generation and
// size, then bytes that follow from the three. A reader can tell whether
// what it got is a whole file.
constexpr std::size_t headerSize = 32;

std::string selfDescribing(unsigned index, unsigned generation,
                           std::size_t size) {
  size = std::max(size, headerSize);
  char header[64];
  std::snprintf(header, sizeof header, "%08u %08u %013zu\n", index, generation,
                size);
  return std::string(header, headerSize) +
         pattern(size - headerSize, index * 1000 + generation);
}

// Empty when `content` is whole, else what is wrong with it.
std::string checkWhole(const std::string& content) {
  if (content.size() < headerSize) {
    return "short: " + std::to_string(content.size()) + " bytes";
  }
  unsigned index = 0;
  unsigned generation = 0;
  std::size_t size = 0;
  if (std::sscanf(content.c_str(), "%8u %8u %13zu", &index, &generation,
                  &size) != 3) {
    return "no header";
  }
  if (size != content.size()) {
    return "size " + std::to_string(content.size()) + " instead of " +
           std::to_string(size);
  }
  if (content != selfDescribing(index, generation, size)) return "corrupt";
  return {};
}

std::size_t sizeFor(unsigned index) {
  return headerSize + (index * 7919u) % (2 * blockSize);
}

TEST(ConcurrentPublish, ReaderNeverSeesAPartialFile) {
  TempDir dir;
  constexpr unsigned fileCount = 300;
  std::atomic<bool> readerStarted{false};
  std::atomic<bool> writerDone{false};
  std::vector<std::string> faults;
  std::size_t reads = 0;

  std::thread reader([&] {
    auto pass = [&] {
      for (const auto& name : listDatFiles(dir.path())) {
        const auto read = readSpoolFile(dir / name, 4 * blockSize);
        ++reads;
        // A rename replaces a name atomically: a listed name is never
        // missing, and nobody here holds a lock.
        if (read.outcome != OpenOutcome::opened || read.readFailed) {
          faults.push_back(name + ": " + outcomeName(read.outcome) + " " +
                           read.status.reason());
          continue;
        }
        if (auto fault = checkWhole(read.content); !fault.empty()) {
          faults.push_back(name + ": " + fault);
        }
      }
    };
    pass();
    readerStarted = true;
    while (!writerDone) pass();
    pass();
  });

  while (!readerStarted) std::this_thread::yield();
  std::vector<std::string> writeFaults;
  auto nameOf = [](unsigned index) {
    char name[32];
    std::snprintf(name, sizeof name, "%06u.dat", index);
    return std::string(name);
  };
  // New names first, then every third name again with new content.
  for (unsigned i = 0; i < fileCount; ++i) {
    const auto result = publishFile(
        dir / nameOf(i), selfDescribing(i, 0, sizeFor(i)), Replace::never);
    if (!result.isOk()) writeFaults.push_back(result.status.reason());
  }
  for (unsigned i = 0; i < fileCount; i += 3) {
    const auto result =
        publishFile(dir / nameOf(i), selfDescribing(i, 1, sizeFor(i + 1)),
                    Replace::allowed);
    if (!result.isOk()) writeFaults.push_back(result.status.reason());
  }
  writerDone = true;
  reader.join();

  EXPECT_EQ(writeFaults, std::vector<std::string>{});
  EXPECT_EQ(faults, std::vector<std::string>{});
  EXPECT_GE(reads, std::size_t{fileCount});
  const auto names = listDatFiles(dir.path());
  ASSERT_EQ(names.size(), fileCount);
  EXPECT_EQ(allEntries(dir.path()), names) << "a temporary was left";
  for (unsigned i = 0; i < fileCount; ++i) {
    EXPECT_TRUE(
        readPlain(dir / nameOf(i)) ==
        selfDescribing(i, i % 3 == 0 ? 1 : 0, sizeFor(i % 3 == 0 ? i + 1 : i)))
        << nameOf(i);
  }
}

TEST(ConcurrentPublish, TwoThreadsPublishingOneNameEachPublishWhole) {
  // Two writers of one process replace the same name over and over; every
  // publication succeeds and the name always holds one writer's whole file.
  TempDir dir;
  const std::string path = dir / "LineStatus.dat";
  constexpr int rounds = 200;
  std::atomic<int> running{2};
  std::vector<std::string> faults[2];
  auto writer = [&](int which) {
    for (int round = 0; round < rounds; ++round) {
      const auto result = publishFile(
          path,
          selfDescribing(
              static_cast<unsigned>(which), static_cast<unsigned>(round),
              blockSize + static_cast<std::size_t>(which * 1000 + round)),
          Replace::allowed);
      if (!result.isOk()) {
        faults[which].push_back("publish: " + result.status.reason());
      }
    }
    --running;
  };
  std::thread first(writer, 0);
  std::thread second(writer, 1);
  std::vector<std::string> readFaults;
  while (running > 0) {
    const auto read = readSpoolFile(path, 4 * blockSize);
    if (read.outcome == OpenOutcome::missing) continue;  // not yet written
    if (auto fault = checkWhole(read.content); !fault.empty()) {
      readFaults.push_back(fault);
    }
  }
  first.join();
  second.join();
  EXPECT_EQ(faults[0], std::vector<std::string>{});
  EXPECT_EQ(faults[1], std::vector<std::string>{});
  EXPECT_EQ(readFaults, std::vector<std::string>{});
  EXPECT_EQ(checkWhole(readPlain(path)), "");
  EXPECT_EQ(allEntries(dir.path()), std::vector<std::string>{"LineStatus.dat"});
}

}  // namespace
}  // namespace lorvane::platform
