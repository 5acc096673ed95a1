// Names of spool and log files, the install directory and the server title.
#include "spool/layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace lorvane {
namespace {

using platform::WallClock;

constexpr WallClock someTime{2026, 1, 2, 3, 4, 5, 6};

struct StampCase {
  WallClock clock;
  std::uint64_t counter;
  const char* expected;
};

TEST(SpoolStamp, FieldsAreZeroPaddedToTwentyDigits) {
  const StampCase cases[] = {
      {someTime, 0, "20260102030405006000"},
      {someTime, 1, "20260102030405006001"},
      {someTime, 7, "20260102030405006007"},
      {someTime, 999, "20260102030405006999"},
      // The counter field wraps at 1000: the 1001st name has 000 again.
      {someTime, 1000, "20260102030405006000"},
      {someTime, 1001, "20260102030405006001"},
      {someTime, std::numeric_limits<std::uint64_t>::max(),
       "20260102030405006615"},
      {{2026, 12, 31, 23, 59, 59, 999}, 42, "20261231235959999042"},
      {{999, 1, 1, 0, 0, 0, 0}, 0, "09990101000000000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    const std::string stamp = spoolStamp(c.clock, c.counter);
    EXPECT_EQ(stamp, c.expected);
    EXPECT_EQ(stamp.size(), 20u);
  }
}

TEST(SpoolStamp, LaterTimeSortsLaterForTheSameCounter) {
  // The stamp is compared as a string by the readers; every field carries
  // more weight than the one after it.
  const WallClock earlier[] = {
      {2026, 1, 2, 3, 4, 5, 6},  {2026, 1, 2, 3, 4, 5, 999},
      {2026, 1, 2, 3, 4, 59, 0}, {2026, 1, 2, 3, 59, 0, 0},
      {2026, 1, 2, 23, 0, 0, 0}, {2026, 1, 31, 0, 0, 0, 0},
      {2026, 12, 1, 0, 0, 0, 0}, {2027, 1, 1, 0, 0, 0, 0},
  };
  for (std::size_t i = 1; i < std::size(earlier); ++i) {
    EXPECT_LT(spoolStamp(earlier[i - 1], 999), spoolStamp(earlier[i], 0))
        << "row " << i;
  }
}

bool allDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

TEST(SpoolFileName, IsDirectoryStampSuffixDat) {
  struct Case {
    const char* directory;
    std::uint64_t counter;
    const char* suffix;
    const char* counterDigits;
  };
  const Case cases[] = {
      {"/opt/My Tools/snd", 0, "", "000"}, {"/opt/My Tools/rcv", 1, "", "001"},
      {"/x/log", 1, "_SND", "001"},        {"/x/log", 1000, "_RCV", "000"},
      {"/x/log", 1999, "_RST", "999"},     {"", 5, "", "005"},
  };
  for (const auto& c : cases) {
    const std::string name = spoolFileName(c.directory, c.counter, c.suffix);
    SCOPED_TRACE(name);
    const std::string head = std::string(c.directory) + "/";
    const std::string tail = std::string(c.counterDigits) + c.suffix + ".dat";
    ASSERT_EQ(name.size(), head.size() + 17 + tail.size());
    EXPECT_EQ(name.substr(0, head.size()), head);
    EXPECT_TRUE(allDigits(std::string_view(name).substr(head.size(), 17)));
    EXPECT_EQ(name.substr(head.size() + 17), tail);
  }
}

TEST(SpoolFileName, StampIsTheClockAtTheCall) {
  // With one counter value, the stamp of the name lies between the stamps
  // of readings taken just before and just after.
  const std::string before = spoolStamp(platform::readWallClock(), 3);
  const std::string name = spoolFileName("/d", 3);
  const std::string after = spoolStamp(platform::readWallClock(), 3);
  ASSERT_EQ(name.size(), 3u + 20u + 4u);
  const std::string stamp = name.substr(3, 20);
  EXPECT_LE(before, stamp);
  EXPECT_LE(stamp, after);
}

TEST(DirectoryOf, CutsTheLastComponentAndTheSlash) {
  struct Case {
    const char* path;
    const char* expected;
  };
  const Case cases[] = {
      {"/usr/local/bin/Lorvane", "/usr/local/bin"},
      {"/opt/My Tools/Lorvane", "/opt/My Tools"},  // blanks stay
      {"/opt/ My  Tools /portsend", "/opt/ My  Tools "},
      {"/Lorvane", ""},  // at the root: spool paths become "/snd"...
      {"/a/b.c/portrecv", "/a/b.c"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(directoryOf(c.path), c.expected);
  }
}

TEST(JoinPath, RootInstallGivesTopLevelDirectories) {
  EXPECT_EQ(joinPath(directoryOf("/Lorvane"), sndDirName), "/snd");
  EXPECT_EQ(joinPath("/opt/My Tools", rcvDirName), "/opt/My Tools/rcv");
  EXPECT_EQ(joinPath("/opt/My Tools/sts", lineStatusFileName),
            "/opt/My Tools/sts/LineStatus.dat");
}

TEST(ServerTitle, ReplacesBlanksAndNothingElse) {
  struct Case {
    const char* installDir;
    const char* expected;
  };
  const Case cases[] = {
      {"/opt/My Tools", "/opt/My_Tools/Lorvane"},
      {"/usr/local/bin", "/usr/local/bin/Lorvane"},
      {"", "/Lorvane"},
      {" a  b ", "_a__b_/Lorvane"},
      // Tabs, line ends and other bytes are no blanks.
      {"/a\tb/c\nd", "/a\tb/c\nd/Lorvane"},
      {"/データ 置き場", "/データ_置き場/Lorvane"},
      {"/a_b", "/a_b/Lorvane"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.installDir);
    EXPECT_EQ(serverTitle(c.installDir), c.expected);
  }
}

TEST(ServerTitle, DiffersFromTheServerPathOnlyInTheUnderscores) {
  const std::string install = "/tmp/lorvane test dir";
  const std::string path = joinPath(install, serverProgramName);
  const std::string title = serverTitle(install);
  ASSERT_EQ(title.size(), path.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    EXPECT_EQ(title[i], path[i] == ' ' ? '_' : path[i]) << "at " << i;
  }
}

TEST(CounterField, ReadsTheLastThreeStampDigits) {
  struct Case {
    const char* name;
    std::optional<int> expected;
  };
  const Case cases[] = {
      {"20260102030405006007.dat", 7},
      {"/opt/My Tools/rcv/20260102030405006001.dat", 1},
      {"/x/log/20260102030405006999_SND.dat", 999},
      {"20260102030405006000_RST.dat", 0},
      {"nop.dat", std::nullopt},
      {"LineStatus.dat", std::nullopt},
      {"2026010203040500600.dat", std::nullopt},  // nineteen digits
      {"2026010203040500600x.dat", std::nullopt},
      {"/20260102030405006007/nop.dat", std::nullopt},
      {"20260102030405006007.tmp", std::nullopt},
      {"20260102030405006007", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(counterField(c.name), c.expected);
  }
}

TEST(CounterField, RoundTripsSpoolFileName) {
  for (const std::uint64_t counter :
       {0u, 1u, 2u, 998u, 999u, 1000u, 1001u, 123456u}) {
    for (const char* suffix : {"", "_SND", "_SOP", "_RCV"}) {
      const std::string name =
          spoolFileName("/opt/My Tools/log", counter, suffix);
      EXPECT_EQ(counterField(name), static_cast<int>(counter % 1000)) << name;
    }
  }
}

}  // namespace
}  // namespace lorvane
