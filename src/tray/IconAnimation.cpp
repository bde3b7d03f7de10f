#include "IconAnimation.h"

#include <utility>

namespace Lyrebox::Tray {

IconAnimation::IconAnimation(std::function<bool()> isEncoding)
    : isEncoding_(std::move(isEncoding)) {}

IconAnimation::Step IconAnimation::Start() {
  turning_ = false;
  index_ = 0;
  idle_ = 0;
  return {0, idlePollMs};
}

IconAnimation::Step IconAnimation::Advance() {
  if (!turning_) {
    if (!isEncoding_()) {
      return {noChange, idlePollMs};
    }
    // An encoding has started: the first step follows at once.
    turning_ = true;
    index_ = 0;
    idle_ = 0;
  } else if (!isEncoding_() && idle_ >= runOnSteps) {
    turning_ = false;
    index_ = 0;
    return {0, idlePollMs};
  }
  index_ = (index_ + 1) % rotationSteps;
  // An encoding that starts during the run-on resets the count: the turn goes on.
  idle_ = isEncoding_() ? 0 : idle_ + 1;
  return {index_, stepMs};
}

}  // namespace Lyrebox::Tray
