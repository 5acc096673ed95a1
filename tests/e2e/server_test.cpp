// The real Lorvane against a real pseudo-terminal: start-up, commands, data,
// reports and the end of the server.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/registry.h"
#include "tests/e2e/server_fixture.h"

namespace lorvane::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class Server : public RealServer {};

TEST_F(Server, WithoutATitleItEndsAtOnceTouchingNothing) {
  const auto result = run(install->program("Lorvane"), {});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "");
  for (const char* name : {"snd", "rcv", "sts", "log"}) {
    EXPECT_FALSE(exists(install->path(name))) << name;
  }
}

TEST_F(Server, StartUpEmptiesSndAndRcvAndKeepsLogAndTmp) {
  for (const char* name : {"snd", "rcv", "sts", "log", "tmp"}) {
    fs::create_directories(install->path(name));
  }
  writeFile(install->path("snd/00000000000000000001.dat"), "@CLOSE@@@@");
  writeFile(install->path("rcv/20260101000000000001.dat"), "old");
  writeFile(install->path("rcv/keep.txt"), "not a spool file");
  writeFile(install->path("sts/LineStatus.dat"), "1,1,1,1");
  writeFile(install->path("log/20260101000000000001_SND.dat"), "old log");
  writeFile(install->path("tmp/20260101000000000001.dat"), "staged");
  startServer();
  EXPECT_TRUE(listDat(install->path("snd")).empty());
  EXPECT_TRUE(listDat(install->path("rcv")).empty());
  EXPECT_TRUE(exists(install->path("rcv/keep.txt")));
  EXPECT_FALSE(exists(install->path("sts/LineStatus.dat")));
  EXPECT_TRUE(exists(install->path("log/20260101000000000001_SND.dat")));
  EXPECT_TRUE(exists(install->path("tmp/20260101000000000001.dat")));
  // The leftover "@CLOSE@@@@" was deleted, not carried out.
  EXPECT_FALSE(server->wait(200ms));
}

TEST_F(Server, OpenPublishesTheLineStateAndDataArrivesByteForByte) {
  startServer();
  openPort();
  EXPECT_EQ(readFile(install->path("sts/LineStatus.dat")), "0,0,0,0");
  const std::string data("a\r\nb\n\r\0\xff\x11\x13z", 11);
  drop(data);
  EXPECT_EQ(device->readExactly(data.size(), 5s), data);
  EXPECT_EQ(device->readFor(100ms), "");
  EXPECT_EQ(output(), "");
  // The registry record shows the tip with the port.
  install
      ->serverPid();  // points the registry at this install's runtime directory
  const auto record = platform::lookupServer(install->title());
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->tip, device->path() + " - コマンドライン通信(RS232C)");
}

TEST_F(Server, EveryCommandIsLoggedBeforeItTakesEffect) {
  startServer();
  drop("@LOG_ST@@@");
  openPort();
  drop("payload");
  for (const char* command :
       {"@SETRTS@@@", "@CLRRTS@@@", "@SETDTR@@@", "@CLRDTR@@@"}) {
    drop(command);
  }
  drop("@NOP@@@@@@");
  drop("@LOG_ED@@@");
  drop("unlogged");
  drop("@LOG_ST@@@");
  drop("@CLOSE@@@@");
  ASSERT_EQ(server->wait(10s), 0);
  EXPECT_EQ(logSuffixes(),
            (std::vector<std::string>{"_SOP", "_SND", "_SST", "_SST", "_SST",
                                      "_SST", "_SCL"}));
  const auto logs = listDat(install->path("log"));
  EXPECT_EQ(readFile(install->path("log/") + logs[1]), "payload");
  EXPECT_EQ(readFile(install->path("log/") + logs[6]), "@CLOSE@@@@");
  EXPECT_EQ(device->readFor(200ms), "payloadunlogged");
  // The end keeps what it leaves for the receiver.
  EXPECT_TRUE(exists(install->path("sts/LineStatus.dat")));
  EXPECT_FALSE(install->serverPid().has_value());
}

