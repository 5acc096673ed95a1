#include "server/tray.h"

#include <limits>

namespace lorvane {

void HeadlessTray::add(std::string_view tip) {
  frame_ = 0;
  shown_ = true;
  setTip(tip);
}

void HeadlessTray::step() {
  // The count only selects one of two images; wrap it before it overflows.
  frame_ = frame_ == std::numeric_limits<int>::max() ? 1 : frame_ + 1;
}

void HeadlessTray::setTip(std::string_view tip) {
  if (!shown_) return;
  if (tip_ == tip) return;
  tip_ = std::string(tip);
  if (onTip_) onTip_(tip_);
}

void HeadlessTray::remove() { shown_ = false; }

}  // namespace lorvane
