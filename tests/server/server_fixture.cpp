#include "tests/server/server_fixture.h"

#include <filesystem>
#include <thread>

#include "tests/support/harness.h"

namespace lorvane::test {

namespace fs = std::filesystem;

void ServerFixture::SetUp() {
  std::string templ =
      (fs::temp_directory_path() / "lorvane-server-XXXXXX").string();
  ASSERT_NE(::mkdtemp(templ.data()), nullptr);
  root = templ;
  makeServer();
}

void ServerFixture::TearDown() {
  window.reset();
  std::error_code ignored;
  fs::remove_all(root, ignored);
}

void ServerFixture::makeServer(Publisher publish) {
  window.reset();
  ServerServices services{
      driver,
      tray,
      wakeup,
      [this](std::string_view line) { reports.emplace_back(line); },
      [this](std::string_view line) { informs.emplace_back(line); },
      std::move(publish),
  };
  window = std::make_unique<ServerWindow>(root, services);
  window->startUp();
}

void ServerFixture::drop(const std::string& name, std::string_view content) {
  const std::string temporary = root + "/." + name + ".tmp";
  writeFile(temporary, content);
  fs::rename(temporary, dir("snd") + "/" + name);
}

bool ServerFixture::pumpUntil(const std::function<bool()>& condition,
                              std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    window->onNotices();
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void ServerFixture::open(const std::string& name, std::string_view settings) {
  drop("00000000000000000000.dat",
       "@OPEN@@@@@," + name + "," + std::string(settings));
  pass();
}

std::string ServerFixture::dir(std::string_view name) const {
  return root + "/" + std::string(name);
}

std::vector<std::string> ServerFixture::files(std::string_view name) const {
  return listDat(dir(name));
}

std::string ServerFixture::lineStatus() const {
  return readFile(dir("sts") + "/LineStatus.dat");
}

}  // namespace lorvane::test
