// The reader thread and the handling of its notices over a fake port:
// blocks, line changes, failures, reconnection and the one-reader rule.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "platform/parity_marks.h"
#include "spool/layout.h"
#include "tests/server/server_fixture.h"
#include "tests/support/harness.h"

namespace lorvane::test {
namespace {

using namespace std::chrono_literals;
using platform::Status;

class Reception : public ServerFixture {
 protected:
  std::string received() { return concatDat(dir("rcv")); }
};

TEST_F(Reception, ABurstBecomesOneFileAfterTheSilence) {
  open();
  driver.feed(std::string("abc\r\n\0\xff", 7));
  ASSERT_TRUE(pumpUntil([&] { return files("rcv").size() == 1; }));
  EXPECT_EQ(received(), std::string("abc\r\n\0\xff", 7));
  EXPECT_EQ(counterField(files("rcv")[0]), 1);
  std::this_thread::sleep_for(150ms);
  window->onNotices();
  EXPECT_EQ(files("rcv").size(), 1u);
  EXPECT_TRUE(reports.empty());
}

TEST_F(Reception, ReceivedBlocksAreLoggedBeforeTheyAreStored) {
  drop("1.dat", "@LOG_ST@@@");
  pass();
  open();
  driver.feed("12345");
  ASSERT_TRUE(pumpUntil([&] { return files("rcv").size() == 1; }));
  const auto logs = files("log");
  ASSERT_EQ(logs.size(), 2u);  // _SOP, then _RCV
  EXPECT_NE(logs[1].find("_RCV"), std::string::npos);
  EXPECT_EQ(readFile(dir("log") + "/" + logs[1]), "12345");
  // One clock: the log copy, written first, cannot carry a later stamp.
  EXPECT_LE(logs[1].substr(0, 17), files("rcv")[0].substr(0, 17));
}

TEST_F(Reception, ALongStreamIsCutIntoFullBlocksWithNothingLostOrDoubled) {
  open();
  const std::string data = randomBytes(3 * blockSize + 777, 7);
  driver.feed(data);
  ASSERT_TRUE(pumpUntil([&] { return received().size() == data.size(); }, 20s));
  const auto names = files("rcv");
  ASSERT_EQ(names.size(), 4u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(readFile(dir("rcv") + "/" + names[i]).size(), blockSize);
  }
  EXPECT_EQ(received(), data);
}

TEST_F(Reception, ALineChangeAloneRewritesTheStatusAndIsLogged) {
  drop("1.dat", "@LOG_ST@@@");
  pass();
  open();
  ASSERT_EQ(lineStatus(), "0,0,0,0");
  driver.setModem(platform::modemCts | platform::modemDsr);
  ASSERT_TRUE(pumpUntil([&] { return lineStatus() == "1,1,0,0"; }));
  const auto logs = files("log");
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_NE(logs[1].find("_RST"), std::string::npos);
  EXPECT_EQ(readFile(dir("log") + "/" + logs[1]), "1,1,0,0");
  EXPECT_TRUE(files("rcv").empty());
}

TEST_F(Reception, ALineChangeSeenWithDataComesBeforeTheBlock) {
  drop("1.dat", "@LOG_ST@@@");
  pass();
  open();
  driver.setModem(platform::modemRlsd);
  driver.feed("data");
  ASSERT_TRUE(pumpUntil([&] { return files("rcv").size() == 1; }));
  const auto logs = files("log");
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_NE(logs[1].find("_RST"), std::string::npos);
  EXPECT_NE(logs[2].find("_RCV"), std::string::npos);
  EXPECT_EQ(lineStatus(), "0,0,0,1");
}

TEST_F(Reception,
       AReadFailureMidBlockDeliversTheGatheredBytesOnceAfterTheReopen) {
  open();
  driver.failNextRead(Status::fromCode(EIO));
  driver.feed("gathered");
  ASSERT_TRUE(pumpUntil([&] { return !files("rcv").empty(); }));
  EXPECT_EQ(received(), "gathered");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0],
            "データ受信エラー:RS232C ReadFile Error(Input/output error)");
  EXPECT_EQ(driver.opens(), 2);
  // The port works again, with one reader.
  driver.feed("after");
  ASSERT_TRUE(pumpUntil([&] { return received() == "gatheredafter"; }));
  EXPECT_EQ(PortChannel::liveReaders(), 1);
  drop("2.dat", "out");
  pass();
  EXPECT_EQ(driver.written(), "out");
}

