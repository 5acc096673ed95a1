// Lorvane, the port server: started with its title, it serves the spool
// directories of its install directory until it is told to end.
#include <memory>
#include <string>

#include "platform/event_loop.h"
#include "platform/registry.h"
#include "platform/report_sink.h"
#include "platform/serial.h"
#include "server/error_report.h"
#include "server/server_window.h"
#include "spool/layout.h"

namespace {

// The tick while something waits to be retried.
constexpr int shortTickMillis = 10;

class ServerLoop final : public lorvane::platform::EventHandler {
 public:
  ServerLoop(lorvane::ServerWindow& window, lorvane::platform::EventLoop& loop)
      : window_(window), loop_(loop) {}

  void onTick() override {
    window_.onTick();
    lorvane::platform::flushReportLines();
    stopWhenEnded();
  }
  void onDirectoryChanged(bool complete) override {
    if (complete) {
      window_.onTimer();
    } else {
      window_.expectArrivals();
    }
    stopWhenEnded();
  }
  int tickMillis() override {
    if (lorvane::platform::reportLinesPending()) return shortTickMillis;
    return window_.tickMillis();
  }
  void onWakeup() override {
    window_.onNotices();
    stopWhenEnded();
  }
  void onSignal(lorvane::platform::ControlSignal signal) override {
    using lorvane::platform::ControlSignal;
    switch (signal) {
      case ControlSignal::cancel:
        window_.shutdown();
        break;
      case ControlSignal::menuExit:
        window_.onMenuCommand(lorvane::menuExitCommand);
        break;
      case ControlSignal::menuAbout:
        window_.onMenuCommand(lorvane::menuAboutCommand);
        break;
    }
    stopWhenEnded();
  }

 private:
  void stopWhenEnded() {
    if (window_.ended()) loop_.stop();
  }
  lorvane::ServerWindow& window_;
  lorvane::platform::EventLoop& loop_;
};

}  // namespace

int main(int argc, char** argv) {
  using namespace lorvane;
  // Without its title the server has nothing to answer to: end before
  // touching anything.
  if (argc < 2) return 1;
  const std::string title = argv[1];
  const auto installDir = installDirectory();
  if (!installDir) return 1;

  platform::EventLoop::captureSignals();
  platform::EventLoop loop(shortTickMillis);

  std::unique_ptr<platform::RegistryEntry> registration;
  HeadlessTray tray([&](const std::string& tip) {
    if (registration) registration->updateTip(tip);
  });
  ServerServices services{
      platform::systemPortDriver(),
      tray,
      loop.wakeup(),
      [](std::string_view line) { platform::emitReportLine(line); },
      [](std::string_view line) { platform::emitInformationLine(line); },
      platform::publishFile,
  };
  ServerWindow window(*installDir, services);
  window.startUp();

  // Only now, with snd emptied, may a sender find this server and hand it
  // commands.
  platform::Status status;
  registration = platform::RegistryEntry::publish(title, tray.tip(), status);
  if (!registration) {
    // The server still serves its spool directories, but no sender can find
    // it; say why.
    window.reportError(
        captionFileOpen,
        composeErrorText(platform::registryDirectory(), status.reason()));
  }

  window.setSpoolWatched(loop.watchDirectory(window.sndDir()).isOk());
  ServerLoop handler(window, loop);
  window.onTimer();
  loop.run(handler);

  window.shutdown();
  platform::flushReportLines();
  registration.reset();
  return 0;
}
