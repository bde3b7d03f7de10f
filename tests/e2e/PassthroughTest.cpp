// Everything that involves no audio behaves as in a plain folder: the same script run in
// a plain folder and in the volume leaves the same tree, bytes and attributes; the errors
// are the disk's own; a removed open file still answers for itself; reads leave no trace.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "VolumeFixture.h"

namespace E2E {
namespace {

class PassthroughTest : public VolumeTest {
 protected:
  // Runs script (with $SRC set) in a plain folder and in the volume; the two descriptions
  // of the trees it leaves.
  std::pair<std::string, std::string> RunBoth(const std::string& script, const std::string& describe) {
    EXPECT_EQ(Sh("rm -rf " + Quote(Tmp("plain")) + " && mkdir " + Quote(Tmp("plain"))), 0);
    std::string results[2];
    for (int i = 0; i < 2; ++i) {
      const std::string cd = "cd " + Quote(i ? mount_ : Tmp("plain")) + " && ";
      EXPECT_EQ(ShOut(cd + "SRC=" + Quote(Tmp("big.bin")) + " sh -c " + Quote(script)), "") << (i ? "volume" : "plain");
      results[i] = ShOut(cd + describe);
    }
    return {results[0], results[1]};
  }
};

// Plain files, folders, links, times and odd names; WAV names where no audio is involved,
// FIFOs, devices and sockets, hard links sharing one inode (each name showing at once
// what is done through another), and a path far longer than PATH_MAX (its files left out
// of the checksums, which cannot open them).
TEST_F(PassthroughTest, SameResultsAsAPlainFolder) {
  StartVolume();
  WriteFile(Tmp("big.bin"), RandomBytes(200000, 9));
  const std::string script = R"SH(
    set -e
    printf 'hello' > a.txt
    printf ' world' >> a.txt
    printf 'XY' | dd of=a.txt bs=1 seek=2 conv=notrunc status=none
    cp "$SRC" big.bin
    truncate -s 50000 big.bin
    printf 'tail' | dd of=big.bin bs=1 seek=90000 conv=notrunc status=none
    mkdir -p d/e
    mv a.txt d/e/b.txt
    cp d/e/b.txt c.txt
    rm c.txt
    mkdir gone && rmdir gone
    ln -s d/e/b.txt sym
    ln d/e/b.txt hard
    printf 'n' > n0 && [ "$(stat -c %h n0)" = 1 ] && ln n0 n1 && ln n1 n2
    [ "$(stat -c %h n0)" = 3 ] || echo "n0 shows $(stat -c %h n0) links"
    printf 'more' >> n2 && [ "$(stat -c %s n0)" = 5 ] || echo "n0 shows $(stat -c %s n0) bytes"
    chmod 600 n2 && [ "$(stat -c %a n0)" = 600 ] || echo "n0 shows mode $(stat -c %a n0)"
    rm n1 && [ "$(stat -c %h n0)" = 2 ] || echo "n0 shows $(stat -c %h n0) links after rm"
    printf 'o' > o && mv o n0
    [ "$(stat -c %h n2)" = 1 ] || echo "n2 shows $(stat -c %h n2) links"
    mkdir m && ln n2 m/l && [ "$(stat -c %h m/l)" = 2 ] && mv m m2 && chmod 604 n2
    [ "$(stat -c %a m2/l)" = 604 ] || echo "m2/l shows mode $(stat -c %a m2/l)"
    chmod 640 d/e/b.txt
    touch -d '2001-02-03 04:05:06' d/e/b.txt
    touch -h -d '2002-01-01 00:00:00' sym
    mkdir 'odd '"$(printf '\001\377')"' name'
    printf 'x' > 'odd '"$(printf '\001\377')"' name/f'
    if rmdir d 2>/dev/null; then echo rmdir-of-full-folder-worked; fi
    touch e.wav && mv e.wav e.txt
    : > c.wav && [ "$(stat -c %i c.wav)" = "$(ls -i | awk '$2 == "c.wav" { print $1 }')" ] || echo "c.wav: two inodes"
    python3 -c 'import os; os.close(os.open("r.wav", os.O_CREAT | os.O_RDONLY, 0o644))'
    [ "$(stat -c %i r.wav)" = "$(ls -i | awk '$2 == "r.wav" { print $1 }')" ] || echo "r.wav: two inodes"
    printf 'abc' > t.wav && truncate -s 10 t.wav
    touch h.wav && ln h.wav h2.wav
    [ "$(stat -c %i h.wav)" = "$(stat -c %i h2.wav)" ] || echo hard links differ
    printf 'text' > a.txt && ln a.txt b.wav
    [ "$(stat -c %i a.txt)" = "$(stat -c %i b.wav)" ] || echo hard links differ
    mkfifo f.wav p && touch g.wav && mv g.wav f.wav
    if [ "$(id -u)" = 0 ]; then mknod null c 1 3; fi
    perl -MIO::Socket::UNIX -e 'IO::Socket::UNIX->new(Local => "sock", Listen => 1) or die $!'
    mkdir Album.wav
    perl -e '
      my $name = "x" x 200 . ".wav";
      for (1 .. 25) { mkdir $name or die "mkdir: $!"; chdir $name or die "chdir: $!"; }
      open(my $f, ">", "f.wav") or die "create: $!"; print $f "deep"; close $f or die "close: $!";
      rename("f.wav", "h.txt") or die "rename: $!";
      open($f, "<", "h.txt") or die "open: $!"; my $s = <$f>; $s eq "deep" or die "read back: $s";
      chdir ".." or die for 1 .. 25;
      rename($name, "deep") or die "rename folder: $!";'
  )SH";
  const std::string describe =
      "find . -mindepth 1 -printf '%P %y %m %s %n %l\\n' | LC_ALL=C sort && "
      "find . -path ./deep -prune -o -type f -exec md5sum {} + | LC_ALL=C sort && "
      "stat -c '%Y' d/e/b.txt && stat -c '%Y' sym | sed 's/^/link /'";
  auto [plain, volume] = RunBoth(script, describe);
  EXPECT_EQ(volume, plain);
  for (const char* line : {"d/e/b.txt f 640 11 2", "sock s "})
    EXPECT_NE(plain.find(line), std::string::npos) << line << " in " << plain;
  // Names of one file that the kernel learned of from a listing only (linked behind the
  // volume): a change through one shows through the other at once.
  ASSERT_EQ(Sh("echo x > " + Quote(Root("l1")) + " && ln " + Quote(Root("l1")) + " " + Quote(Root("l2"))), 0);
  EXPECT_EQ(ShOut("ls -l " + Quote(mount_) + " >/dev/null && chmod 600 " + Quote(Vol("l1")) + " && stat -c %a " +
                  Quote(Vol("l2"))),
            "600\n");
  // Told of: only the files under WAV names that hold no audio.
  EXPECT_EQ(ShOut("grep -v ': kept as WAV (could not read)$' " + Quote(Tmp("log.txt")) + " || true"), "");
}

// Failures report the disk's own error, also for names removed behind the volume.
TEST_F(PassthroughTest, ErrorsAreTheDisksOwn) {
  for (const char* name : {"gone.txt", "gone2.txt", "plain.txt"}) WriteFile(Root(name), "x");
  ASSERT_EQ(mkdir(Root("dir").c_str(), 0755), 0);
  StartVolume();
  for (const char* name : {"gone.txt", "gone2.txt"}) {
    struct stat st;
    ASSERT_EQ(stat(Vol(name).c_str(), &st), 0);  // the kernel now knows the name
    ASSERT_EQ(unlink(Root(name).c_str()), 0);
  }
  char buffer[16];
  const struct {
    const char* what;
    std::function<long()> call;
    int error;
  } cases[] = {
      {"unlink of a name removed behind", [&] { return unlink(Vol("gone.txt").c_str()); }, ENOENT},
      {"chmod of a name removed behind", [&] { return chmod(Vol("gone2.txt").c_str(), 0600); }, ENOENT},
      {"readlink of a file", [&] { return readlink(Vol("plain.txt").c_str(), buffer, 16); }, EINVAL},
      {"mkdir of an existing name", [&] { return mkdir(Vol("dir").c_str(), 0755); }, EEXIST},
      {"symlink onto an existing name", [&] { return symlink("x", Vol("plain.txt").c_str()); }, EEXIST},
      {"rmdir of a file", [&] { return rmdir(Vol("plain.txt").c_str()); }, ENOTDIR},
      {"unlink of a folder", [&] { return unlink(Vol("dir").c_str()); }, EISDIR},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrnoOf(c.call()), c.error) << c.what;
  if (geteuid() == 0 && Sh("chattr +i " + Quote(Root("plain.txt")) + " 2>/dev/null") == 0) {
    EXPECT_EQ(ErrnoOf(chmod(Vol("plain.txt").c_str(), 0600)), EPERM) << "chmod of an immutable file";
    Sh("chattr -i " + Quote(Root("plain.txt")));
  }
}

// An open file that was removed still answers for itself: fstat (no links left), fchmod,
// futimens and fchown, plain and transcoded alike.
TEST_F(PassthroughTest, RemovedOpenFilesStillAnswer) {
  StartVolume();
  for (const char* name : {"plain.txt", "new.wav"}) {
    SCOPED_TRACE(name);
    const int fd = open(Vol(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "data", 4), 4);
    ASSERT_EQ(unlink(Vol(name).c_str()), 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_nlink, 0u);
    EXPECT_EQ(st.st_size, 4);
    EXPECT_EQ(fchmod(fd, 0600), 0);
    const timespec times[2] = {{1000, 0}, {2000, 0}};
    EXPECT_EQ(futimens(fd, times), 0);
    EXPECT_EQ(fchown(fd, geteuid(), getegid()), 0);
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_mtim.tv_sec, 2000);
    EXPECT_EQ(close(fd), 0);
  }
  EXPECT_TRUE(WaitUntil([&] { return Entries(root_).empty(); }, 5)) << ShOut("ls -a " + Quote(root_));
}

