// lorvane-vdevice over real pseudo-terminals: the test plays the program
// that opens the serial port, the tool plays the device behind it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/harness.h"

namespace lorvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string tool() { return builtToolsDir() + "/lorvane-vdevice"; }

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern =
        (fs::temp_directory_path() / "vdevice test XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

// The program side of the port: the slave of the tool's pseudo-terminal,
// opened like a serial port and set raw.
class Peer {
 public:
  explicit Peer(const std::string& path, bool raw = true) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    if (raw) {
      termios attributes{};
      ::tcgetattr(fd_, &attributes);
      ::cfmakeraw(&attributes);
      ::tcsetattr(fd_, TCSANOW, &attributes);
    }
  }
  ~Peer() { close(); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  int fd() const { return fd_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Writes `data` while collecting what comes back, so that a long echo
  // cannot dead-lock on full queues; returns once `expected` bytes have
  // arrived or `timeout` has passed.
  std::string exchange(std::string_view data, std::size_t expected,
                       std::chrono::milliseconds timeout = 20s) {
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while ((!data.empty() || received.size() < expected) &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd entry{
          fd_, static_cast<short>(POLLIN | (data.empty() ? 0 : POLLOUT)), 0};
      if (::poll(&entry, 1, 20) <= 0) continue;
      if ((entry.revents & POLLOUT) && !data.empty()) {
        const ssize_t n =
            ::write(fd_, data.data(), std::min<std::size_t>(data.size(), 4096));
        if (n > 0) data.remove_prefix(static_cast<std::size_t>(n));
      }
      if (entry.revents & POLLIN) {
        char buffer[65536];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
      }
    }
    return received;
  }
  std::string send(std::string_view data, std::size_t expected) {
    return exchange(data, expected);
  }
  // Writes all of `data` (bounded), ignoring what comes back meanwhile.
  void write(std::string_view data) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!data.empty() && std::chrono::steady_clock::now() < deadline) {
      const ssize_t n = ::write(fd_, data.data(), data.size());
      if (n > 0) {
        data.remove_prefix(static_cast<std::size_t>(n));
      } else {
        pollfd entry{fd_, POLLOUT, 0};
        ::poll(&entry, 1, 20);
      }
    }
    if (!data.empty()) throw std::runtime_error("peer write timed out");
  }
  // Everything that arrives until the line has been quiet for `idle`.
  std::string drain(std::chrono::milliseconds idle = 300ms) {
    std::string received;
    for (;;) {
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(idle.count())) <= 0)
        return received;
      char buffer[65536];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) return received;
      received.append(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_ = -1;
};

// One running lorvane-vdevice; its standard output and error go to a file.
class Device {
 public:
  Device(const ScratchDir& scratch, std::vector<std::string> args)
      : output_(scratch.path("vdevice.out")),
        process_(std::make_unique<Process>(tool(), args, output_)) {
    const bool printed = waitUntil(
        [&] { return readFile(output_).find('\n') != std::string::npos; });
    if (!printed)
      throw std::runtime_error("no device path printed: " + readFile(output_));
    const std::string out = readFile(output_);
    path_ = out.substr(0, out.find('\n'));
  }
  const std::string& path() const { return path_; }
  const std::string& outputFile() const { return output_; }
  Process& process() { return *process_; }

 private:
  std::string output_;
  std::unique_ptr<Process> process_;
  std::string path_;
};

class VDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
      GTEST_SKIP() << "no pseudo-terminal available on this machine";
    ::close(master);
  }
};

std::string allBytes() {
  std::string bytes;
  for (int value = 0; value < 256; ++value)
    bytes.push_back(static_cast<char>(value));
  return bytes;
}

TEST_F(VDevice, EchoReturnsEveryByteUnchanged) {
  ScratchDir scratch;
  Device device(scratch, {});
  EXPECT_TRUE(device.path().starts_with("/dev/")) << device.path();
  Peer peer(device.path());
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"carriage return", "\r"},
      {"line feed", "\n"},
      {"zero byte", std::string(1, '\0')},
      {"0xFF", "\xff"},
      {"CR LF NUL FF inside text", std::string("A\r\nB\0C\xff", 7)},
      {"every byte value", allBytes()},
      {"a long stream beyond the queues", randomBytes(256 * 1024, 7)},
  };
  for (const auto& [name, data] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(peer.send(data, data.size()), data);
  }
  EXPECT_EQ(peer.drain(), "");
}

