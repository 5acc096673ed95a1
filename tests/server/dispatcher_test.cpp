// The dispatcher, the port channel and the writers over a fake port.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "spool/layout.h"
#include "tests/server/server_fixture.h"
#include "tests/support/harness.h"

namespace lorvane::test {
namespace {

using platform::ControlLine;
using platform::Status;

class Dispatcher : public ServerFixture {};

TEST_F(Dispatcher, OpenConfiguresThePortAndPublishesTheLineState) {
  driver.setModem(platform::modemCts | platform::modemDsr);
  open("COM3", "19200,7,2,2,1");
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(driver.openedNames(), std::vector<std::string>{"COM3"});
  const auto s = driver.lastSettings();
  EXPECT_EQ(s.baudRate, 19200);
  EXPECT_EQ(s.byteSize, 7);
  EXPECT_EQ(s.stopBits, 2);
  EXPECT_EQ(s.parity, 2);
  EXPECT_EQ(s.xonXoffOut, 1);
  EXPECT_EQ(s.xonXoffIn, 1);
  EXPECT_EQ(s.errorChar, '?');
  EXPECT_EQ(lineStatus(), "1,1,0,0");
  EXPECT_EQ(tray.tip(), "COM3 - コマンドライン通信(RS232C)");
  EXPECT_TRUE(window->channel().running);
}

TEST_F(Dispatcher, ModemStatusBitsMapToTheRecord) {
  struct Case {
    unsigned word;
    const char* record;
  };
  const Case cases[] = {{0x00, "0,0,0,0"}, {0x10, "1,0,0,0"}, {0x20, "0,1,0,0"},
                        {0x40, "0,0,1,0"}, {0x80, "0,0,0,1"}, {0xF0, "1,1,1,1"},
                        {0x0F, "0,0,0,0"}};
  for (const auto& c : cases) {
    driver.setModem(c.word);
    open();
    EXPECT_EQ(lineStatus(), c.record) << c.word;
  }
  driver.reportsLines = false;
  open();
  EXPECT_EQ(lineStatus(), "0,0,0,0");
}

TEST_F(Dispatcher, LineCommandsReachThePortOnlyWhileOpen) {
  drop("1.dat", "@LOG_ST@@@");
  drop("2.dat", "@SETRTS@@@");
  pass();
  EXPECT_TRUE(driver.controlLines().empty());
  open();
  drop("3.dat", "@SETRTS@@@");
  drop("4.dat", "@CLRRTS@@@");
  drop("5.dat", "@SETDTR@@@");
  drop("6.dat", "@CLRDTR@@@trailing bytes");
  pass();
  EXPECT_EQ(
      driver.controlLines(),
      (std::vector<ControlLine>{ControlLine::setRts, ControlLine::clearRts,
                                ControlLine::setDtr, ControlLine::clearDtr}));
  EXPECT_EQ(static_cast<int>(ControlLine::setRts), 3);
  EXPECT_EQ(static_cast<int>(ControlLine::clearDtr), 6);
  // Every line command is logged, also the one while the port was closed.
  int sst = 0;
  for (const auto& name : files("log"))
    sst += name.find("_SST") != std::string::npos;
  EXPECT_EQ(sst, 5);
  EXPECT_TRUE(reports.empty());
}

TEST_F(Dispatcher, RefusedConfigurationIsReportedAndLeavesThePortClosed) {
  driver.configureResult = Status::fromCode(EINVAL);
  open();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0],
            "ポートオープンエラー:RS232C SetCommState Error(Invalid argument)");
  EXPECT_FALSE(window->channel().running);
  EXPECT_EQ(driver.portsAlive(), 0);
  EXPECT_EQ(tray.tip(), "コマンドライン通信(RS232C)");
  EXPECT_FALSE(exists(dir("sts") + "/LineStatus.dat"));
  EXPECT_TRUE(window->channel().errorText.empty());
}

TEST_F(Dispatcher, FailedOpenAfterAnOpenPortLeavesNothingOpen) {
  open();
  ASSERT_EQ(driver.portsAlive(), 1);
  driver.onOpen = [](const std::string&) { return Status::fromCode(ENOENT); };
  open("COM9");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(
      reports[0],
      "ポートオープンエラー:RS232C Open Error(No such file or directory)");
  EXPECT_EQ(driver.portsAlive(), 0);
  EXPECT_EQ(PortChannel::liveReaders(), 0);
  // Data is now dropped without a word.
  drop("9.dat", "lost");
  pass();
  EXPECT_EQ(driver.written(), "");
  EXPECT_EQ(reports.size(), 1u);
}

TEST_F(Dispatcher, TooLongPortNameIsRefusedNotCut) {
  open(std::string(64, 'x'));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(
      reports[0],
      "ポートオープンエラー:RS232C Open Error(port name longer than 63 bytes)");
  EXPECT_TRUE(driver.openedNames().empty());
  open(std::string(63, 'y'));
  EXPECT_EQ(driver.openedNames(),
            std::vector<std::string>{std::string(63, 'y')});
}

