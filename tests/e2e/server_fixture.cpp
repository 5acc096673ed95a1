#include "tests/e2e/server_fixture.h"

#include <cstdio>
#include <filesystem>

namespace lorvane::test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

void RealServer::SetUp() {
  install = std::make_unique<TempInstall>();
  device = std::make_unique<PtyDevice>();
  outputFile = install->path("Lorvane.out");
}

void RealServer::TearDown() {
  if (server && !server->wait(0ms)) {
    server->signal(SIGTERM);
    server->wait(5s);
  }
  server.reset();
  // A sanitizer build of the server reports its findings on its output.
  const std::string out = output();
  EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
  EXPECT_EQ(out.find("runtime error:"), std::string::npos) << out;
  device.reset();
  install.reset();
}

void RealServer::startServer() {
  server = std::make_unique<Process>(install->program("Lorvane"),
                                     std::vector<std::string>{install->title()},
                                     outputFile);
  ASSERT_TRUE(waitUntil([&] { return install->serverPid().has_value(); }))
      << "the server did not register";
}

void RealServer::drop(std::string_view content) {
  char name[32];
  std::snprintf(name, sizeof name, "%020d.dat", ++sequence);
  fs::create_directories(install->path("tmp"));
  const std::string temporary = install->path("tmp/") + name;
  writeFile(temporary, content);
  fs::rename(temporary, install->path("snd/") + name);
}

void RealServer::openPort(const std::string& port, std::string_view settings) {
  const std::string status = install->path("sts/LineStatus.dat");
  std::remove(status.c_str());
  drop("@OPEN@@@@@," + (port.empty() ? device->path() : port) + "," +
       std::string(settings));
  ASSERT_TRUE(waitUntil([&] { return exists(status); })) << output();
}

std::string RealServer::output() const { return readFile(outputFile); }

bool RealServer::waitForOutput(std::string_view text,
                               std::chrono::milliseconds timeout) {
  return waitUntil([&] { return output().find(text) != std::string::npos; },
                   timeout);
}

std::vector<std::string> RealServer::logSuffixes() const {
  std::vector<std::string> suffixes;
  for (const auto& name : listDat(install->path("log"))) {
    suffixes.push_back(name.substr(20, name.size() - 24));
  }
  return suffixes;
}

}  // namespace lorvane::test
