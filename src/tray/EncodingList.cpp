#include "EncodingList.h"

#include <algorithm>
#include <cmath>

namespace Lyrebox::Tray {

bool EncodingList::Apply(const Vantor::ConversionEvent& event) {
  using Kind = Vantor::ConversionEvent::Kind;
  auto it = std::find_if(running_.begin(), running_.end(), [&](const auto& e) { return e.first == event.name; });
  if (event.kind == Kind::kEnded) {
    if (it == running_.end()) return false;
    running_.erase(it);
    return true;
  }
  if (event.kind != Kind::kProgress) return false;
  const int percent = static_cast<int>(std::floor(std::clamp(event.fraction, 0.0, 1.0) * 100));
  if (it == running_.end()) {
    running_.emplace_back(event.name, percent);
    return true;
  }
  if (it->second == percent) return false;
  it->second = percent;
  return true;
}

std::vector<std::string> EncodingList::Lines() const {
  std::vector<std::string> lines;
  for (const auto& [name, percent] : running_)
    lines.push_back("Encoding " + name + " \u2014 " + std::to_string(percent) + "%");
  return lines;
}

}  // namespace Lyrebox::Tray