TEST_F(Dispatcher, OpenGuardRefusesASecondOpenOfTheSameChannel) {
  bool inner = true;
  driver.onOpen = [&](const std::string&) {
    window->channel().errorText = "untouched";
    inner = window->channel().openPort();
    return Status::ok();
  };
  open();
  EXPECT_FALSE(inner);
  EXPECT_TRUE(window->channel().running);
  EXPECT_EQ(driver.opens(), 1);
}

TEST_F(Dispatcher, DataGoesOutInOrderAndIsLoggedBeforeItIsSent) {
  open();
  drop("a.dat", "@LOG_ST@@@");
  drop("b.dat", std::string("one\r\n\0\xff", 7));
  drop("c.dat", "two");
  drop("d.dat", "");
  drop("e.dat", "@LOG_ED@@@");
  drop("f.dat", "three");
  pass();
  EXPECT_EQ(driver.written(), std::string("one\r\n\0\xfftwothree", 15));
  const auto logs = files("log");
  ASSERT_EQ(logs.size(), 3u);  // the log commands themselves are never logged
  EXPECT_EQ(readFile(dir("log") + "/" + logs[0]),
            std::string("one\r\n\0\xff", 7));
  EXPECT_EQ(readFile(dir("log") + "/" + logs[2]), "");
  EXPECT_EQ(counterField(logs[0]), 1);
  EXPECT_NE(logs[0].find("_SND.dat"), std::string::npos);
  EXPECT_TRUE(files("snd").empty());
}

TEST_F(Dispatcher, ACommandLoggedBeforeItTakesEffect) {
  drop("1.dat", "@LOG_ST@@@");
  drop("2.dat", "@OPEN@@@@@,COM1,9600,8,0,0,0");
  drop("3.dat", "@CLOSE@@@@");
  drop("4.dat", "never handled");
  pass();
  const auto logs = files("log");
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_NE(logs[0].find("_SOP"), std::string::npos);
  EXPECT_EQ(readFile(dir("log") + "/" + logs[0]),
            "@OPEN@@@@@,COM1,9600,8,0,0,0");
  EXPECT_NE(logs[1].find("_SCL"), std::string::npos);
  EXPECT_TRUE(window->ended());
  EXPECT_FALSE(tray.shown());
  EXPECT_EQ(files("snd"), std::vector<std::string>{"4.dat"});
  EXPECT_EQ(driver.portsAlive(), 0);
}

TEST_F(Dispatcher, WriteTheDeviceHoldsUpReturnsAfterTheBoundAndKeepsTheRest) {
  open();
  driver.limitWrites(3);
  const auto started = platform::monotonicMillis();
  window->sendData("abcdef");
  const auto took = platform::monotonicMillis() - started;
  EXPECT_GE(took, 900);
  EXPECT_LT(took, 5000);
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(driver.written(), "abc");
  EXPECT_EQ(window->channel().queuedOutput(), 3u);
  // Later data queues behind; nothing is dropped or reordered.
  driver.limitWrites(0);
  window->sendData("gh");
  driver.limitWrites(std::nullopt);
  pass();
  EXPECT_EQ(driver.written(), "abcdefgh");
  EXPECT_EQ(window->channel().queuedOutput(), 0u);
}

TEST_F(Dispatcher, WriteFailureIsReportedAndThePortStaysOpen) {
  open();
  driver.failWrites(Status::fromCode(EIO));
  drop("1.dat", "x");
  pass();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0],
            "データ送信エラー:RS232C Write Error(Input/output error)");
  EXPECT_TRUE(window->channel().running);
  driver.failWrites(Status::ok());
  drop("2.dat", "y");
  pass();
  EXPECT_EQ(driver.written(), "y");
}

TEST_F(Dispatcher, TrayStepsOncePerEntryAndTipFollowsThePort) {
  EXPECT_EQ(tray.frame(), 0);
  EXPECT_EQ(tray.tip(), "コマンドライン通信(RS232C)");
  drop("1.dat", "@NOP@@@@@@");
  pass();
  EXPECT_EQ(tray.frame() % 2, 1);
  drop("2.dat", "@NOP@@@@@@");
  drop("3.dat", "@NOP@@@@@");  // nine bytes: data, dropped while closed
  pass();
  EXPECT_EQ(tray.frame(), 3);
}

TEST_F(Dispatcher, MenuCommands) {
  window->onMenuCommand(menuAboutCommand);
  EXPECT_EQ(informs, std::vector<std::string>{"Lorvane Version 1.0.0.0"});
  EXPECT_FALSE(window->ended());
  window->onMenuCommand(menuExitCommand);
  EXPECT_TRUE(window->ended());
}

// Writers ------------------------------------------------------------------

