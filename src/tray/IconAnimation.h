// The turning status icon's timing: which of the 48 rotated images to show next and how
// long to wait before asking again. Idle, it shows the upright image (index 0) and polls
// the encoding state every 250 ms; while an encoding runs, and for 20 steps after the
// last one ends, it advances one image (7.5 degrees clockwise) every 30 ms.
//
// Pure and single-threaded: the tray drives it from a GLib timeout on the main thread,
// tests drive it with a fake encoding state and a virtual clock.
#pragma once

#include <functional>

namespace Lyrebox::Tray {

class IconAnimation {
 public:
  static constexpr int rotationSteps = 48;
  static constexpr int runOnSteps = 20;
  static constexpr int idlePollMs = 250;
  static constexpr int stepMs = 30;
  static constexpr int noChange = -1;

  struct Step {
    int index;    // the image to show now, or noChange
    int delayMs;  // until the next call of Advance
  };

  explicit IconAnimation(std::function<bool()> isEncoding);

  // The first step: shows the upright image and starts polling.
  Step Start();
  // The step after the previous one's delay has passed.
  Step Advance();

  bool Turning() const { return turning_; }

 private:
  std::function<bool()> isEncoding_;
  bool turning_ = false;
  int index_ = 0;
  int idle_ = 0;  // steps since an encoding was last seen
};

}  // namespace Lyrebox::Tray
