#include "fs/Volume.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

#include "fs/FuseHost.h"
#include "fs/LoopbackFS.h"

namespace Lyrebox {

namespace {

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? resolved : "";
}

// Undoes the octal escapes (\040 for a blank) of /proc/self/mountinfo.
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      int v = 0;
      bool ok = true;
      for (size_t k = 1; k <= 3; ++k) {
        char c = s[i + k];
        ok = ok && c >= '0' && c <= '7';
        v = v * 8 + (c - '0');
      }
      if (ok) {
        out.push_back(static_cast<char>(v));
        i += 3;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

bool IsMountPoint(const std::string& real) {
  std::ifstream info("/proc/self/mountinfo");
  std::string line;
  while (std::getline(info, line)) {
    std::istringstream fields(line);
    std::string id, parent, dev, root, point;
    if ((fields >> id >> parent >> dev >> root >> point) && Unescape(point) == real) return true;
  }
  return false;
}

}  // namespace

std::string CheckRootFolder(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return path + ": " + strerror(errno);
  if (!S_ISDIR(st.st_mode)) return path + ": not a folder";
  if (access(path.c_str(), R_OK | X_OK) != 0) return path + ": not a readable folder";
  return "";
}

std::string CheckMountPoint(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return path + ": " + strerror(errno);
  if (!S_ISDIR(st.st_mode)) return path + ": not a folder";
  std::string real = RealPath(path);
  if (real.empty() || IsMountPoint(real)) return path + ": busy (a volume is mounted there)";
  return "";
}

struct Volume::Impl {
  explicit Impl(VolumeOptions o) : options(std::move(o)) {}

  enum class State { Idle, Mounted, Running, Stopped };

  VolumeOptions options;
  std::unique_ptr<LoopbackFS> fs;
  std::unique_ptr<FuseHost> host;
  timespec mounted{};  // by the kernel's coarse clock, just before mounting
  std::thread sweeper;  // removes what a crash left; joined before fs goes
  std::mutex mutex;  // guards state and exitRequested; taken alone
  State state = State::Idle;
  bool exitRequested = false;
};

Volume::Volume(VolumeOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Volume::~Volume() {
  Unmount();
  if (impl_->sweeper.joinable()) {
    impl_->fs->StopSweeping();
    impl_->sweeper.join();
  }
  impl_->host.reset();
  impl_->fs.reset();
}

const std::string& Volume::MountPoint() const { return impl_->options.mountPoint; }

bool Volume::Mount(std::string& error) {
  Impl& v = *impl_;
  if (v.state != Impl::State::Idle) {
    error = "already mounted";
    return false;
  }
  if (!(error = CheckRootFolder(v.options.root)).empty()) return false;
  if (!(error = CheckMountPoint(v.options.mountPoint)).empty()) return false;
  std::string root = RealPath(v.options.root);
  std::string mountPoint = RealPath(v.options.mountPoint);

  try {
    v.fs = std::make_unique<LoopbackFS>(root);
  } catch (const std::system_error& e) {
    error = root + ": " + e.code().message();
    return false;
  }
  if (root == "/") root.clear();
  if (mountPoint.size() > root.size() && mountPoint.compare(0, root.size(), root) == 0 &&
      mountPoint[root.size()] == '/')
    v.fs->HideVolumePath(mountPoint.substr(root.size()));
  v.host = std::make_unique<FuseHost>(*v.fs, v.options.fuseOptions, v.options.debug);
  clock_gettime(CLOCK_REALTIME_COARSE, &v.mounted);
  if (!v.host->Mount(mountPoint, error)) {
    v.host.reset();
    v.fs.reset();
    return false;
  }
  std::lock_guard<std::mutex> lock(v.mutex);
  v.state = Impl::State::Mounted;
  return true;
}

int Volume::Run() {
  Impl& v = *impl_;
  {
    std::lock_guard<std::mutex> lock(v.mutex);
    if (v.state != Impl::State::Mounted) return v.state == Impl::State::Stopped ? 0 : -1;
    v.state = Impl::State::Running;
  }
  // Temporary files that a crash left behind go, in the background: a large library
  // takes a while to walk, and nothing waits for it. Only files older than the mount are
  // taken, never one of this run's own. (Started here, not at mount: the command line
  // goes to the background in between, and a fork takes no thread along.)
  v.sweeper = std::thread([fs = v.fs.get(), mounted = v.mounted] { fs->SweepTemporaryFiles(mounted); });
  int r = v.host->Loop();
  {
    std::lock_guard<std::mutex> lock(v.mutex);
    v.state = Impl::State::Stopped;
  }
  v.host->Unmount();
  // Openings the kernel will never release now: finish them (encoding what they hold).
  v.fs->ReleaseAll();
  return r == 0 ? 0 : 1;
}

void Volume::Unmount() {
  Impl& v = *impl_;
  std::unique_lock<std::mutex> lock(v.mutex);
  if (v.exitRequested) return;
  v.exitRequested = true;
  if (v.state == Impl::State::Mounted) {
    v.state = Impl::State::Stopped;
    lock.unlock();
    v.host->Unmount();
    v.fs->ReleaseAll();
  } else if (v.state == Impl::State::Running) {
    lock.unlock();
    v.host->Exit();
  }
}

}  // namespace Lyrebox
