// The mount thread's events, with the fake session the headless shell test uses.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "MountSession.h"

namespace {

using namespace Lyrebox::Tray;

// Collects the events the mount thread reports.
struct Recorder {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> events;

  MountEvents Events() {
    return {[this](const std::string& e) { Add("failed: " + e); },
            [this](const std::string& p) { Add("mounted: " + p); },
            [this] { Add("unmounted"); }};
  }
  void Add(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
    changed.notify_all();
  }
  void WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return events.size() >= count; });
  }
};

TEST(MountThread, FailedMountReportsTheReasonOnly) {
  Recorder recorder;
  MountThread thread(MakeFakeSession("fail:fuse: device not found"), "/home/ann/Lyrebox",
                     recorder.Events());
  recorder.WaitFor(1);
  thread.Stop();
  EXPECT_EQ(recorder.events, std::vector<std::string>{"failed: fuse: device not found"});
}

TEST(MountThread, MountedVolumeServesUntilStopped) {
  Recorder recorder;
  MountThread thread(MakeFakeSession("ok"), "/home/ann/Lyrebox 1", recorder.Events());
  recorder.WaitFor(1);
  EXPECT_EQ(recorder.events, std::vector<std::string>{"mounted: /home/ann/Lyrebox 1"});
  thread.Stop();
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{"mounted: /home/ann/Lyrebox 1", "unmounted"}));
  thread.Stop();  // a second stop is harmless
}

TEST(MountThread, FakeSessionAcceptsOnlyItsTwoForms) {
  EXPECT_NE(MakeFakeSession("ok"), nullptr);
  EXPECT_NE(MakeFakeSession("fail:"), nullptr);
  EXPECT_EQ(MakeFakeSession(""), nullptr);
  EXPECT_EQ(MakeFakeSession("fail"), nullptr);
  EXPECT_EQ(MakeFakeSession("okay"), nullptr);
}

}  // namespace