TEST_F(Dispatcher, WriterCountersStartAtOneAndWrapAtAThousand) {
  for (int i = 0; i < 1000; ++i) window->writeRcvFile("x");
  const auto names = files("rcv");
  ASSERT_EQ(names.size(), 1000u);
  int zeros = 0;
  int ones = 0;
  for (const auto& name : names) {
    zeros += counterField(name) == 0;
    ones += counterField(name) == 1;
  }
  EXPECT_EQ(zeros, 1);
  EXPECT_EQ(ones, 1);
  // The log counter does not move while the log is off.
  window->writeLog("a", logSuffixSend);
  EXPECT_TRUE(files("log").empty());
  drop("1.dat", "@LOG_ST@@@");
  pass();
  window->writeLog("b", logSuffixReceive);
  ASSERT_EQ(files("log").size(), 1u);
  EXPECT_EQ(counterField(files("log")[0]), 1);
}

TEST_F(Dispatcher, WriterFailuresAreReportedWithTheSystemsReason) {
  using platform::PublishResult;
  using platform::PublishStage;
  PublishStage failAt = PublishStage::open;
  makeServer([&](const std::string&, std::string_view, platform::Replace) {
    return PublishResult{
        Status::fromCode(failAt == PublishStage::open ? EACCES : ENOSPC),
        failAt};
  });
  window->writeRcvFile("x");
  failAt = PublishStage::write;
  window->writeLineStatus("1,1,0,0");
  failAt = PublishStage::commit;
  window->writeRcvFile("y");
  EXPECT_EQ(reports, (std::vector<std::string>{
                         "ファイルオープンエラー:Permission denied",
                         "ファイル書き込みエラー:No space left on device",
                         "ファイル書き込みエラー:No space left on device"}));
}

TEST_F(Dispatcher, ATakenNameMovesToTheNextCounterInsteadOfOverwriting) {
  int calls = 0;
  makeServer([&](const std::string& path, std::string_view content,
                 platform::Replace r) {
    if (++calls == 1) {
      return platform::PublishResult{Status::fromCode(EEXIST),
                                     platform::PublishStage::commit};
    }
    return platform::publishFile(path, content, r);
  });
  window->writeRcvFile("kept");
  EXPECT_TRUE(reports.empty());
  ASSERT_EQ(files("rcv").size(), 1u);
  EXPECT_EQ(counterField(files("rcv")[0]), 2);
}

TEST_F(Dispatcher, AFileStillHeldByItsWriterEndsThePass) {
  open();
  drop("1.dat", "first");
  drop("2.dat", "held");
  drop("3.dat", "third");
  {
    auto holder = holdExclusively(dir("snd") + "/2.dat");
    pass();
    EXPECT_EQ(driver.written(), "first");
    EXPECT_EQ(files("snd"), (std::vector<std::string>{"2.dat", "3.dat"}));
  }
  pass();
  EXPECT_EQ(driver.written(), "firstheldthird");
  EXPECT_TRUE(reports.empty());
}

TEST_F(Dispatcher, WatchedTicksRetryHeldFilesAtOnceAndOtherwiseOnceASecond) {
  window->setSpoolWatched(true);
  open();
  EXPECT_EQ(window->tickMillis(), 1000);
  drop("1.dat", "held");
  {
    auto holder = holdExclusively(dir("snd") + "/1.dat");
    pass();  // the pass a directory event starts meets the held file
  }
  EXPECT_EQ(window->tickMillis(), 10);
  window->onTick();  // the pass stopped at a held file: the next tick retries
  EXPECT_EQ(driver.written(), "held");
  EXPECT_EQ(window->tickMillis(), 1000);
  // A file the watch did not announce waits for the safety pass.
  drop("2.dat", "unannounced");
  window->onTick();
  EXPECT_EQ(driver.written(), "held");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  window->onTick();
  EXPECT_EQ(driver.written(), "heldunannounced");
  // Output the port has not taken yet keeps the short tick.
  driver.limitWrites(0);
  window->sendData("later");
  EXPECT_EQ(window->tickMillis(), 10);
  driver.limitWrites(std::nullopt);
  window->onTick();
  EXPECT_EQ(driver.written(), "heldunannouncedlater");
  EXPECT_EQ(window->tickMillis(), 1000);
  // A name that appeared without a completed write is looked for at every
  // short tick for a while.
  window->expectArrivals();
  EXPECT_EQ(window->tickMillis(), 10);
  drop("2b.dat", "+");
  window->onTick();
  EXPECT_EQ(driver.written(), "heldunannouncedlater+");
  // Without a watch every tick is a pass.
  window->setSpoolWatched(false);
  EXPECT_EQ(window->tickMillis(), 10);
  drop("3.dat", "!");
  window->onTick();
  EXPECT_EQ(driver.written(), "heldunannouncedlater+!");
}

}  // namespace
}  // namespace lorvane::test