TEST_F(VDevice, LineDisciplineIsRawBeforeThePeerConfiguresIt) {
  ScratchDir scratch;
  Device device(scratch, {"--echo"});
  Peer peer(device.path(), /*raw=*/false);
  termios attributes{};
  ASSERT_EQ(::tcgetattr(peer.fd(), &attributes), 0);
  EXPECT_EQ(attributes.c_lflag & (ECHO | ICANON | ISIG), 0u);
  EXPECT_EQ(attributes.c_oflag & OPOST, 0u);
  EXPECT_EQ(attributes.c_iflag & (ICRNL | INLCR | IXON), 0u);
  // A cooked line discipline would translate CR and LF on the way, hold
  // input back until a line end, and echo the device's own answer back to
  // it, which would answer it again without end.
  const std::string data("ab\rc\n\0\x7f\x03", 8);
  EXPECT_EQ(peer.send(data, data.size()), data);
  EXPECT_EQ(peer.drain(), "");
}

TEST_F(VDevice, ScriptAnswersRequestsWrittenWithMnemonics) {
  ScratchDir scratch;
  const std::string script = scratch.path("device.script");
  writeFile(script,
            "# identification\n"
            "ID?<CR>\tLORVANE-DEMO<CR><LF>\r\n"
            "\n"
            "<02>PING<03>\tPONG<NUL><ff><0D>\n"
            "MUTE<CR>\t\n"
            "<23>HASH\tgot hash\n");
  Device device(scratch, {"--script", script});
  Peer peer(device.path());
  struct Case {
    const char* name;
    std::vector<std::string> pieces;  // written one after the other
    std::string reply;
  };
  const std::vector<Case> cases = {
      {"plain request", {"ID?\r"}, "LORVANE-DEMO\r\n"},
      {"binary reply with NUL and 0xFF",
       {"\x02PING\x03"},
       std::string("PONG\0\xff\r", 7)},
      {"request split over writes",
       {"\x02PI", "NG", "\x03"},
       std::string("PONG\0\xff\r", 7)},
      {"noise before the request is skipped",
       {"xyz\r\n", "ID?\r"},
       "LORVANE-DEMO\r\n"},
      {"two requests in one write",
       {"ID?\rID?\r"},
       "LORVANE-DEMO\r\nLORVANE-DEMO\r\n"},
      {"empty reply", {"MUTE\r"}, ""},
      {"request written with an escape", {"#HASH"}, "got hash"},
      {"no request, no answer", {"ID?", "\n", "PING"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string received;
    for (const auto& piece : c.pieces) {
      peer.write(piece);
      std::this_thread::sleep_for(30ms);
    }
    received += peer.exchange("", c.reply.size());
    received += peer.drain();
    EXPECT_EQ(received, c.reply);
  }
}

TEST_F(VDevice, ScriptThatCannotBeReadIsRefusedWithItsLine) {
  ScratchDir scratch;
  const std::string script = scratch.path("bad.script");
  writeFile(script, "ID?<CR>\tOK\nno tab here\n");
  const auto bad = run(tool(), {"--script", script}, 10s);
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.err.find("bad.script:2:"), std::string::npos) << bad.err;
  EXPECT_EQ(bad.out, "");

  const auto missing = run(tool(), {"--script", scratch.path("missing")}, 10s);
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_FALSE(missing.err.empty());
}

TEST_F(VDevice, RecordAppendsEveryReceivedByte) {
  ScratchDir scratch;
  const std::string record = scratch.path("received.bin");
  writeFile(record, "earlier|");
  const std::string data = allBytes() + randomBytes(100000, 3);
  {
    Device device(scratch, {"--silent", "--record", record});
    Peer peer(device.path());
    EXPECT_EQ(peer.exchange(data, 0), "");
    ASSERT_TRUE(
        waitUntil([&] { return readFile(record).size() >= 8 + data.size(); }));
    EXPECT_EQ(peer.drain(), "");
    device.process().signal(SIGTERM);
    EXPECT_EQ(device.process().wait(10s), 0);
  }
  EXPECT_EQ(readFile(record), "earlier|" + data);
}

TEST_F(VDevice, PeerMayCloseAndReopenThePort) {
  ScratchDir scratch;
  const std::string record = scratch.path("received.bin");
  Device device(scratch, {"--record", record});
  std::string sent;
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    Peer peer(device.path());
    const std::string data = "round " + std::to_string(round) + "\r\n";
    EXPECT_EQ(peer.send(data, data.size()), data);
    sent += data;
    peer.close();
    // Leave the port closed long enough for the device to notice.
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_FALSE(device.process().wait(0ms).has_value())
      << readFile(device.outputFile());
  EXPECT_EQ(readFile(record), sent);
  device.process().signal(SIGINT);
  EXPECT_EQ(device.process().wait(10s), 0);
}

TEST_F(VDevice, PublishesLinkPathAndPidAndRemovesThemOnStop) {
  ScratchDir scratch;
  const std::string link = scratch.path("tty lorvane");
  const std::string pathFile = scratch.path("device.path");
  const std::string pidFile = scratch.path("device.pid");
  // An older link is replaced, whatever it pointed at.
  ASSERT_EQ(::symlink("/nonexistent", link.c_str()), 0);
  auto process = std::make_unique<Process>(
      tool(),
      std::vector<std::string>{"--link", link, "--path-file", pathFile,
                               "--pid-file", pidFile},
      scratch.path("vdevice.out"));
  ASSERT_TRUE(waitUntil([&] { return exists(pathFile); }));
  const std::string published = readFile(pathFile);
  ASSERT_TRUE(published.ends_with('\n'));
  const std::string slave = published.substr(0, published.size() - 1);
  EXPECT_EQ(fs::read_symlink(link).string(), slave);
  EXPECT_EQ(readFile(pidFile), std::to_string(process->pid()) + "\n");
  EXPECT_EQ(readFile(scratch.path("vdevice.out")),
            "");  // the path went to the file

  {
    Peer peer(link);
    EXPECT_EQ(peer.send("via link\r", 9), "via link\r");
    process->signal(SIGTERM);
    EXPECT_EQ(process->wait(10s), 0);
  }
  EXPECT_FALSE(exists(link));
  EXPECT_FALSE(exists(pathFile));
  EXPECT_FALSE(exists(pidFile));
}

TEST_F(VDevice, StopLeavesALinkThatAnotherDeviceTookOver) {
  ScratchDir scratch;
  const std::string link = scratch.path("ttyShared");
  Device first(scratch, {"--link", link});
  ScratchDir other;
  Device second(other, {"--link", link});
  EXPECT_EQ(fs::read_symlink(link).string(), second.path());
  first.process().signal(SIGTERM);
  EXPECT_EQ(first.process().wait(10s), 0);
  ASSERT_TRUE(exists(link));
  EXPECT_EQ(fs::read_symlink(link).string(), second.path());
  second.process().signal(SIGTERM);
  EXPECT_EQ(second.process().wait(10s), 0);
  EXPECT_FALSE(exists(link));
}

TEST_F(VDevice, DaemonDetachesAfterPublishing) {
  ScratchDir scratch;
  const std::string link = scratch.path("ttyDaemon");
  const std::string pidFile = scratch.path("daemon.pid");
  Process starter(tool(),
                  {"--daemon", "--pid-file", pidFile, "--link", link, "--echo"},
                  scratch.path("vdevice.out"));
  ASSERT_EQ(starter.wait(10s), 0);
  // Both are there when the starting command returns.
  ASSERT_TRUE(exists(pidFile));
  ASSERT_TRUE(exists(link));
  const int daemon = std::atoi(readFile(pidFile).c_str());
  ASSERT_GT(daemon, 0);
  EXPECT_NE(daemon, starter.pid());
  EXPECT_EQ(::getsid(daemon), daemon);
  const std::string out = readFile(scratch.path("vdevice.out"));
  EXPECT_EQ(out, fs::read_symlink(link).string() + "\n");
  {
    Peer peer(link);
    EXPECT_EQ(peer.send(std::string("\0\xff\r\n", 4), 4),
              std::string("\0\xff\r\n", 4));
  }
  ASSERT_EQ(::kill(daemon, SIGTERM), 0);
  EXPECT_TRUE(waitUntil([&] { return !exists(link) && !exists(pidFile); }));

  // A daemon that cannot publish its pid reports failure and leaves nothing.
  const auto failed = run(tool(),
                          {"--daemon", "--pid-file",
                           scratch.path("missing/daemon.pid"), "--link", link},
                          10s);
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_NE(failed.err.find("daemon.pid"), std::string::npos) << failed.err;
  EXPECT_TRUE(waitUntil([&] { return !exists(link); }));
}

TEST_F(VDevice, CommandLine) {
  const auto help = run(tool(), {"--help"}, 10s);
  EXPECT_EQ(help.exitCode, 0);
  for (const char* option :
       {"--echo", "--script", "--silent", "--record", "--link", "--path-file",
        "--pid-file", "--daemon"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
  const std::vector<std::vector<std::string>> refused = {
      {"--bogus"},  {"--link"},   {"--echo", "--silent"},
      {"--script"}, {"--daemon"},  // a detached device needs a pid file to be
                                   // found again
  };
  for (const auto& args : refused) {
    SCOPED_TRACE(args.front());
    const auto result = run(tool(), args, 10s);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(result.err.empty());
  }
}

}  // namespace
}  // namespace lorvane::test
