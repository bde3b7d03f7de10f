// The menu lines of the encodings in progress, fed with conversion events as the core
// reports them (several files at once, repeated fractions, ends of unknown files).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EncodingList.h"

namespace {

using Kind = Vantor::ConversionEvent::Kind;

Vantor::ConversionEvent Event(Kind kind, const std::string& name, double fraction = 0) {
  Vantor::ConversionEvent e;
  e.kind = kind;
  e.name = name;
  e.fraction = fraction;
  e.reason = kind == Kind::kKeptAsWAV ? "not a WAV file that can be encoded" : "";
  return e;
}

TEST(EncodingList, OneLinePerRunningEncodingInStartOrder) {
  const struct { Vantor::ConversionEvent event; bool changed; std::vector<std::string> lines; } steps[] = {
      {Event(Kind::kProgress, "b.wav", 0), true, {"Encoding b.wav \u2014 0%"}},
      {Event(Kind::kProgress, "a.wav", 0.424), true, {"Encoding b.wav \u2014 0%", "Encoding a.wav \u2014 42%"}},
      {Event(Kind::kProgress, "a.wav", 0.426), false, {"Encoding b.wav \u2014 0%", "Encoding a.wav \u2014 42%"}},
      {Event(Kind::kKeptAsWAV, "c.wav"), false, {"Encoding b.wav \u2014 0%", "Encoding a.wav \u2014 42%"}},
      {Event(Kind::kProgress, "b.wav", 1.0), true, {"Encoding b.wav \u2014 100%", "Encoding a.wav \u2014 42%"}},
      {Event(Kind::kEnded, "b.wav"), true, {"Encoding a.wav \u2014 42%"}},
      {Event(Kind::kEnded, "never started.wav"), false, {"Encoding a.wav \u2014 42%"}},
      {Event(Kind::kEnded, "a.wav"), true, {}},
  };
  Lyrebox::Tray::EncodingList list;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.event.name);
    EXPECT_EQ(list.Apply(step.event), step.changed);
    EXPECT_EQ(list.Lines(), step.lines);
  }
}

}  // namespace
