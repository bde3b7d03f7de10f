// No operation loses a song: names that agree with the listing, conversions that never
// destroy first, one state per open file, flushes that wait for a finished WAV file,
// namespace changes while open, fresh reads, kept times, errors told, and no debris after
// a crash. Each case is one that lost or corrupted audio once.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "VolumeFixture.h"

namespace E2E {
namespace {

class WriteSafetyTest : public VolumeTest {
 protected:
  int Open(const std::string& name, int flags, mode_t mode = 0644) {
    const int fd = open(Vol(name).c_str(), flags | O_CLOEXEC, mode);
    EXPECT_GE(fd, 0) << name << ": " << strerror(errno);
    return fd;
  }
  void Put(int fd, const std::string& bytes, size_t from, size_t to) {
    ASSERT_EQ(pwrite(fd, bytes.data() + from, to - from, static_cast<off_t>(from)), static_cast<ssize_t>(to - from));
  }
  // The names in the root folder, recursively, as "a", "d/b".
  std::set<std::string> Stored() {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root_))
      names.insert(std::filesystem::relative(e.path(), root_).string());
    return names;
  }
};

TEST_F(WriteSafetyTest, NamesAgreeWithTheListing) {
  const std::string wav = MakeNoiseWAV(2, 44100, 16, 0.5, 1);
  const std::string flac = ReadFile(FlacEncode(wav, Root("a.flac")));
  StartVolume();
  struct stat st;
  EXPECT_EQ(ErrnoOf(stat(Vol("a.flac").c_str(), &st)), ENOENT);
  const std::string cd = "cd " + Quote(mount_) + " && ";
  // Each of these once overwrote a.flac while it was being read, or emptied the folder.
  std::vector<std::string> commands = {"mv a.wav a.flac", "cp a.wav a.flac", "flac -s -f a.wav",
                                       "sox a.wav a.flac", "mv a.wav new.flac"};
  if (Sh("command -v ffmpeg >/dev/null") == 0) commands.push_back("ffmpeg -nostdin -loglevel quiet -y -i a.wav a.flac");
  for (const std::string& c : commands) {
    SCOPED_TRACE(c);
    EXPECT_NE(Sh(cd + c + " 2>/dev/null"), 0);
    EXPECT_EQ(ReadFile(Root("a.flac")), flac);
    EXPECT_EQ(Stored(), std::set<std::string>{"a.flac"});
  }
  EXPECT_EQ(ErrnoOf(open(Vol("b.flac").c_str(), O_CREAT | O_WRONLY, 0644)), EPERM);
  // Two names of one stored file never part: a song is not linked, and a linked file is
  // not written (storing written audio makes a new file).
  EXPECT_NE(Sh(cd + "ln a.wav c.wav 2>/dev/null"), 0);
  EXPECT_EQ(Sh(cd + "touch e.wav && ln e.wav e2.wav"), 0);
  EXPECT_NE(Sh(cd + "cp a.wav e.wav 2>/dev/null"), 0);
  struct stat e2;
  ASSERT_EQ(stat(Root("e.flac").c_str(), &st), 0);
  ASSERT_EQ(stat(Root("e2.flac").c_str(), &e2), 0);
  EXPECT_TRUE(st.st_ino == e2.st_ino && st.st_nlink == 2 && st.st_size == 0);
  EXPECT_NE(LogText().find("moveItemAtPath: /a.wav toPath: /a.flac: the volume shows a.flac as a.wav"),
            std::string::npos);
}

TEST_F(WriteSafetyTest, ConversionsNeverDestroyTheDestinationFirst) {
  const std::string wav = MakeNoiseWAV(2, 44100, 16, 0.5, 2);
  FlacEncode(wav, Root("a.flac"));
  const std::string good = ReadFile(FlacEncode(wav, Root("cut.flac")));
  WriteFile(Root("cut.flac"), good.substr(0, good.size() / 2));
  WriteFile(Root("stream.flac"), "fLaC" + RandomBytes(3000, 3));  // not decodable
  WriteFile(Tmp("outside"), "outside the root folder");
  ASSERT_EQ(symlink(Tmp("outside").c_str(), Root("lnk").c_str()), 0);
  WriteFile(Root("keep.txt"), "keep me");
  StartVolume();

  // The link itself is replaced by the decoded file; what it pointed to is untouched.
  EXPECT_EQ(Sh("mv " + Quote(Vol("a.wav")) + " " + Quote(Vol("lnk"))), 0);
  EXPECT_EQ(ReadFile(Tmp("outside")), "outside the root folder");
  EXPECT_TRUE(SameBytes(ReadFile(Root("lnk")), wav));
  EXPECT_FALSE(FileExists(Root("a.flac")));
  // A source that cannot be decoded leaves both sides as they were.
  EXPECT_NE(Sh("mv " + Quote(Vol("cut.wav")) + " " + Quote(Vol("keep.txt")) + " 2>/dev/null"), 0);
  EXPECT_EQ(ReadFile(Root("keep.txt")), "keep me");
  EXPECT_EQ(ReadFile(Root("cut.flac")), good.substr(0, good.size() / 2));
  // A FLAC file that cannot be decoded is never written over through its WAV name.
  EXPECT_NE(Sh("echo x >> " + Quote(Vol("stream.wav")) + " 2>/dev/null"), 0);
  EXPECT_EQ(ReadFile(Root("stream.flac")).size(), 3004u);
  EXPECT_EQ(Stored(), (std::set<std::string>{"cut.flac", "keep.txt", "lnk", "stream.flac"}));
}

