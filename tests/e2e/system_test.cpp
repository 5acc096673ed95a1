// The whole system as a script meets it: portsend starts and feeds the real
// server, a device answers on a pseudo-terminal, portrecv reads the answer
// back, and "@CLOSE@@@@" ends the server. Also the virtual device answering
// scripted requests, a new server's start-up clearing what the last one
// left, and the tree that "cmake --install" lays out working as an install
// directory of its own.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "tests/support/harness.h"

namespace lorvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view standingTip = "コマンドライン通信(RS232C)";

std::string titleOf(const std::string& installDir) {
  std::string title = installDir + "/Lorvane";
  std::replace(title.begin(), title.end(), ' ', '_');
  return title;
}

// A process that has ended, also one that waits for a parent to reap it:
// the server's parent, the sender, has long gone.
bool processGone(int pid) {
  if (::kill(pid, 0) != 0) return true;
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  return close != std::string::npos && stat.compare(close + 1, 3, " Z ") == 0;
}

std::string withoutLineEnd(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The three programs of one install directory, run as a script runs them.
class Programs {
 public:
  explicit Programs(std::string directory) : dir_(std::move(directory)) {}

  const std::string& dir() const { return dir_; }
  std::string path(std::string_view relative) const {
    return dir_ + "/" + std::string(relative);
  }
  std::string title() const { return titleOf(dir_); }

  // portsend, which must end on its own, print nothing and exit with 0.
  void send(const std::vector<std::string>& args) const {
    const RunResult result = run(sender_, args, 60s);
    EXPECT_FALSE(result.timedOut) << testing::PrintToString(args);
    EXPECT_EQ(result.exitCode, 0) << testing::PrintToString(args);
    EXPECT_EQ(result.out, "") << testing::PrintToString(args);
  }
  std::string receive(const std::vector<std::string>& args) const {
    const RunResult result = run(receiver_, args, 20s);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0) << testing::PrintToString(args);
    EXPECT_EQ(result.err, "") << testing::PrintToString(args);
    return result.out;
  }
  // Until portrecv prints `expected` for `args`, at most 10 seconds.
  bool receives(const std::vector<std::string>& args,
                const std::string& expected) const {
    return waitUntil([&] { return receive(args) == expected; }, 10s, 20ms);
  }

  std::optional<platform::RegistryRecord> server() const {
    return platform::lookupServer(title());
  }
  // The registered server of this directory has ended: its entry is gone
  // and so is its process.
  bool serverEnded(int pid) const {
    return waitUntil([&] { return !server() && processGone(pid); }, 10s);
  }
  std::string serverOutput() const { return readFile(path("Lorvane.out")); }

  // Calls the programs through `senderPath` and `receiverPath` (links, say)
  // instead of the copies in the directory.
  void callThrough(std::string senderPath, std::string receiverPath) {
    sender_ = std::move(senderPath);
    receiver_ = std::move(receiverPath);
  }

 private:
  std::string dir_;
  std::string sender_ = path("portsend");
  std::string receiver_ = path("portrecv");
};

std::string openCommand(const std::string& port) {
  return "@OPEN@@@@@," + port + ",9600,8,0,0,0";
}

class System : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"Lorvane", "portsend", "portrecv"}) {
      if (!exists(install.program(name))) {
        GTEST_SKIP() << name << " is not built";
      }
    }
  }

  // Beside the install directory, inside the test's temporary tree.
  std::string scratch(std::string_view name) const {
    return (fs::path(install.dir()).parent_path() / name).string();
  }

  // Declared first so that they go last: the install's end stops the server
  // while its device is still there.
  PtyDevice device;
  std::optional<Process> virtualDevice;
  TempInstall install;
  Programs programs{install.dir()};
};

