// The lyrebox command: refusals with one line and a failing exit, clean ends on SIGTERM
// and fusermount3 -u (a conversion in progress finishes first), the default mount
// point, the background mode, readiness told to systemd, and new items belonging to
// their maker on a shared volume. (mount(8) and fstab: mount_e2e.sh.)
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

#include "VolumeFixture.h"

namespace E2E {
namespace {

class CliTest : public VolumeTest {
 protected:
  // Runs lyrebox with HOME in the temporary folder; "status|stderr".
  std::string Lyrebox(const std::string& args) {
    int status = Sh("HOME=" + Quote(Tmp("home")) + " " + LYREBOX_BINARY + " " + args + " 2>" + Quote(Tmp("err")) +
                    " >/dev/null");
    return std::to_string(status) + "|" + ReadFile(Tmp("err"));
  }
};

TEST_F(CliTest, RefusesBadRootAndMountPointWithOneLine) {
  WriteFile(Tmp("file"), "x");
  const std::pair<std::string, std::string> cases[] = {
      {Quote(Tmp("missing")) + " " + Quote(mount_), Tmp("missing") + ": No such file or directory"},
      {Quote(Tmp("file")) + " " + Quote(mount_), Tmp("file") + ": not a folder"},
      {Quote(root_) + " " + Quote(Tmp("nowhere")), Tmp("nowhere") + ": No such file or directory"},
      {Quote(root_) + " " + Quote(Tmp("file")), Tmp("file") + ": not a folder"},
      {"-c 9 " + Quote(root_) + " " + Quote(mount_), "compression level must be 0..8: 9"},
      {Quote(root_) + " " + Quote(mount_) + " -o nofail,compression=x", "compression level must be 0..8: x"},
      {"-o no_such_option -f " + Quote(root_) + " " + Quote(mount_), ""},
  };
  for (const auto& [args, line] : cases) {
    SCOPED_TRACE(args);
    std::string result = Lyrebox(args);
    ASSERT_NE(result.substr(0, 2), "0|");
    std::string err = result.substr(result.find('|') + 1);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    if (!line.empty()) EXPECT_EQ(err, "lyrebox: " + line + "\n");
    else EXPECT_EQ(err.rfind("Mount Failed: ", 0), 0u) << err;
    EXPECT_FALSE(IsMounted(mount_));
  }
  StartVolume();
  EXPECT_EQ(Lyrebox("-f " + Quote(root_) + " " + Quote(mount_)), "1|lyrebox: " + mount_ + ": busy (a volume is mounted there)\n");
}

TEST_F(CliTest, SigtermUnmountsAfterTheConversionInProgress) {
  StartVolume();
  const std::string wav = MakeNoiseWAV(2, 44100, 16, 20.0, 51);
  const int fd = open(Vol("big.wav").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_EQ(write(fd, wav.data(), wav.size()), static_cast<ssize_t>(wav.size()));
  // close() starts the conversion; the signal arrives before, while or after it runs.
  std::thread closer([fd] { close(fd); });
  kill(pid_, SIGTERM);
  closer.join();
  ASSERT_TRUE(WaitUntil([&] { return !IsMounted(mount_); }, 60));
  EXPECT_EQ(StopVolume(), 0);
  EXPECT_TRUE(SameBytes(FlacDecode(Root("big.flac")), wav));
  EXPECT_EQ(CacheFiles(root_), "");
  EXPECT_TRUE(FileExists(mount_)) << "a given mount point stays";
}

TEST_F(CliTest, DefaultMountPointIsMadeAndRemoved) {
  const std::string base = Tmp("home") + "/Lyrebox";
  ASSERT_EQ(mkdir(base.c_str(), 0755), 0);  // taken: the next candidate is used
  const std::string chosen = base + " 1";
  // In the background: the command returns once mounted.
  EXPECT_EQ(Lyrebox("--log " + Quote(Tmp("log.txt")) + " " + Quote(root_)), "0|");
  ASSERT_TRUE(WaitUntil([&] { return IsMounted(chosen); }, 20));
  WriteFile(Root("r.txt"), "seen");
  EXPECT_EQ(ReadFile(chosen + "/r.txt"), "seen");
  EXPECT_EQ(Sh("fusermount3 -u " + Quote(chosen)), 0);
  EXPECT_TRUE(WaitUntil([&] { return !FileExists(chosen); }, 30)) << "the made mount point is removed";
  EXPECT_TRUE(FileExists(base));
}

TEST_F(CliTest, TellsSystemdOnceMounted) {
  const std::string path = Tmp("notify");
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {.sun_family = AF_UNIX, .sun_path = {}};
  ASSERT_LT(path.size(), sizeof address.sun_path);
  path.copy(address.sun_path, path.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const timeval deadline = {30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &deadline, sizeof deadline);
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  StartVolume();
  unsetenv("NOTIFY_SOCKET");
  char message[64] = {};
  const ssize_t n = recv(fd, message, sizeof message - 1, 0);
  close(fd);
  EXPECT_EQ(std::string(message, n > 0 ? n : 0), "READY=1");
}

TEST_F(CliTest, SharedVolumeGivesNewItemsToTheirMaker) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  ASSERT_EQ(chmod(tmp_.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(root_.c_str(), 01777), 0);
  WriteFile(Root("roots.txt"), "root's");
  WriteFile(Tmp("in.wav"), MakeNoiseWAV(1, 8000, 16, 0.3, 61));
  ASSERT_EQ(chmod(Tmp("in.wav").c_str(), 0644), 0);
  StartVolume({"-o", "allow_other"});
  const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  EXPECT_EQ(Sh(asNobody + "sh -c " +
               Quote("cd " + Quote(mount_) + " && echo x > n.txt && mkdir nd && ln -s n.txt nl && cp " +
                     Quote(Tmp("in.wav")) + " nw.wav && echo not audio > junk.wav")),
            0);
  // Data that is not audio is kept as a WAV file at its last release, which the kernel
  // delivers after close() has returned.
  for (const char* name : {"n.txt", "nd", "nl", "nw.flac", "junk.wav"}) {
    struct stat st;
    ASSERT_TRUE(WaitUntil([&] { return lstat(Root(name).c_str(), &st) == 0; }, 5)) << name;
    EXPECT_EQ(std::pair(st.st_uid, st.st_gid), std::pair(65534u, 65534u)) << name;
  }
  // The kernel checks the rights of other users against what the volume shows.
  EXPECT_NE(Sh(asNobody + "sh -c " + Quote("echo more >> " + Quote(mount_ + "/roots.txt")) + " 2>/dev/null"), 0);
  EXPECT_EQ(ReadFile(Root("roots.txt")), "root's");
}

}  // namespace
}  // namespace E2E