// An overwrite leaves the old song in place until the new one is complete; a crash or an
// unmount in between leaves the old song and no trace of the new one.
TEST_F(WriteSafetyTest, OldSongStaysUntilTheNewOneIsComplete) {
  const std::string old = MakeNoiseWAV(2, 44100, 16, 1.0, 4), fresh = MakeNoiseWAV(2, 44100, 16, 1.0, 5);
  const std::string flac = ReadFile(FlacEncode(old, Root("song.flac")));
  for (int signal : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(signal);
    StartVolume();
    const int fd = Open("song.wav", O_WRONLY | O_TRUNC);
    const int added = Open("new.wav", O_WRONLY | O_CREAT | O_TRUNC);
    Put(fd, fresh, 0, fresh.size() / 2);
    Put(added, fresh, 0, fresh.size() / 2);
    EXPECT_EQ(ReadFile(Root("song.flac")), flac);
    EXPECT_EQ(Stored(), std::set<std::string>{"song.flac"});  // no placeholder, no cache
    KillVolume(signal);
    close(fd);
    close(added);
    EXPECT_EQ(ReadFile(Root("song.flac")), flac);
    EXPECT_EQ(Stored(), std::set<std::string>{"song.flac"});
  }
  StartVolume();
  EXPECT_TRUE(SameBytes(ReadFile(Vol("song.wav")), old));
  EXPECT_NE(LogText().find("writeFileAtPath: /song.wav: not saved, the volume was unmounted"), std::string::npos);
}

// All openings of one file share one state: what one writes, another reads, and the
// conversion waits for the WAV file to be finished, whoever closes (or fsyncs) first.
TEST_F(WriteSafetyTest, OpeningsShareOneFileAndConvertWhenItIsFinished) {
  const std::string wav = MakeNoiseWAV(2, 44100, 16, 1.0, 6), other = MakeNoiseWAV(2, 44100, 16, 1.0, 7);
  FlacEncode(other, Root("song.flac"));
  StartVolume();
  const size_t half = wav.size() / 2;

  // Two descriptors, each writing one half; the first to close sees half a file.
  int a = Open("two.wav", O_WRONLY | O_CREAT | O_TRUNC), b = Open("two.wav", O_RDWR);
  Put(a, wav, 0, half);
  ASSERT_EQ(close(a), 0);
  EXPECT_FALSE(FileExists(Root("two.flac")) || FileExists(Root("two.wav")));
  std::string head(half, '\0');
  EXPECT_EQ(pread(b, head.data(), half, 0), static_cast<ssize_t>(half));
  EXPECT_EQ(head, wav.substr(0, half));
  Put(b, wav, half, wav.size());
  ASSERT_EQ(close(b), 0);
  EXPECT_TRUE(SameBytes(FlacDecode(Root("two.flac")), wav));
  // A close that stored the file, a reader, then more writes through the other descriptor:
  // they are stored too.
  a = Open("two.wav", O_RDWR);
  b = Open("two.wav", O_RDWR);
  Put(a, other, 0, other.size());
  ASSERT_EQ(close(a), 0);
  EXPECT_TRUE(SameBytes(ReadFile(Vol("two.wav")), other));
  Put(b, wav, 0, wav.size());
  ASSERT_EQ(close(b), 0);
  EXPECT_TRUE(SameBytes(ReadFile(Vol("two.wav")), wav));
  EXPECT_TRUE(SameBytes(FlacDecode(Root("two.flac")), wav));

  // A forked child's exit (a flush) and an fsync before the header is final convert nothing.
  std::string unfinished = wav;
  unfinished.replace(4, 4, LE32(0));
  unfinished.replace(40, 4, LE32(0));
  const int fd = Open("fork.wav", O_WRONLY | O_CREAT | O_TRUNC);
  Put(fd, unfinished, 0, half);
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  Put(fd, unfinished, half, wav.size());
  EXPECT_EQ(fsync(fd), 0);
  EXPECT_FALSE(FileExists(Root("fork.flac")) || FileExists(Root("fork.wav")));
  Put(fd, wav, 0, 44);
  ASSERT_EQ(close(fd), 0);
  EXPECT_TRUE(SameBytes(FlacDecode(Root("fork.flac")), wav));

  // A cut to nothing from one opening while another has written: the file holds what
  // was written after the cut, and nothing removes the FLAC file made of it.
  int edit = Open("song.wav", O_RDWR), cut = Open("song.wav", O_RDWR);
  Put(edit, std::string(10, 'x'), 1000, 1010);
  ASSERT_EQ(ftruncate(cut, 0), 0);
  Put(cut, wav, 0, wav.size());
  ASSERT_EQ(close(cut), 0);
  ASSERT_EQ(close(edit), 0);
  EXPECT_EQ(CacheFiles(root_), "");  // waits for the last releases
  EXPECT_TRUE(SameBytes(FlacDecode(Root("song.flac")), wav));
  EXPECT_EQ(Stored(), (std::set<std::string>{"fork.flac", "song.flac", "two.flac"}));
}

