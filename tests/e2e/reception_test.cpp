// Reception by the real Lorvane from a real pseudo-terminal: blocks, their
// files, a long stream, and a device that vanishes and comes back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "tests/e2e/server_fixture.h"

namespace lorvane::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class Receive : public RealServer {
 protected:
  std::string rcv() const { return install->path("rcv"); }
};

TEST_F(Receive, OneBurstIsOneExactFileAndTwoBurstsAreTwo) {
  startServer();
  drop("@LOG_ST@@@");
  openPort();
  const std::string first("\r\n\0\xff-first", 10);
  device->write(first);
  ASSERT_TRUE(waitUntil([&] { return listDat(rcv()).size() == 1; }));
  std::this_thread::sleep_for(300ms);
  device->write("second");
  ASSERT_TRUE(waitUntil([&] { return listDat(rcv()).size() == 2; }));
  const auto names = listDat(rcv());
  EXPECT_EQ(names[0].substr(17, 3), "001");
  EXPECT_EQ(readFile(rcv() + "/" + names[0]), first);
  EXPECT_EQ(readFile(rcv() + "/" + names[1]), "second");
  // The log copy of each block is written before its file in rcv.
  const auto logs = listDat(install->path("log"));
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_EQ(logs[1].substr(20), "_RCV.dat");
  EXPECT_EQ(readFile(install->path("log/") + logs[1]), first);
  EXPECT_LE(logs[1].substr(0, 17), names[0].substr(0, 17));
  EXPECT_EQ(output(), "");
}

TEST_F(Receive, AFourMegabyteStreamArrivesWholeAndInOrder) {
  startServer();
  openPort();
  const std::string data = randomBytes(4 << 20, 11);
  device->write(data);
  ASSERT_TRUE(waitUntil(
      [&] {
        std::uintmax_t total = 0;
        for (const auto& name : listDat(rcv()))
          total += fs::file_size(rcv() + "/" + name);
        return total >= data.size();
      },
      60s));
  for (const auto& name : listDat(rcv())) {
    EXPECT_LE(fs::file_size(rcv() + "/" + name), 102400u) << name;
  }
  EXPECT_TRUE(concatDat(rcv()) == data);
  EXPECT_EQ(output(), "");
}

TEST_F(Receive, AVanishedDeviceIsReportedAndReconnectedWhenItComesBack) {
  const std::string link = install->path("device");
  fs::create_symlink(device->path(), link);
  startServer();
  openPort(link);
  device->close();  // the adapter is unplugged
  ASSERT_TRUE(waitForOutput("データ受信エラー:RS232C Open Error(")) << output();
  const std::string out = output();
  EXPECT_TRUE(out.starts_with("データ受信エラー:RS232C ReadFile Error(") ||
              out.starts_with("データ受信エラー:RS232C Read Error("))
      << out;

  // A new device appears under the same name.
  PtyDevice second;
  const std::string staged = link + ".new";
  fs::create_symlink(second.path(), staged);
  fs::rename(staged, link);
  ASSERT_TRUE(waitUntil(
      [&] {
        drop("ping");
        return second.readFor(150ms).find("ping") != std::string::npos;
      },
      10s))
      << output();
  second.write("pong");
  ASSERT_TRUE(waitUntil(
      [&] { return concatDat(rcv()).find("pong") != std::string::npos; }));
  // The reports stop once the port is back.
  const auto settled = output().size();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(output().size(), settled);
}

}  // namespace
}  // namespace lorvane::test

namespace lorvane::test {
namespace {

class ReceiveWithParity : public RealServer {};

// With parity checking on, the driver marks bytes; a genuine 0xFF must still
// arrive as one 0xFF, and no marking byte may leak into rcv.
TEST_F(ReceiveWithParity, BytesArriveUnmarked) {
  startServer();
  openPort({}, "9600,8,0,2,0");
  const std::string data("\xff\x00\xff\xffz\xff", 6);
  device->write(data);
  ASSERT_TRUE(
      waitUntil([&] { return concatDat(install->path("rcv")).size() >= 6; }));
  EXPECT_EQ(concatDat(install->path("rcv")), data);
}

}  // namespace
}  // namespace lorvane::test