TEST_F(Reception, AFailedReopenIsReportedOncePerAttemptUntilTheDeviceIsBack) {
  open();
  std::atomic<int> attempts{0};
  driver.onOpen = [&](const std::string&) {
    return ++attempts <= 2 ? Status::fromCode(ENOENT) : Status::ok();
  };
  driver.failNextRead(Status::fromCode(EIO), false);
  ASSERT_TRUE(pumpUntil(
      [&] { return window->channel().running && attempts >= 3; }, 10s));
  EXPECT_EQ(
      reports,
      (std::vector<std::string>{
          "データ受信エラー:RS232C ReadFile Error(Input/output error)",
          "データ受信エラー:RS232C Open Error(No such file or directory)",
          "データ受信エラー:RS232C Open Error(No such file or directory)"}));
  driver.feed("back");
  ASSERT_TRUE(pumpUntil([&] { return received() == "back"; }));
}

TEST_F(Reception, CloseDuringReconnectionEndsTheReaderWithoutFurtherReports) {
  open();
  driver.onOpen = [](const std::string&) { return Status::fromCode(ENOENT); };
  driver.failNextRead(Status::fromCode(EIO), false);
  ASSERT_TRUE(pumpUntil([&] { return reports.size() >= 2; }));
  drop("1.dat", "@CLOSE@@@@");
  pass();
  EXPECT_TRUE(window->ended());
  EXPECT_EQ(PortChannel::liveReaders(), 0);
}

TEST_F(Reception, NoticesHandledAfterTheCloseWriteNothing) {
  open();
  driver.feed("late");
  // Let the reader post its block, but close before handling it.
  ASSERT_TRUE(
      waitUntil([&] { return window->channel().handOver.pending() > 0; }, 5s));
  window->channel().closePort();
  window->onNotices();
  EXPECT_TRUE(files("rcv").empty());
  EXPECT_EQ(tray.frame() % 2, 0);  // the open step and the notice step
}

TEST_F(Reception, ReopeningAnOpenPortNeverRunsTwoReaders) {
  open();
  std::atomic<bool> done{false};
  std::atomic<int> mostAlive{0};
  std::thread watcher([&] {
    while (!done) {
      const int alive = PortChannel::liveReaders();
      if (alive > mostAlive) mostAlive = alive;
    }
  });
  for (int i = 0; i < 20; ++i) {
    driver.feed("x");
    open();
    window->onNotices();
  }
  done = true;
  watcher.join();
  EXPECT_LE(mostAlive.load(), 1);
  EXPECT_EQ(driver.maxConcurrentReaders(), 1);
  EXPECT_EQ(PortChannel::liveReaders(), 1);
  EXPECT_EQ(driver.portsAlive(), 1);
}

TEST_F(Reception, OpenCloseAndReopenWhileDataStreams) {
  std::atomic<bool> done{false};
  std::thread device([&] {
    while (!done) {
      driver.feed("0123456789");
      std::this_thread::sleep_for(200us);
    }
  });
  for (int i = 0; i < 30; ++i) {
    open();
    pumpUntil([&] { return false; }, std::chrono::milliseconds(i % 7));
    if (i % 3 == 0) window->channel().closePort();
  }
  done = true;
  device.join();
  window->channel().closePort();
  window->onNotices();
  EXPECT_EQ(driver.maxConcurrentReaders(), 1);
  EXPECT_EQ(PortChannel::liveReaders(), 0);
  EXPECT_EQ(driver.portsAlive(), 0);
  // Whatever was stored is made of whole pieces of the stream, in order.
  const std::string all = received();
  for (std::size_t i = 1; i < all.size(); ++i) {
    if (all[i] != '0') {
      ASSERT_EQ(all[i], all[i - 1] + 1) << i;
    }
  }
}

TEST(ParityMarks, MarkedBytesBecomeTheErrorCharacterAcrossReads) {
  struct Case {
    std::vector<std::string> reads;
    std::string expected;
  };
  const Case cases[] = {
      {{"ab"}, "ab"},
      {{std::string("a\xff\0xb", 5)}, "a?b"},
      {{std::string("\xff\xff", 2)}, "\xff"},
      {{"\xff", std::string("\0", 1), "x", "y"}, "?y"},
      {{"\xff", "\xff", "z"}, "\xffz"},
      {{std::string("\xff\0\0", 3)}, "?"},  // a break
  };
  for (const auto& c : cases) {
    platform::ParityMarkDecoder decoder;
    std::string out;
    for (auto chunk : c.reads) {
      const auto n = decoder.decode(chunk.data(), chunk.size(), '?');
      ASSERT_LE(n, chunk.size());
      out.append(chunk.data(), n);
    }
    EXPECT_EQ(out, c.expected);
  }
}

}  // namespace
}  // namespace lorvane::test