// Removing or renaming a file (or its folder) while it is open with unsaved writes: the
// removed file is not brought back, the renamed one is stored under its new name.
TEST_F(WriteSafetyTest, RemovalsAndRenamesWhileOpenAreFollowed) {
  const std::string wav = MakeNoiseWAV(1, 22050, 16, 0.5, 8);
  FlacEncode(wav, Root("song.flac"));
  ASSERT_EQ(mkdir(Root("d").c_str(), 0755), 0);
  StartVolume();
  const int gone = Open("gone.wav", O_RDWR | O_CREAT | O_TRUNC), song = Open("song.wav", O_RDWR);
  const int moved = Open("moved.wav", O_RDWR | O_CREAT | O_TRUNC), inner = Open("d/in.wav", O_RDWR | O_CREAT);
  for (int fd : {gone, moved, inner}) Put(fd, wav, 0, wav.size() - 1);
  Put(song, "garbage", 0, 7);
  ASSERT_EQ(unlink(Vol("gone.wav").c_str()), 0);
  ASSERT_EQ(unlink(Vol("song.wav").c_str()), 0);
  ASSERT_EQ(rename(Vol("moved.wav").c_str(), Vol("renamed.wav").c_str()), 0);
  ASSERT_EQ(rename(Vol("d").c_str(), Vol("e").c_str()), 0);
  struct stat st;
  ASSERT_EQ(fstat(gone, &st), 0);
  EXPECT_EQ(st.st_nlink, 0u);
  for (int fd : {gone, moved, inner}) Put(fd, wav, wav.size() - 1, wav.size());
  for (int fd : {gone, song, moved, inner}) EXPECT_EQ(close(fd), 0);
  EXPECT_TRUE(WaitUntil([&] { return Stored() == std::set<std::string>{"e", "e/in.flac", "renamed.flac"}; }, 5))
      << ShOut("find " + Quote(root_));
  EXPECT_TRUE(SameBytes(FlacDecode(Root("renamed.flac")), wav));
  EXPECT_TRUE(SameBytes(FlacDecode(Root("e/in.flac")), wav));
}

// Whether every page of the file at path is in the kernel's cache.
bool AllCached(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_size == 0) return false;
  void* map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return false;
  std::vector<unsigned char> pages((static_cast<size_t>(st.st_size) + 4095) / 4096);
  const bool all = mincore(map, static_cast<size_t>(st.st_size), pages.data()) == 0 &&
                   std::all_of(pages.begin(), pages.end(), [](unsigned char p) { return p & 1; });
  munmap(map, static_cast<size_t>(st.st_size));
  return all;
}