TEST_F(System, OneRequestFromTheFirstOpenToTheClose) {
  ASSERT_FALSE(programs.server());
  ASSERT_FALSE(exists(install.path("snd")));

  // The open command starts the server, which registers under the title
  // and opens the device.
  programs.send({openCommand(device.path())});
  ASSERT_TRUE(waitUntil([&] { return programs.server().has_value(); }))
      << programs.serverOutput();
  const int pid = programs.server()->processId;
  EXPECT_NE(programs.title().find("/install_dir/Lorvane"), std::string::npos);
  ASSERT_TRUE(waitUntil([&] {
    return exists(install.path("sts/LineStatus.dat"));
  })) << programs.serverOutput();
  EXPECT_EQ(readFile(install.path("sts/LineStatus.dat")), "0,0,0,0");
  EXPECT_TRUE(waitUntil([&] {
    const auto record = programs.server();
    return record &&
           record->tip == device.path() + " - " + std::string(standingTip);
  }));
  for (const char* directory : {"snd", "tmp", "rcv", "sts", "log"}) {
    EXPECT_TRUE(fs::is_directory(install.path(directory))) << directory;
  }

  programs.send({"hello"});
  EXPECT_EQ(device.readExactly(5, 10s), "hello");

  const std::string answer = "world\r\n";
  device.write(answer);
  EXPECT_TRUE(programs.receives({"-dat", "1", "100"}, answer))
      << programs.receive({"-dat", "1", "100"});
  EXPECT_EQ(programs.receive({"-dat", "1", "100", "hex"}),
            hexOf(answer) + std::string(2 * (100 - answer.size()), '0'));
  EXPECT_EQ(programs.receive({"-dat", "6", "2", "hex"}), "0d0a");

  // The tray menu's information command.
  ASSERT_EQ(::kill(pid, SIGUSR1), 0);
  EXPECT_TRUE(waitUntil([&] {
    return programs.serverOutput() == "Lorvane Version 1.0.0.0\n";
  })) << programs.serverOutput();

  programs.send({"@CLOSE@@@@"});
  ASSERT_TRUE(programs.serverEnded(pid));
  // The server reported nothing on the way, and what it received stays.
  EXPECT_EQ(programs.serverOutput(), "Lorvane Version 1.0.0.0\n");
  EXPECT_EQ(programs.receive({"-dat", "1", "100"}), answer);
  EXPECT_EQ(readFile(install.path("sts/LineStatus.dat")), "0,0,0,0");
  EXPECT_EQ(listDat(install.path("snd")), std::vector<std::string>{});
}

TEST_F(System, ScriptedDeviceAnswersRequestsThroughTheSpool) {
  const std::string tool = builtToolsDir() + "/lorvane-vdevice";
  if (!exists(tool)) GTEST_SKIP() << "lorvane-vdevice is not built";
  const std::string script = scratch("device script");
  writeFile(script, "# identity\nID?<CR>\tDEV-1<CR><LF>\n");
  const std::string pathFile = scratch("device path");
  const std::string link = scratch("ttyVDEV");
  const std::string record = scratch("device record");
  virtualDevice.emplace(
      tool,
      std::vector<std::string>{"--script", script, "--path-file", pathFile,
                               "--link", link, "--record", record},
      scratch("device output"));
  ASSERT_TRUE(waitUntil([&] { return exists(pathFile); }))
      << readFile(scratch("device output"));
  const std::string devicePath = withoutLineEnd(readFile(pathFile));
  EXPECT_EQ(fs::read_symlink(link).string(), devicePath);

  // The port is named by the link.
  programs.send({openCommand(link)});
  ASSERT_TRUE(waitUntil([&] {
    return exists(install.path("sts/LineStatus.dat"));
  })) << programs.serverOutput();
  const auto server = programs.server();
  ASSERT_TRUE(server.has_value());

  const std::string reply = "DEV-1\r\n";
  programs.send({"-t2b", "ID?<CR>"});
  EXPECT_TRUE(programs.receives({"-dat", "1", "100"}, reply))
      << programs.receive({"-dat", "1", "100", "hex"});
  // A second request: its reply lies behind the first, where a script that
  // keeps its own position looks for it.
  programs.send({"-t2b", "ID?<CR>"});
  EXPECT_TRUE(programs.receives({"-dat", "8", "100"}, reply))
      << programs.receive({"-dat", "1", "100", "hex"});
  EXPECT_EQ(programs.receive({"-dat", "1", "100"}), reply + reply);
  EXPECT_EQ(readFile(record), "ID?\rID?\r");

  programs.send({"@CLOSE@@@@"});
  ASSERT_TRUE(programs.serverEnded(server->processId));
  EXPECT_EQ(programs.serverOutput(), "");

  virtualDevice->signal(SIGTERM);
  EXPECT_EQ(virtualDevice->wait(10s), 0);
  EXPECT_FALSE(exists(link));
  EXPECT_FALSE(exists(pathFile));
}

