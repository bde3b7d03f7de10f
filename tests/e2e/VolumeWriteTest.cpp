// Writing through the volume: renames that decode or keep data as WAV; truncation; links
// and extended attributes. (WAV files of every writer copied in: FidelityTest; renames
// between songs and plain names, overwriting: TortureTest.)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "VolumeFixture.h"

namespace E2E {
namespace {

class VolumeWriteTest : public VolumeTest {
  void SetUp() override {
    VolumeTest::SetUp();
    StartVolume();
  }
};

// Renames the torture test does not make: a song decoded over a real WAV file and into a
// file of another name, data that is not audio and a folder given WAV names.
TEST_F(VolumeWriteTest, RenamesEncodeAndDecodeAsTheNamesSay) {
  const std::string wav = MakeNoiseWAV(2, 44100, 24, 0.5, 21, Chunk("junk", "12345"));
  for (const char* f : {"x.flac", "p.flac"}) FlacEncode(wav, Root(f));
  const std::string image = FlacDecode(Root("x.flac"));
  WriteFile(Root("z.wav"), "old real WAV file");
  WriteFile(Root("notes.txt"), "not audio");
  ASSERT_EQ(mkdir(Root("dir").c_str(), 0755), 0);
  const struct {
    const char *from, *to;
    std::vector<const char*> gone;  // in the root folder afterwards
    std::vector<std::pair<const char*, std::string>> present;
  } cases[] = {
      {"x.wav", "y.aiff", {"x.flac"}, {{"y.aiff", image}}},  // decoded into a real file
      {"p.wav", "z.wav", {"p.flac"}, {{"z.wav", image}}},    // over a real WAV file
      {"notes.txt", "notes.wav", {"notes.txt", "notes.flac"}, {{"notes.wav", "not audio"}}},
      {"dir", "dir.wav", {"dir", "dir.flac"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
    ASSERT_EQ(Sh("mv " + Quote(Vol(c.from)) + " " + Quote(Vol(c.to))), 0);
    for (const char* g : c.gone) EXPECT_FALSE(FileExists(Root(g))) << g;
    for (const auto& [name, bytes] : c.present) EXPECT_TRUE(SameBytes(ReadFile(Root(name)), bytes)) << name;
  }
  struct stat st;
  EXPECT_TRUE(stat(Root("dir.wav").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  EXPECT_EQ(LogText(), "moveItemAtPath: /notes.txt toPath: /notes.wav: kept as WAV (wrong tag)\n");
}

// An opening cut to nothing and written again: stat tells the size written so far, and
// the file holds only the new data; truncate by path cuts or extends it as the disk would.
TEST_F(VolumeWriteTest, TruncationNeverServesOldData) {
  const std::string wav = MakeNoiseWAV(2, 44100, 16, 1.0, 71);
  FlacEncode(MakeNoiseWAV(2, 44100, 16, 1.0, 70), Root("t.flac"));
  const int fd = open(Vol("t.wav").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 0), 0);
  for (size_t done = 0, part = wav.size() / 2; done < wav.size(); done += part) {
    ASSERT_EQ(pwrite(fd, wav.data() + done, part, done), static_cast<ssize_t>(part));
    EXPECT_EQ(std::filesystem::file_size(Vol("t.wav")), done + part);
  }
  ASSERT_EQ(close(fd), 0);
  EXPECT_TRUE(SameBytes(ReadFile(Vol("t.wav")), wav));
  EXPECT_TRUE(SameBytes(FlacDecode(Root("t.flac")), wav));
  for (size_t length : {wav.size() + 10, size_t{100}, size_t{0}}) {
    SCOPED_TRACE(length);
    const std::string before = ReadFile(Vol("t.wav"));
    EXPECT_EQ(Sh("truncate -s " + std::to_string(length) + " " + Quote(Vol("t.wav"))), 0);
    EXPECT_TRUE(SameBytes(ReadFile(Vol("t.wav")), (before + std::string(length, '\0')).substr(0, length)));
  }
  EXPECT_EQ(CacheFiles(root_), "");
}

TEST_F(VolumeWriteTest, SymbolicLinksToTranscodedFilesWorkOnBothSides) {
  FlacEncode(MakeNoiseWAV(1, 8000, 16, 0.3, 81), Root("x.flac"));
  ASSERT_EQ(Sh("cd " + Quote(mount_) + " && ln -s x.wav l.wav && ln -s x.wav link && ln -s /etc/hostname abs"), 0);
  // In the root folder the links name the FLAC file; in the volume they lead to the WAV.
  EXPECT_EQ(ShOut("readlink " + Quote(Root("l.flac")) + " " + Quote(Root("link"))), "x.flac\nx.flac\n");
  EXPECT_EQ(ShOut("readlink " + Quote(Vol("link")) + " " + Quote(Vol("abs"))), "x.wav\n/etc/hostname\n");
  for (const char* name : {"l.wav", "link"}) EXPECT_TRUE(SameBytes(ReadFile(Vol(name)), FlacDecode(Root("x.flac"))));
  EXPECT_EQ(ReadFile(Vol("abs")), ReadFile("/etc/hostname"));
}

TEST_F(VolumeWriteTest, ExtendedAttributesAreThoseOfTheStoredFile) {
  FlacEncode(MakeNoiseWAV(1, 8000, 16, 0.2, 41), Root("x.flac"));
  WriteFile(Root("plain.txt"), "p");
  for (auto [shown, stored] : {std::pair{"x.wav", "x.flac"}, {"plain.txt", "plain.txt"}}) {
    SCOPED_TRACE(shown);
    std::string v = Quote(Vol(shown));
    EXPECT_EQ(ShOut("getfattr --absolute-names -d " + v), "");
    ASSERT_EQ(Sh("setfattr -n user.tag -v one " + v + " && setfattr -n user.tag -v two " + v +
                 " && setfattr -n user.\xc3\xa9t\xc3\xa9 -v 3 " + v),
              0);
    EXPECT_EQ(ShOut("getfattr --absolute-names --only-values -n user.tag " + Quote(Root(stored))), "two");
    EXPECT_EQ(ShOut("getfattr --absolute-names -d " + v + " | grep user | sort"),
              "user.tag=\"two\"\nuser.\xc3\xa9t\xc3\xa9=\"3\"\n");
    EXPECT_EQ(Sh("setfattr -x user.tag " + v), 0);
    EXPECT_NE(Sh("getfattr -n user.tag " + v + " 2>/dev/null"), 0);
  }
}

}  // namespace
}  // namespace E2E