// What was read stays in the kernel's cache for the next opening while the stored file
// stays the same; a FLAC file replaced behind the volume by another take of the same
// length and time is read anew; copies with cp -p, tar and rsync -a keep modification times, so that a second
// rsync finds nothing to send.
TEST_F(WriteSafetyTest, FreshReadsAndKeptTimes) {
  const std::string take1 = MakeNoiseWAV(2, 44100, 16, 0.5, 9), take2 = MakeNoiseWAV(2, 44100, 16, 0.5, 10);
  auto tmp = [&](const std::string& name) { return " " + Quote(Tmp(name)) + " "; };
  // Verbatim frames only: both takes give FLAC files of exactly the same size.
  const std::string verbatim = "flac -s -f --disable-constant-subframes --disable-fixed-subframes -l 0 -o ";
  WriteFile(Tmp("t1.wav"), take1);
  WriteFile(Tmp("t2.wav"), take2);
  ASSERT_EQ(Sh(verbatim + Quote(Root("song.flac")) + tmp("t1.wav") + "&&" + verbatim + tmp("t2.flac") + tmp("t2.wav") +
               "&& touch -r " + Quote(Root("song.flac")) + tmp("t2.flac")), 0);
  ASSERT_EQ(std::filesystem::file_size(Root("song.flac")), std::filesystem::file_size(Tmp("t2.flac")));
  StartVolume();
  EXPECT_TRUE(SameBytes(ReadFile(Vol("song.wav")), take1));
  EXPECT_TRUE(AllCached(Vol("song.wav")));
  ASSERT_EQ(Sh("cp -p" + tmp("t2.flac") + Quote(Root("song.flac"))), 0);
  EXPECT_TRUE(SameBytes(ReadFile(Vol("song.wav")), take2));
  // A shorter take just after the kernel was told the longer one's length: read in small
  // pieces, it ends where it ends, without zeros behind it.
  WriteFile(Tmp("short.wav"), MakeNoiseWAV(2, 44100, 16, 0.2, 11));
  ASSERT_EQ(Sh("flac -s -f -o" + tmp("short.flac") + tmp("short.wav")), 0);
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(Sh("cp" + tmp("t2.flac") + Quote(Root("song.flac"))), 0);
    EXPECT_EQ(std::filesystem::file_size(Vol("song.wav")), take2.size());
    ASSERT_EQ(Sh("cp" + tmp("short.flac") + tmp("x.flac") + "&& mv" + tmp("x.flac") + Quote(Root("song.flac"))), 0);
    EXPECT_EQ(ShOut("dd bs=8191 if=" + Quote(Vol("song.wav")) + " 2>/dev/null | cmp -" + tmp("short.wav") + "&& echo same"),
              "same\n");
  }

  ASSERT_EQ(Sh("mkdir -p" + tmp("src/sub") + "&& cp" + tmp("t1.wav") + tmp("src/a.wav") + "&& cp" + tmp("t2.wav") +
               tmp("src/sub/b.wav") + "&& touch -d '2001-02-03 04:05:06'" + tmp("src/a.wav") + tmp("src/sub/b.wav")),
            0);
  const std::string when = "981173106\n";
  EXPECT_EQ(Sh("cp -p" + tmp("src/a.wav") + Quote(Vol("cp.wav"))), 0);
  EXPECT_EQ(ShOut("stat -c %Y " + Quote(Vol("cp.wav")) + " " + Quote(Root("cp.flac"))), when + when);
  EXPECT_EQ(Sh("tar -C" + tmp("src") + "-cf - . | tar -C " + Quote(mount_) + " -xf - ./sub"), 0);
  EXPECT_EQ(ShOut("stat -c %Y " + Quote(Vol("sub/b.wav"))), when);
  if (Sh("command -v rsync >/dev/null") != 0) GTEST_SKIP() << "rsync is not installed";
  const std::string rsync = "rsync -a --stats" + tmp("src/") + Quote(Vol("sync")) + " | grep 'files transferred'";
  EXPECT_EQ(ShOut(rsync), "Number of regular files transferred: 2\n");
  EXPECT_TRUE(SameBytes(FlacDecode(Root("sync/sub/b.flac")), take2));
  EXPECT_EQ(ShOut(rsync), "Number of regular files transferred: 0\n");
}

// Reads that cannot fill the cache (a full disk) fail with EIO instead of returning
// silence, and the stored file stays as it was.
TEST_F(WriteSafetyTest, FullDiskIsAnErrorNotSilence) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
  root_ = Tmp("small");
  ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
  ASSERT_EQ(mount("lyrebox-test", root_.c_str(), "tmpfs", 0, "size=512k"), 0);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{root_};
  // Ten seconds of silence: a small FLAC file, a large image.
  EncodeFLAC(Root("quiet.flac"), std::vector<int32_t>(2 * 441000, 0), 2, 16);
  const std::string flac = ReadFile(Root("quiet.flac"));
  StartVolume();
  EXPECT_NE(Sh("cat " + Quote(Vol("quiet.wav")) + " >/dev/null 2>&1"), 0);
  EXPECT_EQ(ReadFile(Root("quiet.flac")), flac);
  StopVolume();
}

}  // namespace
}  // namespace E2E
