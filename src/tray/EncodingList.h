// The encodings in progress as the tray's menu lists them: one line per file, in the
// order the encodings started, "Encoding song.wav — 42%", fed with the conversion
// events of the core (a progress report adds or updates a line, the end removes it).
//
// Not thread-safe: the controller feeds it on the main thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "transcode/Events.h"

namespace Lyrebox::Tray {

class EncodingList {
 public:
  // Takes one event; true when the lines changed.
  bool Apply(const Vantor::ConversionEvent& event);
  std::vector<std::string> Lines() const;

 private:
  std::vector<std::pair<std::string, int>> running_;  // shown name, percent
};

}  // namespace Lyrebox::Tray
