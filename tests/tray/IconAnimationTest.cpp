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

struct Shown {
  int atMs;
  int index;
  int delayMs;           // until the next look
  int runningEncodings;  // at that moment
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
  IconAnimation::Step step = animation.Start();
  for (;;) {
    if (step.index != IconAnimation::noChange) shown.push_back({now, step.index, step.delayMs, running()});
    now += step.delayMs;
    if (now > untilMs) return shown;
    step = animation.Advance();
  }
}

// One turn of the icon: the steps from leaving the upright image until it is shown again.
struct Turn {
  std::vector<Shown> steps;
  int uprightAtMs;
};

std::vector<Turn> Turns(const std::vector<Shown>& shown) {
  std::vector<Turn> turns;
  EXPECT_EQ(shown.front().index, 0);
  EXPECT_EQ(shown.front().atMs, 0);
  EXPECT_EQ(shown.front().delayMs, IconAnimation::idlePollMs);
  bool turning = false;
  for (size_t i = 1; i < shown.size(); ++i) {
    const Shown& s = shown[i];
    // A step keeps the fast pace; going back to polling ends the turn.
    bool step = s.delayMs == IconAnimation::stepMs;
    if (!turning) {
      EXPECT_TRUE(step) << "image changed while idle at " << s.atMs;
      turns.push_back({{s}, -1});
      turning = true;
    } else if (!step) {
      EXPECT_EQ(s.index, 0) << "stopped turning at a slant at " << s.atMs;
      turns.back().uprightAtMs = s.atMs;
      turning = false;
    } else {
      turns.back().steps.push_back(s);
    }
  }
  return turns;
}

struct Scenario {
  const char* name;
  std::vector<Encoding> encodings;
  int turns;  // separate turns expected
};

TEST(IconAnimation, TurnsWhileEncodingAndRunsOnTwentyStepsWithoutSnappingBack) {
  const std::vector<Scenario> scenarios = {
      {"idle", {}, 0},
      {"one long encoding", {{100, 2000}}, 1},
      {"overlapping encodings", {{100, 1000}, {800, 1500}}, 1},
      {"second one during the run-on", {{100, 1000}, {1300, 1600}}, 1},
      {"second one after the icon stood still", {{100, 1000}, {3000, 3300}}, 2},
      {"shorter than a poll, between two polls", {{260, 400}}, 0},
      {"short but seen by a poll", {{240, 260}}, 1},
  };
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    std::vector<Shown> shown = Play(scenario.encodings, 6000);
    std::vector<Turn> turns = Turns(shown);
    ASSERT_EQ(static_cast<int>(turns.size()), scenario.turns);
    int uprightSinceMs = 0;
    for (const Turn& turn : turns) {
      ASSERT_GE(turn.uprightAtMs, 0) << "never stood upright again";
      // It starts at a poll, one step clockwise, while an encoding runs.
      EXPECT_EQ((turn.steps.front().atMs - uprightSinceMs) % IconAnimation::idlePollMs, 0);
      uprightSinceMs = turn.uprightAtMs;
      EXPECT_EQ(turn.steps.front().index, 1);
      EXPECT_GT(turn.steps.front().runningEncodings, 0);
      int quiet = 0;
      for (size_t i = 0; i < turn.steps.size(); ++i) {
        if (i > 0) {
          EXPECT_EQ(turn.steps[i].index, (turn.steps[i - 1].index + 1) % 48) << "at " << i;
          EXPECT_EQ(turn.steps[i].atMs - turn.steps[i - 1].atMs, IconAnimation::stepMs);
        }
        quiet = turn.steps[i].runningEncodings > 0 ? 0 : quiet + 1;
        EXPECT_LE(quiet, 20) << "ran on too long at " << turn.steps[i].atMs;
      }
      // Exactly 20 steps after the last one that saw an encoding, then upright.
      EXPECT_EQ(quiet, 20);
      EXPECT_EQ(turn.uprightAtMs - turn.steps.back().atMs, IconAnimation::stepMs);
    }
  }
}

TEST(IconAnimation, LongEncodingGoesRoundMoreThanOnce) {
  std::vector<Shown> shown = Play({{0, 3000}}, 3000);
  // 0 at start, then the first poll (at 0 + 250) sees the encoding.
  ASSERT_GT(shown.size(), 60u);
  std::vector<int> indices;
  for (size_t i = 1; i < 51; ++i) indices.push_back(shown[i].index);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(indices[i], (i + 1) % 48);
}

}  // namespace
