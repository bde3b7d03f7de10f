// A Lyrebox volume mounted for one test: `lyrebox -f` runs on a fresh root folder and
// mount point in a temporary folder, with HOME and the log file there too. TearDown
// always unmounts (fusermount3 -u, then -u -z), waits for the daemon to end, and fails
// the test when the daemon wrote anything to stderr.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "TestUtil.h"

namespace E2E {

// Runs a shell script under `timeout`; its exit status.
int Sh(const std::string& script);
// Its standard output; fails the test on a non-zero exit.
std::string ShOut(const std::string& script);
// Polls until done() or the deadline; for waiting on a mount, never as synchronisation.
bool WaitUntil(const std::function<bool()>& done, double seconds);
bool IsMounted(const std::string& path);
// The names in a folder (without "." and ".."), sorted.
std::vector<std::string> Names(const std::string& folder);
// Hidden cache files (".name_XXXXXX.wav") anywhere below folder.
// Hidden cache files under folder, once the releases of closed files have arrived.
std::vector<std::string> CacheFiles(const std::string& folder);

// A WAV file of random samples: bits 8/16/20/24 (20 in 3-byte containers), with the
// chunks `before` and `after` around "data".
std::string MakeNoiseWAV(int channels, int rate, int bits, double seconds, uint64_t seed,
                         const std::string& before = "", const std::string& after = "");
// flac -s --keep-foreign-metadata wav -> flac (fails the test on error).
void EncodeFLAC(const std::string& wav, const std::string& flac, bool keepChunks = true);
// The WAV file that `flac -d --keep-foreign-metadata --force-legacy-wave-format` makes.
std::string DecodeFLAC(const std::string& flac);

// Byte-for-byte equality that reports sizes and the first difference, not the bytes.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected);

class VolumeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts `lyrebox -f --log LOG [extra...] ROOT MOUNT` and waits for the mount.
  void StartVolume(const std::vector<std::string>& extra = {});
  // Unmounts and waits for the daemon; its exit status (-1 when none ran).
  int StopVolume();

  std::string Root(const std::string& name = "") const { return root_ + "/" + name; }
  std::string Vol(const std::string& name = "") const { return mount_ + "/" + name; }
  std::string Tmp(const std::string& name) const { return tmp_.File(name); }
  std::string LogText() const;

  // Set before SetUp runs StartVolume to mount elsewhere or not at all.
  bool startInSetUp_ = true;
  TestUtil::TempDir tmp_;
  std::string root_, mount_;
  pid_t pid_ = -1;
};

}  // namespace E2E
