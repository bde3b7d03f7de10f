// A Lyrebox volume mounted for one test: `lyrebox -f` runs on a fresh root folder and
// mount point in a temporary folder, with HOME and the log file there too. TearDown
// always unmounts (fusermount3 -u, then -u -z), waits for the daemon to end, and fails
// the test when the daemon wrote anything to stderr.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "FlacFixtures.h"
#include "TestUtil.h"

namespace E2E {

using namespace TestUtil;

// Runs a shell script under `timeout`: its exit status, or its output (failing the test
// on a non-zero exit).
int Sh(const std::string& script);
std::string ShOut(const std::string& script);
// Polls until done() or the deadline; for waiting on a mount, never as synchronisation.
bool WaitUntil(const std::function<bool()>& done, double seconds);
bool IsMounted(const std::string& path);
// The errno of a failed call (a negative result), 0 when it succeeded.
inline int ErrnoOf(long result) { return result < 0 ? errno : 0; }
// Hidden cache files (".name_XXXXXX.wav") below folder, one a line, once the releases of
// closed files have arrived.
std::string CacheFiles(const std::string& folder);
// A WAV file of random samples (8, 16 or 24 bits) that starts with both extremes of the
// depth, with the chunks `before` and `after` around "data".
std::string MakeNoiseWAV(int channels, int rate, int bits, double seconds, uint64_t seed,
                         const std::string& before = "", const std::string& after = "");

class VolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& dir : {root_, mount_, Tmp("home")}) ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  }
  void TearDown() override {
    const int status = StopVolume();
    EXPECT_TRUE(status == -1 || status == 0) << "lyrebox's exit status after fusermount3 -u: " << status;
  }

  // Starts `lyrebox -f --log LOG [extra...] ROOT MOUNT` and waits for the mount.
  void StartVolume(const std::vector<std::string>& extra = {});
  // Unmounts and waits for the daemon; its exit status (-1 when none ran).
  int StopVolume();
  // Ends the daemon with signal (SIGKILL: no chance to clean up), waits for it and
  // detaches what is left of the mount.
  void KillVolume(int signal);
  // Waits (a minute at most, then kills) for the daemon to end; its wait status.
  int Reap(const char* when);

  std::string Root(const std::string& name = "") const { return root_ + "/" + name; }
  std::string Vol(const std::string& name = "") const { return mount_ + "/" + name; }
  std::string Tmp(const std::string& name) const { return tmp_.File(name); }
  std::string LogText() const { return FileExists(Tmp("log.txt")) ? ReadFile(Tmp("log.txt")) : ""; }

  TempDir tmp_;
  std::string root_ = tmp_.File("root"), mount_ = tmp_.File("mnt");
  pid_t pid_ = -1;
};

}  // namespace E2E
