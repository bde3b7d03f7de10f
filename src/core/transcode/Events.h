// What the conversions tell whoever shows them to the user (the tray application):
// the progress of each running encoding, its end, and written data that could not be
// encoded and was kept as a real WAV file instead.
//
// Thread-safe: events are reported from the FUSE host's threads, several at once; the
// listener is called on the reporting thread, without any lock of the core held, and
// must return quickly (hand the event to its own thread or main loop).
#pragma once

#include <functional>
#include <string>

namespace Vantor {

struct ConversionEvent {
  enum class Kind {
    kProgress,   // fraction of the audio encoded so far, 0..1
    kEnded,      // the encoding ended (committed or not); follows the last kProgress
    kKeptAsWAV,  // the data stays a real WAV file; reason says why it was not encoded
  };
  Kind kind = Kind::kProgress;
  std::string name;    // the file's name as the volume shows it (e.g. "song.wav")
  double fraction = 0;  // kProgress only
  std::string reason;   // kKeptAsWAV only
};

using ConversionListener = std::function<void(const ConversionEvent&)>;

// Replaces the listener (an empty one stops the reports).
void SetConversionListener(ConversionListener listener);
// Calls the listener, if any, with event. Never throws.
void ReportConversion(const ConversionEvent& event);

}  // namespace Vantor
