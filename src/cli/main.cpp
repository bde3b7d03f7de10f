// lyrebox [OPTIONS] ROOT [MOUNTPOINT]: mounts ROOT as a Lyrebox volume and serves it
// until it is unmounted (fusermount3 -u, umount, SIGINT, SIGTERM or SIGHUP). Also the
// mount helper of the type "fuse.lyrebox": mount.fuse3 runs it as `lyrebox ROOT
// MOUNTPOINT -o OPTS`, with mount(8)'s own options among OPTS.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "audio/FLACEncode.h"
#include "audio/InfoTags.h"
#include "fs/MountPoint.h"
#include "transcode/CacheBudget.h"
#include "fs/Preferences.h"
#include "fs/Volume.h"

#ifndef LYREBOX_VERSION
#define LYREBOX_VERSION "unknown"
#endif

namespace {

const char* const kUsage =
    "Usage: lyrebox [OPTIONS] ROOT [MOUNTPOINT] [OPTIONS]\n"
    "\n"
    "Mounts the folder ROOT as a volume in which every FLAC file appears as a WAV file,\n"
    "decoded on demand, and every WAV file written or copied into it is stored in ROOT\n"
    "as a FLAC file when it is closed. Everything else passes through unchanged.\n"
    "Without MOUNTPOINT the volume is mounted at \"$HOME/Lyrebox\" (\"$HOME/Lyrebox N\"\n"
    "when that is taken), a folder made for it and removed after unmounting; a given\n"
    "MOUNTPOINT must be an existing folder and is left in place. Options may also follow\n"
    "ROOT and MOUNTPOINT, as mount(8) passes them for the type fuse.lyrebox.\n"
    "\n"
    "Options:\n"
    "  -c, --compression N  FLAC compression level 0..8 for files encoded in this run\n"
    "                       (default: the stored preference, else 5)\n"
    "  -f, --foreground     stay in the foreground (default: go to the background once\n"
    "                       mounted)\n"
    "  -d, --debug          print every FUSE request on stderr (implies -f)\n"
    "  -o OPTS              mount options, comma-separated; may be given more than once.\n"
    "                       compression=N, cache_size=SIZE, log=FILE and tags are -c,\n"
    "                       --cache-size, --log and --tags; mount(8)'s own (defaults, auto,\n"
    "                       noauto, nofail, _netdev, user, users, nouser, x-*,\n"
    "                       comment=*) are ignored; all others go to FUSE (e.g. ro,\n"
    "                       allow_other). With allow_other the kernel checks\n"
    "                       permissions (default_permissions) and new items belong to\n"
    "                       the user who made them (when run as root).\n"
    "      --log FILE       append diagnostic lines to FILE (default: LyreboxLog.txt in\n"
    "                       the desktop folder, or in \"$XDG_STATE_HOME/lyrebox\" where\n"
    "                       there is no desktop folder)\n"
    "      --tags           show the Vorbis comments of FLAC files as a LIST/INFO chunk\n"
    "                       and store the LIST/INFO tags of WAV files as Vorbis comments\n"
    "                       (-o tags; default: the stored preference \"Tags\", else off)\n"
    "      --cache-size SIZE\n"
    "                       disk space the decoded audio of all open files may take in\n"
    "                       their caches, in bytes or with a suffix K, M or G (default\n"
    "                       1G, at least 8M, never more than a tenth of the free space\n"
    "                       of ROOT's file system); what was read longest ago is given\n"
    "                       back and decoded again when read. Written data never counts.\n"
    "  -V, --version        print the version and exit\n"
    "  -h, --help           print this help and exit\n"
    "\n"
    "Unmount with \"fusermount3 -u MOUNTPOINT\" (or umount as root) or by sending SIGINT\n"
    "or SIGTERM to the lyrebox process; a conversion in progress finishes first. Under\n"
    "systemd (Type=notify) readiness is reported once the volume is mounted.\n";

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

// Options that mount(8) or fstab hand to every mount helper and that concern neither
// lyrebox nor FUSE.
bool IsMountCommandOption(const std::string& o) {
  static const char* const kNames[] = {"defaults", "auto", "noauto", "nofail", "_netdev",
                                       "user", "users", "nouser", "owner", "group"};
  for (const char* name : kNames) {
    if (o == name) return true;
  }
  return o.rfind("x-", 0) == 0 || o.rfind("X-", 0) == 0 || o.rfind("comment=", 0) == 0;
}

// A size in bytes: digits, optionally followed by K, M or G (powers of 1024).
bool ParseSize(const char* text, long long& bytes) {
  char* end;
  errno = 0;
  const long long v = strtoll(text, &end, 10);
  if (errno || end == text || v < 0) return false;
  int shift = 0;
  switch (*end) {
    case '\0': break;
    case 'k': case 'K': shift = 10; ++end; break;
    case 'm': case 'M': shift = 20; ++end; break;
    case 'g': case 'G': shift = 30; ++end; break;
    default: return false;
  }
  if (*end || v > (LLONG_MAX >> shift)) return false;
  bytes = v << shift;
  return true;
}

struct CommandOptions {
  int level = -1;
  bool tags = false;
  long long cacheSize = -1;
  std::string logFile;
  std::vector<std::string> fuseOptions;
};

// Takes one -o value apart: lyrebox's own options into options, mount(8)'s dropped,
// the rest kept for FUSE. "" when fine, else the error message.
std::string SortMountOptions(const std::string& list, CommandOptions& options) {
  std::string rest;
  for (size_t start = 0; start <= list.size();) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    const std::string o = list.substr(start, comma - start);
    start = comma + 1;
    if (o.empty() || IsMountCommandOption(o)) continue;
    if (o.rfind("compression=", 0) == 0) {
      if (!ParseLevel(o.c_str() + 12, options.level)) return "compression level must be 0..8: " + o.substr(12);
    } else if (o.rfind("cache_size=", 0) == 0) {
      if (!ParseSize(o.c_str() + 11, options.cacheSize)) return "not a size: " + o.substr(11);
    } else if (o.rfind("log=", 0) == 0) {
      options.logFile = o.substr(4);
    } else if (o == "tags") {
      options.tags = true;
    } else {
      rest += (rest.empty() ? "" : ",") + o;
    }
  }
  if (!rest.empty()) options.fuseOptions.push_back(rest);
  return "";
}

