// A server object in a temporary install directory with a fake port, driven
// by the test as the event loop would drive it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/wakeup.h"
#include "server/server_window.h"
#include "server/tray.h"
#include "tests/server/fake_port.h"

namespace lorvane::test {

class ServerFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Builds the server (startUp included); call again to rebuild with a new
  // publisher.
  void makeServer(Publisher publish = {});

  // Puts a complete spool file into snd, as a sender publishes it.
  void drop(const std::string& name, std::string_view content);
  void pass() { window->onTimer(); }
  // Handles notices until `condition` holds or `timeout` passes.
  bool pumpUntil(const std::function<bool()>& condition,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5));
  void open(const std::string& name = "COM1",
            std::string_view settings = "9600,8,0,0,0");

  std::string dir(std::string_view name) const;
  std::vector<std::string> files(std::string_view name) const;
  std::string lineStatus() const;

  std::string root;
  FakePortDriver driver;
  HeadlessTray tray;
  platform::Wakeup wakeup;
  std::vector<std::string> reports;
  std::vector<std::string> informs;
  std::unique_ptr<ServerWindow> window;
};

}  // namespace lorvane::test
