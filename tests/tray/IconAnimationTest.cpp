// The turning icon's timing, run on a virtual clock against a fake count of running
// encodings.
#include <gtest/gtest.h>

#include <vector>

#include "IconAnimation.h"

namespace {

using Lyrebox::Tray::IconAnimation;

struct Encoding {
  int startMs, endMs;  // running in [start, end)
};
// An image shown: when, which, the delay until the next look, and the encodings running.
struct Shown {
  int atMs, index, delayMs, runningEncodings;
};

// Drives the animation from 0 to untilMs as the timer would, returning every image shown.
std::vector<Shown> Play(const std::vector<Encoding>& encodings, int untilMs) {
  int now = 0;
  auto running = [&] {
    int count = 0;
    for (const Encoding& e : encodings) count += e.startMs <= now && now < e.endMs;
    return count;
  };
  IconAnimation animation([&] { return running() > 0; });
  std::vector<Shown> shown;
  for (IconAnimation::Step step = animation.Start(); now <= untilMs; now += step.delayMs, step = animation.Advance()) {
    if (step.index != IconAnimation::noChange) shown.push_back({now, step.index, step.delayMs, running()});
  }
  return shown;
}

TEST(IconAnimation, TurnsWhileEncodingAndRunsOnTwentyStepsWithoutSnappingBack) {
  const struct { const char* name; std::vector<Encoding> encodings; int turns; } scenarios[] = {
      {"idle", {}, 0},
      {"one long encoding, more than a full turn", {{100, 2000}}, 1},
      {"overlapping encodings", {{100, 1000}, {800, 1500}}, 1},
      {"second one during the run-on", {{100, 1000}, {1300, 1600}}, 1},
      {"second one after the icon stood still", {{100, 1000}, {3000, 3300}}, 2},
      {"shorter than a poll, between two polls", {{260, 400}}, 0},
      {"short but seen by a poll", {{240, 260}}, 1},
  };
  const int step = IconAnimation::stepMs, poll = IconAnimation::idlePollMs;
  for (const auto& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    std::vector<Shown> shown = Play(scenario.encodings, 6000);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.front().atMs, 0);
    EXPECT_EQ(shown.front().index, 0);
    EXPECT_EQ(shown.front().delayMs, poll);
    int turns = 0, quiet = 0;  // quiet: steps since one saw an encoding
    for (size_t i = 1; i < shown.size(); ++i) {
      const Shown &s = shown[i], &previous = shown[i - 1];
      SCOPED_TRACE(s.atMs);
      if (previous.delayMs == poll) {
        // A turn starts at a poll, one step clockwise, while an encoding runs.
        ++turns;
        EXPECT_EQ((s.atMs - previous.atMs) % poll, 0);
        EXPECT_EQ(s.index, 1);
        EXPECT_GT(s.runningEncodings, 0);
      } else {
        EXPECT_EQ(s.atMs - previous.atMs, step);
        EXPECT_EQ(s.index, s.delayMs == poll ? 0 : (previous.index + 1) % 48);
      }
      if (s.delayMs == poll) {
        EXPECT_EQ(quiet, 20) << "stood upright after " << quiet << " steps without an encoding";
      } else {
        quiet = s.runningEncodings > 0 ? 0 : quiet + 1;
        EXPECT_LE(quiet, 20);
      }
    }
    EXPECT_EQ(turns, scenario.turns);
    EXPECT_EQ(shown.back().delayMs, poll) << "never stood upright again";
  }
}

}  // namespace
