#include "VolumeFixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using TestUtil::Quote;

namespace E2E {

int Sh(const std::string& script) { return TestUtil::Run("timeout 120 sh -c " + Quote(script)); }

std::string ShOut(const std::string& script) {
  return TestUtil::RunOutput("timeout 120 sh -c " + Quote(script));
}

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
  std::string line;
  while (std::getline(info, line)) {
    std::istringstream fields(line);
    std::string id, parent, dev, root, point;
    if (!(fields >> id >> parent >> dev >> root >> point)) continue;
    for (size_t i; (i = point.find("\\040")) != std::string::npos;) point.replace(i, 4, " ");
    if (point == path) return true;
  }
  return false;
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  DIR* d = opendir(folder.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> CacheFiles(const std::string& folder) {
  // The kernel delivers the release of a closed file after close() has returned, so the
  // last cache files may go a moment later: wait a bounded time for them.
  std::vector<std::string> found;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  do {
    found.clear();
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::string n = it->path().filename();
      if (n.size() > 12 && n[0] == '.' && n.compare(n.size() - 4, 4, ".wav") == 0 && n[n.size() - 11] == '_')
        found.push_back(it->path());
    }
    if (found.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  return found;
}

std::string MakeNoiseWAV(int channels, int rate, int bits, double seconds, uint64_t seed,
                         const std::string& before, const std::string& after) {
  using TestUtil::LE16;
  using TestUtil::LE32;
  const unsigned container = static_cast<unsigned>((bits + 7) / 8);
  size_t frames = static_cast<size_t>(seconds * rate);
  std::string samples = TestUtil::RandomBytes(frames * channels * container, seed);
  std::string fmt = TestUtil::FmtChunk(channels, rate, bits, static_cast<int>(container));
  if (bits == 20) {
    for (size_t i = 0; i < samples.size(); i += 3) samples[i] = static_cast<char>(samples[i] & 0xF0);
    // 20 valid bits in 24: only WAVE_FORMAT_EXTENSIBLE can say so.
    const unsigned align = channels * container;
    fmt = TestUtil::Chunk("fmt ", LE16(0xFFFE) + LE16(channels) + LE32(rate) + LE32(align * rate) + LE16(align) +
                                      LE16(24) + LE16(22) + LE16(20) + LE32(channels == 2 ? 3 : 0) + LE32(1) +
                                      std::string("\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 12));
  }
  std::string body = "WAVE" + fmt + before + TestUtil::Chunk("data", samples) + after;
  return "RIFF" + LE32(static_cast<unsigned>(body.size())) + body;
}

namespace {

// Runs the flac tool quietly; its messages join the failure when it fails.
::testing::AssertionResult Flac(const std::string& args, const std::string& messages) {
  if (Sh("flac -s -f " + args + " 2>" + Quote(messages)) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "flac " << args << ": " << TestUtil::ReadFile(messages);
}

}  // namespace

void EncodeFLAC(const std::string& wav, const std::string& flac, bool keepChunks) {
  ASSERT_TRUE(Flac(std::string(keepChunks ? "--keep-foreign-metadata " : "") + "--channel-map=none -o " +
                       Quote(flac) + " " + Quote(wav),
                   flac + ".messages"));
  unlink((flac + ".messages").c_str());
}

std::string DecodeFLAC(const std::string& flac) {
  std::string out = flac + ".decoded.wav", messages = flac + ".messages";
  const std::string args = "-d --force-legacy-wave-format -o " + Quote(out) + " " + Quote(flac);
  // The chunks come back where the file has them; a file without any decodes plainly.
  if (!Flac("--keep-foreign-metadata " + args, messages)) {
    EXPECT_TRUE(Flac(args, messages));
  }
  std::string bytes = TestUtil::FileExists(out) ? TestUtil::ReadFile(out) : "";
  unlink(out.c_str());
  unlink(messages.c_str());
  return bytes;
}

::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t i = 0;
  while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
  return ::testing::AssertionFailure() << actual.size() << " bytes instead of " << expected.size()
                                       << ", first difference at offset " << i;
}

void VolumeTest::SetUp() {
  root_ = tmp_.File("root");
  mount_ = tmp_.File("mnt");
  ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(mount_.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(tmp_.File("home").c_str(), 0755), 0);
  if (startInSetUp_) StartVolume();
}

void VolumeTest::TearDown() {
  int status = StopVolume();
  if (status != -1) {
    EXPECT_EQ(status, 0) << "lyrebox's exit status after fusermount3 -u";
  }
}

void VolumeTest::StartVolume(const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"lyrebox", "-f", "--log", tmp_.File("log.txt")};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(root_);
  args.push_back(mount_);
  std::string out = tmp_.File("daemon.out"), err = tmp_.File("daemon.err");
  std::string home = tmp_.File("home");

  // Everything the child needs is made before fork: it only calls async-signal-safe functions.
  std::vector<std::string> env = {"HOME=" + home};
  for (char** e = environ; *e; ++e) {
    if (std::string(*e).rfind("HOME=", 0) != 0) env.push_back(*e);
  }
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  int o = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(o, STDOUT_FILENO);
    dup2(e, STDERR_FILENO);
    execve(LYREBOX_BINARY, argv.data(), envp.data());
    _exit(127);
  }
  close(o);
  close(e);
  ASSERT_GE(pid_, 0);
  bool exited = false;
  bool mounted = WaitUntil(
      [&] {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) exited = true;
        return exited || IsMounted(mount_);
      },
      20);
  if (exited) pid_ = -1;
  ASSERT_TRUE(mounted && !exited) << "lyrebox did not mount: " << TestUtil::ReadFile(err);
}

int VolumeTest::StopVolume() {
  if (pid_ < 0) return -1;
  if (IsMounted(mount_)) Sh("fusermount3 -u " + Quote(mount_));
  if (IsMounted(mount_)) {
    ADD_FAILURE() << "busy at unmount; detaching";
    Sh("fusermount3 -u -z " + Quote(mount_));
  }
  int status = 0;
  bool ended = WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 60);
  if (!ended) {
    ADD_FAILURE() << "lyrebox did not end after unmounting";
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  std::string err = tmp_.File("daemon.err");
  EXPECT_EQ(TestUtil::FileExists(err) ? TestUtil::ReadFile(err) : "", "") << "unexpected daemon output";
  unlink(err.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string VolumeTest::LogText() const {
  std::string log = tmp_.File("log.txt");
  return TestUtil::FileExists(log) ? TestUtil::ReadFile(log) : "";
}

}  // namespace E2E