TEST_F(Server, DataFollowedByACloseIsNotCutOff) {
  startServer();
  openPort();
  const std::string data = randomBytes(3000, 17);  // fits the pty buffer
  drop(data);
  drop("@CLOSE@@@@");
  ASSERT_EQ(server->wait(10s), 0);
  // The device reads only now, after the port has been closed.
  EXPECT_TRUE(device->readExactly(data.size(), 5s) == data);
}

TEST_F(Server, DataAndLineCommandsWhileClosedAreLoggedNotSentNotReported) {
  startServer();
  drop("@LOG_ST@@@");
  drop("nobody listens");
  drop("@SETDTR@@@");
  ASSERT_TRUE(waitUntil([&] { return logSuffixes().size() == 2; }));
  EXPECT_EQ(logSuffixes(), (std::vector<std::string>{"_SND", "_SST"}));
  EXPECT_EQ(output(), "");
  openPort();
  EXPECT_EQ(device->readFor(200ms), "");
}

TEST_F(Server, AFailedOpenPrintsItsExactReport) {
  startServer();
  drop("@OPEN@@@@@," + install->path("no such port") + ",9600,8,0,0,0");
  ASSERT_TRUE(waitForOutput("\n"));
  EXPECT_EQ(
      output(),
      "ポートオープンエラー:RS232C Open Error(No such file or directory)\n");
}

TEST_F(Server, SettingsTheDriverRefusesAreReported) {
  startServer();
  drop("@OPEN@@@@@," + device->path() + ",9600,9,0,0,0");
  ASSERT_TRUE(waitForOutput("\n"));
  EXPECT_EQ(
      output(),
      "ポートオープンエラー:RS232C SetCommState Error(Invalid argument)\n");
  // Every framing the driver can express opens.
  for (const char* settings :
       {"9600,5,1,1,0", "250000,7,2,2,1", "115200,6,0,3,0", "31250,8,2,4,3"}) {
    openPort({}, settings);
  }
  EXPECT_EQ(
      output(),
      "ポートオープンエラー:RS232C SetCommState Error(Invalid argument)\n");
}

TEST_F(Server, APortHeldByAnotherProgramIsRefusedWithTheReason) {
  startServer();
  {
    auto holder = holdExclusively(device->path());
    drop("@OPEN@@@@@," + device->path() + ",9600,8,0,0,0");
    ASSERT_TRUE(waitForOutput("\n"));
  }
  EXPECT_EQ(output(),
            "ポートオープンエラー:RS232C Open Error(Resource temporarily "
            "unavailable)\n");
  openPort();  // free again
}

TEST_F(Server, ARegularFileNamedAsThePortIsNeverWritten) {
  startServer();
  const std::string file = install->path("not a port");
  writeFile(file, "precious");
  drop("@OPEN@@@@@," + file + ",9600,8,0,0,0");
  ASSERT_TRUE(waitForOutput("\n"));
  EXPECT_EQ(output(),
            "ポートオープンエラー:RS232C SetCommState Error(Inappropriate "
            "ioctl for device)\n");
  drop("overwrite?");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(readFile(file), "precious");
}

TEST_F(Server, SignalsAndTheMenuCommands) {
  startServer();
  openPort();
  server->signal(SIGUSR1);
  ASSERT_TRUE(waitForOutput("Lorvane Version 1.0.0.0\n"));
  server->signal(SIGTERM);
  EXPECT_EQ(server->wait(5s), 0);
  EXPECT_TRUE(exists(install->path("sts/LineStatus.dat")));
  EXPECT_FALSE(install->serverPid().has_value());
}

TEST_F(Server, ARegistryItCannotWriteIsReportedAndTheSpoolStillServed) {
  const std::string missing = install->path("no runtime dir");
  const std::string saved = std::getenv("XDG_RUNTIME_DIR");
  ::setenv("XDG_RUNTIME_DIR", missing.c_str(), 1);
  server = std::make_unique<Process>(install->program("Lorvane"),
                                     std::vector<std::string>{install->title()},
                                     outputFile);
  ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  ASSERT_TRUE(waitForOutput("\n"));
  EXPECT_EQ(output(), "ファイルオープンエラー:" + missing +
                          "(No such file or directory)\n");
  openPort();
  drop("served");
  EXPECT_EQ(device->readExactly(6, 5s), "served");
}

