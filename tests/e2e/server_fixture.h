// The real Lorvane in a temporary install directory, serving a real
// pseudo-terminal device.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/harness.h"

namespace lorvane::test {

class RealServer : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts Lorvane with its title and waits until it has registered.
  void startServer();
  // Publishes a spool file into snd the way a sender does.
  void drop(std::string_view content);
  // Opens `port` (the device by default) and waits for the line state.
  void openPort(const std::string& port = {},
                std::string_view settings = "9600,8,0,0,0");
  // What the server has printed so far.
  std::string output() const;
  bool waitForOutput(std::string_view text, std::chrono::milliseconds timeout =
                                                std::chrono::seconds(10));
  std::vector<std::string> logSuffixes() const;

  std::unique_ptr<TempInstall> install;
  std::unique_ptr<PtyDevice> device;
  std::unique_ptr<Process> server;
  std::string outputFile;
  int sequence = 0;
};

}  // namespace lorvane::test