TEST_F(System, NewServerStartsWithoutWhatTheLastOneLeft) {
  const std::string snd = install.path("snd");
  const std::string rcv = install.path("rcv");
  const std::string lineStatus = install.path("sts/LineStatus.dat");

  programs.send({openCommand(device.path())});
  ASSERT_TRUE(waitUntil([&] { return exists(lineStatus); }))
      << programs.serverOutput();
  const int first = programs.server()->processId;
  device.write("old");
  ASSERT_TRUE(waitUntil([&] { return concatDat(rcv) == "old"; }));
  programs.send({"@CLOSE@@@@"});
  ASSERT_TRUE(programs.serverEnded(first));
  EXPECT_EQ(concatDat(rcv), "old");
  EXPECT_TRUE(exists(lineStatus));

  // Leftovers that sort before anything a sender writes now: a close
  // command that would end the next server at once, if it were carried out.
  writeFile(snd + "/00000000000000000000.dat", "@CLOSE@@@@");
  writeFile(snd + "/00000000000000000001.dat", "leftover");
  writeFile(install.path("tmp/20000101000000000000.dat"), "staged");
  writeFile(install.path("log/20000101000000000001_SND.dat"), "logged");

  // A port that does not exist: the open fails, so nothing but start-up
  // touches rcv and sts.
  programs.send({openCommand("/nonexistent-port")});
  ASSERT_TRUE(waitUntil([&] {
    return programs.serverOutput().find(
               "ポートオープンエラー:RS232C Open Error(No such file or "
               "directory)\n") != std::string::npos;
  })) << programs.serverOutput();
  const auto second = programs.server();
  ASSERT_TRUE(second.has_value()) << "the leftover close was carried out";
  EXPECT_NE(second->processId, first);
  EXPECT_FALSE(processGone(second->processId));
  EXPECT_EQ(listDat(snd), std::vector<std::string>{});
  EXPECT_EQ(listDat(rcv), std::vector<std::string>{});
  EXPECT_FALSE(exists(lineStatus));
  EXPECT_EQ(readFile(install.path("tmp/20000101000000000000.dat")), "staged");
  EXPECT_EQ(readFile(install.path("log/20000101000000000001_SND.dat")),
            "logged");

  // The same server opens the device; rcv holds only what arrives now.
  programs.send({openCommand(device.path())});
  ASSERT_TRUE(waitUntil([&] { return exists(lineStatus); }))
      << programs.serverOutput();
  device.write("new");
  EXPECT_TRUE(programs.receives({"-dat", "1", "100"}, "new"));
  EXPECT_EQ(concatDat(rcv), "new");
  EXPECT_EQ(programs.server()->processId, second->processId);

  programs.send({"@CLOSE@@@@"});
  EXPECT_TRUE(programs.serverEnded(second->processId));
}

// Stops the server of an install directory that no TempInstall knows.
class ServerStopper {
 public:
  explicit ServerStopper(const Programs& programs) : programs_(programs) {}
  ~ServerStopper() {
    const auto record = programs_.server();
    if (!record) return;
    ::kill(record->processId, SIGTERM);
    if (!waitUntil([&] { return processGone(record->processId); }, 5s)) {
      ::kill(record->processId, SIGKILL);
    }
  }
  ServerStopper(const ServerStopper&) = delete;
  ServerStopper& operator=(const ServerStopper&) = delete;

 private:
  const Programs& programs_;
};

TEST_F(System, InstalledCopyIsAnInstallDirectory) {
  const std::string prefix = scratch("pre fix");
  const RunResult installed =
      run(LORVANE_CMAKE_COMMAND,
          {"--install", LORVANE_BUILD_DIR, "--prefix", prefix}, 120s);
  ASSERT_FALSE(installed.timedOut);
  ASSERT_EQ(installed.exitCode, 0) << installed.out << installed.err;

  const std::string bin = prefix + "/" + LORVANE_INSTALL_BINDIR;
  Programs copy(prefix + "/" + LORVANE_INSTALL_SUBDIR);
  for (const char* name : {"Lorvane", "portsend", "portrecv"}) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(copy.path(name))))
        << name;
  }
  for (const char* name : {"portsend", "portrecv"}) {
    const std::string link = bin + "/" + name;
    ASSERT_TRUE(fs::is_symlink(link)) << link;
    // Relative, so that the tree can be moved as a whole.
    EXPECT_TRUE(fs::read_symlink(link).is_relative()) << link;
    EXPECT_TRUE(fs::equivalent(link, copy.path(name))) << link;
  }
  EXPECT_TRUE(fs::is_regular_file(bin + "/lorvane-vdevice"));
  for (const char* page : {"Lorvane.1", "portsend.1", "portrecv.1"}) {
    EXPECT_TRUE(fs::is_regular_file(prefix + "/" + LORVANE_INSTALL_MANDIR +
                                    "/man1/" + page))
        << page;
  }

  // Called through the links, the programs work on the directory that
  // holds them.
  copy.callThrough(bin + "/portsend", bin + "/portrecv");
  ServerStopper stopper(copy);
  copy.send({openCommand(device.path())});
  ASSERT_TRUE(waitUntil([&] {
    return exists(copy.path("sts/LineStatus.dat"));
  })) << copy.serverOutput();
  const auto server = copy.server();
  ASSERT_TRUE(server.has_value());
  EXPECT_NE(copy.title().find("/pre_fix/"), std::string::npos);

  copy.send({"-t2b", "ping<CR>"});
  EXPECT_EQ(device.readExactly(5, 10s), "ping\r");
  device.write("pong");
  EXPECT_TRUE(copy.receives({"-dat", "1", "100"}, "pong"));

  copy.send({"@CLOSE@@@@"});
  EXPECT_TRUE(copy.serverEnded(server->processId));
  for (const char* directory : {"snd", "tmp", "rcv", "sts", "log"}) {
    EXPECT_TRUE(fs::is_directory(copy.path(directory))) << directory;
    EXPECT_FALSE(exists(bin + "/" + directory)) << directory;
  }
  EXPECT_EQ(copy.serverOutput(), "");
}

}  // namespace
}  // namespace lorvane::test