TEST_F(Server, ExitMenuCommandEndsTheServer) {
  startServer();
  server->signal(SIGUSR2);
  EXPECT_EQ(server->wait(5s), 0);
}

TEST_F(Server, ABurstOfFilesIsDrainedInOrder) {
  startServer();
  openPort();
  std::string expected;
  for (int i = 0; i < 300; ++i) {
    const std::string item = "<" + std::to_string(i) + ">";
    drop(item);
    expected += item;
  }
  EXPECT_EQ(device->readExactly(expected.size(), 10s), expected);
}

TEST_F(Server, ASpoolFileCarriesAtMostOneBlock) {
  startServer();
  openPort();
  const std::string big = randomBytes(150000, 3);
  drop(big);
  EXPECT_EQ(device->readExactly(150000, 5s), big.substr(0, 102400));
  EXPECT_EQ(device->readFor(200ms), "");
}

TEST_F(Server, EntriesThatCanNeverBeReadDoNotBlockOrLeak) {
  startServer();
  openPort();
  const std::string secret = install->path("secret");
  writeFile(secret, "must never reach the port");
  ASSERT_EQ(
      ::mkfifo(install->path("snd/00000000000000000100.dat").c_str(), 0600), 0);
  fs::create_directories(install->path("snd/00000000000000000101.dat"));
  fs::create_symlink(secret, install->path("snd/00000000000000000102.dat"));
  sequence = 200;
  drop("behind them");
  EXPECT_EQ(device->readExactly(11, 5s), "behind them");
  std::this_thread::sleep_for(200ms);
  drop("and more");
  EXPECT_EQ(device->readExactly(8, 5s), "and more");
  const std::string out = output();
  // Each is reported once, however many passes meet it.
  int lines = 0;
  for (char c : out) lines += c == '\n';
  EXPECT_EQ(lines, 3) << out;
  EXPECT_NE(out.find("ファイルオープンエラー:" +
                     install->path("snd/00000000000000000102.dat") +
                     "(Too many levels of symbolic links)"),
            std::string::npos)
      << out;
  EXPECT_EQ(readFile(secret), "must never reach the port");
}

}  // namespace
}  // namespace lorvane::test

namespace lorvane::test {
namespace {

// A server whose standard output nobody reads must go on serving: reports
// never block it.
TEST(ServerReports, AnUnreadOutputNeverHoldsTheServerUp) {
  TempInstall install;
  PtyDevice device;
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    ::close(out[0]);
    ::close(out[1]);
    const std::string program = install.program("Lorvane");
    const std::string title = install.title();
    ::execl(program.c_str(), program.c_str(), title.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  ASSERT_TRUE(waitUntil([&] { return install.serverPid().has_value(); }));
  fs::create_directories(install.path("tmp"));
  int sequence = 0;
  auto drop = [&](std::string_view content) {
    char name[32];
    std::snprintf(name, sizeof name, "%020d.dat", ++sequence);
    writeFile(install.path("tmp/") + name, content);
    fs::rename(install.path("tmp/") + name, install.path("snd/") + name);
  };
  // Far more report lines than a pipe holds.
  for (int i = 0; i < 1500; ++i)
    drop("@OPEN@@@@@," + install.path("missing port") + ",9600,8,0,0,0");
  drop("@OPEN@@@@@," + device.path() + ",9600,8,0,0,0");
  drop("still served");
  EXPECT_EQ(device.readExactly(12, 30s), "still served");
  drop("@CLOSE@@@@");
  int status = 0;
  ASSERT_TRUE(
      waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10s));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::close(out[0]);
}

}  // namespace
}  // namespace lorvane::test
