// The tray icon of the server: two alternating images stepped once per
// handled spool entry and per reader notice, and a tip text. A desktop
// backend would show them in a notification area; the headless one keeps
// the same state and publishes the tip through a callback (the registry
// record), so the rules stay testable and visible from outside.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace lorvane {

// Shown from start-up, after a failed open and before the shutdown.
inline constexpr std::string_view standingTip = "コマンドライン通信(RS232C)";
inline constexpr std::string_view versionLine = "Lorvane Version 1.0.0.0";

// Tray menu commands.
inline constexpr int menuExitCommand = 32771;   // "終　了"
inline constexpr int menuAboutCommand = 32773;  // "情　報"
inline constexpr std::string_view menuExitText = "終　了";
inline constexpr std::string_view menuAboutText = "情　報";

class TrayIcon {
 public:
  virtual ~TrayIcon() = default;
  // Shows the first image with `tip`.
  virtual void add(std::string_view tip) = 0;
  // Shows the next of the two images.
  virtual void step() = 0;
  virtual void setTip(std::string_view tip) = 0;
  virtual void remove() = 0;

  // Number of steps since start-up; the image shown is frame() % 2.
  virtual int frame() const = 0;
  virtual std::string tip() const = 0;
  virtual bool shown() const = 0;
};

class HeadlessTray final : public TrayIcon {
 public:
  using TipListener = std::function<void(const std::string&)>;
  explicit HeadlessTray(TipListener onTip = {}) : onTip_(std::move(onTip)) {}
  void setTipListener(TipListener onTip) { onTip_ = std::move(onTip); }

  void add(std::string_view tip) override;
  void step() override;
  void setTip(std::string_view tip) override;
  void remove() override;
  int frame() const override { return frame_; }
  std::string tip() const override { return tip_; }
  bool shown() const override { return shown_; }

 private:
  TipListener onTip_;
  int frame_ = 0;
  std::string tip_;
  bool shown_ = false;
};

}  // namespace lorvane