// Tells systemd (Type=notify) that the volume is mounted: "READY=1" to $NOTIFY_SOCKET.
void NotifyReady() {
  const char* socketPath = getenv("NOTIFY_SOCKET");
  if (!socketPath || (socketPath[0] != '/' && socketPath[0] != '@')) return;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  const size_t length = strlen(socketPath);
  if (length >= sizeof address.sun_path) return;
  memcpy(address.sun_path, socketPath, length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // the abstract namespace
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const char ready[] = "READY=1";
  sendto(fd, ready, sizeof ready - 1, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
  close(fd);
  unsetenv("NOTIFY_SOCKET");
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
  enum { kLogOption = 1000, kTagsOption, kCacheSizeOption };
  const option longOptions[] = {
      {"compression", required_argument, nullptr, 'c'},
      {"foreground", no_argument, nullptr, 'f'},
      {"debug", no_argument, nullptr, 'd'},
      {"log", required_argument, nullptr, kLogOption},
      {"tags", no_argument, nullptr, kTagsOption},
      {"cache-size", required_argument, nullptr, kCacheSizeOption},
      {"version", no_argument, nullptr, 'V'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  Lyrebox::VolumeOptions options;
  CommandOptions command;
  bool foreground = false;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":c:fdo:Vh", longOptions, nullptr)) != -1;) {
    switch (c) {
      case 'c':
        if (!ParseLevel(optarg, command.level)) return Fail("compression level must be 0..8: " + std::string(optarg), 2);
        break;
      case 'f': foreground = true; break;
      case 'd': options.debug = foreground = true; break;
      case 'o': {
        std::string problem = SortMountOptions(optarg, command);
        if (!problem.empty()) return Fail(problem, 2);
        break;
      }
      case kLogOption: command.logFile = optarg; break;
      case kTagsOption: command.tags = true; break;
      case kCacheSizeOption:
        if (!ParseSize(optarg, command.cacheSize)) return Fail("not a size: " + std::string(optarg) + " (see --help)", 2);
        break;
      case 'V': std::cout << "lyrebox " << LYREBOX_VERSION << "\n"; return 0;
      case 'h': std::cout << kUsage; return 0;
      case ':': return Fail(std::string("option needs a value: ") + argv[optind - 1] + " (see --help)", 2);
      default: return Fail(std::string("unknown option: ") + argv[optind - 1] + " (see --help)", 2);
    }
  }
  int rest = argc - optind;
  if (rest < 1 || rest > 2) return Fail("expected ROOT [MOUNTPOINT] (see --help)", 2);
  options.root = Absolute(argv[optind]);
  options.fuseOptions = command.fuseOptions;

  int level = command.level;
  if (level < 0) {
    level = Lyrebox::LoadCompression(Lyrebox::PreferencesPath());
    if (level < 0 || level > 8) level = Lyrebox::kDefaultCompression;
  }
  SetCompression(level);
  Vantor::Audio::SetTagsEnabled(command.tags || Lyrebox::LoadTags(Lyrebox::PreferencesPath()));
  if (command.cacheSize >= 0) Vantor::CacheBudget::Process().SetLimit(command.cacheSize);
  if (!command.logFile.empty()) Lyrebox::SetLogFile(Absolute(command.logFile));

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
    std::cout << "lyrebox: " << options.root << " mounted at " << options.mountPoint << " (log: "
              << Lyrebox::LogFile() << ")" << std::endl;
    NotifyReady();
    if (!foreground) {
      Daemonize();
      Lyrebox::LogLostRecordsToSyslog();
    }

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