// Listing, sizing and reading a shown WAV file change no time stamp of its FLAC file or
// its folder and show nothing new.
TEST_F(PassthroughTest, ReadsLeaveNoTrace) {
  ASSERT_EQ(mkdir(Root("album").c_str(), 0755), 0);
  FlacEncode(MakeNoiseWAV(2, 44100, 16, 0.5, 3), Root("album/x.flac"));
  ASSERT_EQ(Sh("touch -d '2001-02-03 04:05:06' " + Quote(Root("album/x.flac")) + " " + Quote(Root("album"))), 0);
  const std::string times = "stat -c '%X %Y %Z' " + Quote(Root("album")) + " " + Quote(Root("album/x.flac"));
  const std::string before = ShOut(times);
  StartVolume();
  EXPECT_EQ(Sh("ls -l " + Quote(Vol("album")) + " >/dev/null && stat " + Quote(Vol("album/x.wav")) +
               " >/dev/null && exec 3<" + Quote(Vol("album/x.wav")) + " && ls -a " + Quote(Vol("album")) +
               " > " + Quote(Tmp("listing")) + " && cat <&3 >/dev/null"),
            0);
  EXPECT_EQ(ReadFile(Tmp("listing")), ".\n..\nx.wav\n");
  const std::string after = ShOut(times);
  // The folder's access time may follow the listing, as on the disk; nothing else moves.
  EXPECT_EQ(after.substr(after.find(' ')), before.substr(before.find(' ')));
}

}  // namespace
}  // namespace E2E
