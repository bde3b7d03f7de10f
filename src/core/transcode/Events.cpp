#include "transcode/Events.h"

#include <memory>
#include <mutex>

namespace Vantor {

namespace {

// Guards listener_; held only to copy the pointer, never while the listener runs.
std::mutex listenerMutex_;
std::shared_ptr<const ConversionListener> listener_;

}  // namespace

void SetConversionListener(ConversionListener listener) {
  auto next = listener ? std::make_shared<const ConversionListener>(std::move(listener)) : nullptr;
  std::lock_guard<std::mutex> lock(listenerMutex_);
  listener_ = std::move(next);
}

void ReportConversion(const ConversionEvent& event) {
  std::shared_ptr<const ConversionListener> listener;
  {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    listener = listener_;
  }
  if (!listener) return;
  try {
    (*listener)(event);
  } catch (...) {
    // A listener's failure is no failure of the conversion.
  }
}

}  // namespace Vantor
