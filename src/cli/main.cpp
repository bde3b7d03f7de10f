// lyrebox [OPTIONS] ROOT [MOUNTPOINT]: mounts ROOT as a Lyrebox volume and serves it
// until it is unmounted (fusermount3 -u, SIGINT, SIGTERM or SIGHUP).
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <string>
#include <thread>

#include "audio/FLACEncode.h"
#include "fs/MountPoint.h"
#include "fs/Preferences.h"
#include "fs/Volume.h"

#ifndef LYREBOX_VERSION
#define LYREBOX_VERSION "unknown"
#endif

namespace {

const char* const kUsage =
    "Usage: lyrebox [OPTIONS] ROOT [MOUNTPOINT]\n"
    "\n"
    "Mounts the folder ROOT as a volume in which every FLAC file appears as a WAV file,\n"
    "decoded on demand, and every WAV file written or copied into it is stored in ROOT\n"
    "as a FLAC file when it is closed. Everything else passes through unchanged.\n"
    "Without MOUNTPOINT the volume is mounted at \"$HOME/Lyrebox\" (\"$HOME/Lyrebox N\"\n"
    "when that is taken), a folder made for it and removed after unmounting; a given\n"
    "MOUNTPOINT must be an existing folder and is left in place.\n"
    "\n"
    "Options:\n"
    "  -c, --compression N  FLAC compression level 0..8 for files encoded in this run\n"
    "                       (default: the stored preference, else 5)\n"
    "  -f, --foreground     stay in the foreground (default: go to the background once\n"
    "                       mounted)\n"
    "  -d, --debug          print every FUSE request on stderr (implies -f)\n"
    "  -o OPTS              FUSE mount options, comma-separated (e.g. ro, allow_other);\n"
    "                       may be given more than once. With allow_other the kernel\n"
    "                       checks permissions (default_permissions) and new items\n"
    "                       belong to the user who made them (when run as root).\n"
    "      --log FILE       append diagnostic lines to FILE (default:\n"
    "                       \"$HOME/Desktop/LyreboxLog.txt\")\n"
    "  -V, --version        print the version and exit\n"
    "  -h, --help           print this help and exit\n"
    "\n"
    "Unmount with \"fusermount3 -u MOUNTPOINT\" or by sending SIGINT or SIGTERM to the\n"
    "lyrebox process; a conversion in progress finishes first.\n";

int Fail(const std::string& message, int status = 1) {
  std::cerr << "lyrebox: " << message << "\n";
  return status;
}

bool ParseLevel(const char* text, int& level) {
  char* end;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno || end == text || *end || v < 0 || v > 8) return false;
  level = static_cast<int>(v);
  return true;
}

std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[PATH_MAX];
  return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
}

// Goes to the background: the parent leaves at once with success (the volume is mounted
// already); the child continues in a new session without a terminal.
void Daemonize() {
  pid_t pid = fork();
  if (pid < 0) return;  // stay in the foreground
  if (pid > 0) _exit(0);
  setsid();
  if (chdir("/") != 0) {
    // nothing depends on the working folder: every path is absolute by now
  }
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) close(null);
  }
}

}  // namespace

int main(int argc, char** argv) {
  enum { kLogOption = 1000 };
  const option longOptions[] = {
      {"compression", required_argument, nullptr, 'c'},
      {"foreground", no_argument, nullptr, 'f'},
      {"debug", no_argument, nullptr, 'd'},
      {"log", required_argument, nullptr, kLogOption},
      {"version", no_argument, nullptr, 'V'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  Lyrebox::VolumeOptions options;
  bool foreground = false;
  int level = -1;
  std::string logFile;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":c:fdo:Vh", longOptions, nullptr)) != -1;) {
    switch (c) {
      case 'c':
        if (!ParseLevel(optarg, level)) return Fail("compression level must be 0..8: " + std::string(optarg), 2);
        break;
      case 'f': foreground = true; break;
      case 'd': options.debug = foreground = true; break;
      case 'o': options.fuseOptions.push_back(optarg); break;
      case kLogOption: logFile = optarg; break;
      case 'V': std::cout << "lyrebox " << LYREBOX_VERSION << "\n"; return 0;
      case 'h': std::cout << kUsage; return 0;
      case ':': return Fail(std::string("option needs a value: ") + argv[optind - 1] + " (see --help)", 2);
      default: return Fail(std::string("unknown option: ") + argv[optind - 1] + " (see --help)", 2);
    }
  }
  int rest = argc - optind;
  if (rest < 1 || rest > 2) return Fail("expected ROOT [MOUNTPOINT] (see --help)", 2);
  options.root = Absolute(argv[optind]);

  if (level < 0) {
    level = Lyrebox::LoadCompression(Lyrebox::PreferencesPath());
    if (level < 0 || level > 8) level = Lyrebox::kDefaultCompression;
  }
  SetCompression(level);
  if (!logFile.empty()) Lyrebox::SetLogFile(Absolute(logFile));

  std::string problem = Lyrebox::CheckRootFolder(options.root);
  if (!problem.empty()) return Fail(problem);
  bool madeMountPoint = false;
  if (rest == 2) {
    options.mountPoint = Absolute(argv[optind + 1]);
    problem = Lyrebox::CheckMountPoint(options.mountPoint);
    if (!problem.empty()) return Fail(problem);
  } else {
    options.mountPoint = Lyrebox::CreateMountPoint(problem);
    if (options.mountPoint.empty()) return Fail("cannot make a mount point: " + problem);
    madeMountPoint = true;
  }

  // Signals are taken by one thread, which unmounts; every other thread blocks them.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int status;
  {
    Lyrebox::Volume volume(options);
    std::string error;
    if (!volume.Mount(error)) {
      std::cerr << "Mount Failed: " << error << "\n";
      if (madeMountPoint) Lyrebox::RemoveMountPoint(options.mountPoint);
      return 1;
    }
    std::cout << "lyrebox: " << options.root << " mounted at " << options.mountPoint << std::endl;
    if (!foreground) Daemonize();

    std::atomic<bool> done{false};
    std::thread waiter([&] {
      for (;;) {
        int s = 0;
        if (sigwait(&signals, &s) != 0) continue;
        if (done) return;
        if (s != SIGUSR1) volume.Unmount();
      }
    });
    status = volume.Run();
    done = true;
    pthread_kill(waiter.native_handle(), SIGUSR1);
    waiter.join();
  }
  if (madeMountPoint) Lyrebox::RemoveMountPoint(options.mountPoint);
  return status;
}
