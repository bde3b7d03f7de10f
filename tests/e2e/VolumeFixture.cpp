#include "VolumeFixture.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace E2E {

int Sh(const std::string& script) { return Run("timeout 120 sh -c " + Quote(script)); }

std::string ShOut(const std::string& script) { return RunOutput("timeout 120 sh -c " + Quote(script)); }

bool WaitUntil(const std::function<bool()>& done, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool IsMounted(const std::string& path) {
  std::ifstream info("/proc/self/mountinfo");
  for (std::string line, skip, point; std::getline(info, line);) {
    std::istringstream(line) >> skip >> skip >> skip >> skip >> point;
    for (size_t i; (i = point.find("\\040")) != std::string::npos;) point.replace(i, 4, " ");
    if (point == path) return true;
  }
  return false;
}

std::string CacheFiles(const std::string& folder) {
  // The kernel delivers the release of a closed file after close() has returned, so the
  // last cache files may go a moment later.
  std::string found;
  WaitUntil([&] { return (found = ShOut("find " + Quote(folder) + " -name '.*_??????.wav'")).empty(); }, 5);
  return found;
}

std::string MakeNoiseWAV(int channels, int rate, int bits, double seconds, uint64_t seed,
                         const std::string& before, const std::string& after) {
  const size_t width = static_cast<size_t>(bits + 7) / 8;
  std::string samples = RandomBytes(static_cast<size_t>(seconds * rate) * channels * width, seed);
  // The lowest and the highest value of the depth first (8-bit samples are unsigned).
  const std::string zeros(width - 1, '\0'), ones(width - 1, '\xff');
  samples.replace(0, 2 * width, width == 1 ? std::string("\x00\xff", 2) : zeros + '\x80' + ones + '\x7f');
  return MakeWAV(channels, rate, bits, samples, before, after);
}

void VolumeTest::StartVolume(const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"lyrebox", "-f", "--log", Tmp("log.txt")};
  args.insert(args.end(), extra.begin(), extra.end());
  args.insert(args.end(), {root_, mount_});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string home = Tmp("home"), err = Tmp("daemon.err");
  pid_ = fork();
  if (pid_ == 0) {  // the test runs no other thread now, so the child may call anything
    setenv("HOME", home.c_str(), 1);
    if (freopen("/dev/null", "w", stdout) && freopen(err.c_str(), "a", stderr)) execv(LYREBOX_BINARY, argv.data());
    _exit(127);
  }
  ASSERT_GE(pid_, 0);
  bool exited = false;
  WaitUntil([&] { return (exited = waitpid(pid_, nullptr, WNOHANG) == pid_) || IsMounted(mount_); }, 20);
  if (exited) pid_ = -1;
  ASSERT_TRUE(!exited && IsMounted(mount_)) << "lyrebox did not mount: " << ReadFile(err);
}

int VolumeTest::Reap(const char* when) {
  int status = 0;
  if (!WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 60)) {
    ADD_FAILURE() << "lyrebox did not end " << when;
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  return status;
}

void VolumeTest::KillVolume(int signal) {
  if (pid_ < 0) return;
  kill(pid_, signal);
  Reap("on a signal");
  if (IsMounted(mount_)) Sh("fusermount3 -u -z " + Quote(mount_));
  // A killed daemon may say anything, but not what a sanitizer finds.
  const std::string err = Tmp("daemon.err"), said = FileExists(err) ? ReadFile(err) : "";
  EXPECT_EQ(said.find("Sanitizer"), std::string::npos) << said;
  EXPECT_EQ(said.find("runtime error"), std::string::npos) << said;
  unlink(err.c_str());
}

int VolumeTest::StopVolume() {
  if (pid_ < 0) return -1;
  if (IsMounted(mount_)) Sh("fusermount3 -u " + Quote(mount_));
  if (IsMounted(mount_)) {
    ADD_FAILURE() << "busy at unmount; detaching";
    Sh("fusermount3 -u -z " + Quote(mount_));
  }
  const int status = Reap("after unmounting");
  const std::string err = Tmp("daemon.err");
  EXPECT_EQ(FileExists(err) ? ReadFile(err) : "", "") << "unexpected daemon output";
  unlink(err.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace E2E
