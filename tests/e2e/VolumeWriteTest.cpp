// Writing through the volume: WAV files copied in become FLAC files and read back at
// once; renames encode or decode; truncation, overwriting and extended attributes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "VolumeFixture.h"

using TestUtil::Chunk;
using TestUtil::FileExists;
using TestUtil::Quote;
using TestUtil::ReadFile;
using TestUtil::WriteFile;

namespace E2E {
namespace {

off_t SizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

using VolumeWriteTest = VolumeTest;

TEST_F(VolumeWriteTest, CopiedWAVFilesBecomeFLACFilesAndReadBackAtOnce) {
  const struct {
    const char* shown;
    const char* stored;
    int channels, rate, bits;
    bool chunks;
  } cases[] = {
      {"a.wav", "a.flac", 2, 44100, 16, false},
      {"B.WAV", "B.FLAC", 6, 48000, 24, true},
      {"c d.Wav", "c d.Flac", 1, 11025, 8, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    std::string before = c.chunks ? Chunk("bext", std::string(603, 'b')) : "";
    std::string after = c.chunks ? Chunk("LIST", "INFOICMT" + TestUtil::LE32(3) + "hi!") : "";
    std::string wav = MakeNoiseWAV(c.channels, c.rate, c.bits, 1.5, 11, before, after);
    WriteFile(Tmp("in.wav"), wav);
    // No pause between close() and the reads: the conversion is done when cp ends.
    std::string in = Quote(Tmp("in.wav")), out = Quote(Vol(c.shown));
    EXPECT_EQ(ShOut("cp " + in + " " + out + " && stat -c %s " + out + " && cmp " + in + " " + out + " && echo same"),
              std::to_string(wav.size()) + "\nsame\n");
    EXPECT_TRUE(FileExists(Root(c.stored)));
    EXPECT_FALSE(FileExists(Root(c.shown)));
    EXPECT_EQ(Sh("flac -s -t " + Quote(Root(c.stored))), 0);
    EXPECT_TRUE(SameBytes(DecodeFLAC(Root(c.stored)), wav));
  }
  EXPECT_EQ(CacheFiles(root_), std::vector<std::string>{});
}

TEST_F(VolumeWriteTest, SizeWhileWritingIsTheSizeWrittenSoFar) {
  std::string wav = MakeNoiseWAV(2, 44100, 16, 2.0, 5);
  int fd = open(Vol("w.wav").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  size_t half = wav.size() / 2;
  ASSERT_EQ(write(fd, wav.data(), half), static_cast<ssize_t>(half));
  EXPECT_EQ(SizeOf(Vol("w.wav")), static_cast<off_t>(half));
  ASSERT_EQ(write(fd, wav.data() + half, wav.size() - half), static_cast<ssize_t>(wav.size() - half));
  EXPECT_EQ(SizeOf(Vol("w.wav")), static_cast<off_t>(wav.size()));
  ASSERT_EQ(close(fd), 0);
  EXPECT_EQ(SizeOf(Vol("w.wav")), static_cast<off_t>(wav.size()));
  EXPECT_TRUE(SameBytes(ReadFile(Vol("w.wav")), wav));
  EXPECT_TRUE(SameBytes(DecodeFLAC(Root("w.flac")), wav));
}

TEST_F(VolumeWriteTest, DataThatIsNotAudioStaysAWAVFile) {
  std::string data = TestUtil::RandomBytes(300000, 3);
  WriteFile(Tmp("junk"), data);
  EXPECT_EQ(Sh("cp " + Quote(Tmp("junk")) + " " + Quote(Vol("x.wav")) + " && cmp " + Quote(Tmp("junk")) + " " +
               Quote(Vol("x.wav"))),
            0);
  EXPECT_TRUE(SameBytes(ReadFile(Root("x.wav")), data));
  EXPECT_FALSE(FileExists(Root("x.flac")));
  EXPECT_EQ(CacheFiles(root_), std::vector<std::string>{});
}

TEST_F(VolumeWriteTest, RenamesEncodeAndDecodeAsTheNamesSay) {
  std::string wav = MakeNoiseWAV(2, 44100, 24, 0.5, 21, Chunk("junk", "12345"));
  WriteFile(Tmp("src.wav"), wav);
  for (const char* f : {"x.flac", "p.flac"}) EncodeFLAC(Tmp("src.wav"), Root(f));
  std::string image = DecodeFLAC(Root("x.flac"));
  std::string flacBytes = ReadFile(Root("x.flac"));
  WriteFile(Root("z.wav"), "old real WAV file");
  WriteFile(Root("take.tmp"), wav);
  WriteFile(Root("notes.txt"), "not audio");
  ASSERT_EQ(mkdir(Root("dir").c_str(), 0755), 0);

  const struct {
    const char* from;
    const char* to;
    std::vector<const char*> gone;   // in the root folder afterwards
    std::vector<std::pair<const char*, std::string>> present;
  } cases[] = {
      {"x.wav", "y.wav", {"x.flac"}, {{"y.flac", flacBytes}}},  // the FLAC file moves
      {"y.wav", "y.aiff", {"y.flac"}, {{"y.aiff", image}}},     // decoded into a real file
      {"p.wav", "z.wav", {"p.flac"}, {{"z.wav", image}}},       // over a real WAV file
      {"take.tmp", "take.wav", {"take.tmp", "take.wav"}, {}},   // encoded
      {"notes.txt", "notes.wav", {"notes.txt", "notes.flac"}, {{"notes.wav", "not audio"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
    ASSERT_EQ(Sh("mv " + Quote(Vol(c.from)) + " " + Quote(Vol(c.to))), 0);
    for (const char* g : c.gone) EXPECT_FALSE(FileExists(Root(g))) << g;
    for (const auto& [name, bytes] : c.present) EXPECT_TRUE(SameBytes(ReadFile(Root(name)), bytes)) << name;
  }
  EXPECT_TRUE(SameBytes(DecodeFLAC(Root("take.flac")), wav));
  EXPECT_TRUE(SameBytes(ReadFile(Vol("take.wav")), wav));
  ASSERT_EQ(Sh("mv " + Quote(Vol("dir")) + " " + Quote(Vol("dir.wav"))), 0);
  struct stat st;
  EXPECT_TRUE(stat(Root("dir.wav").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  EXPECT_EQ(LogText(), "");
}

TEST_F(VolumeWriteTest, TruncationAndOverwriting) {
  std::string longWAV = MakeNoiseWAV(2, 44100, 16, 2.0, 31, Chunk("LIST", "INFOxxxx"));
  std::string shortWAV = MakeNoiseWAV(1, 22050, 16, 0.3, 32);
  WriteFile(Tmp("long.wav"), longWAV);
  WriteFile(Tmp("short.wav"), shortWAV);
  EncodeFLAC(Tmp("long.wav"), Root("t.flac"));
  std::string stored = ReadFile(Root("t.flac"));

  // By path, only a cut to nothing is possible for a transcoded file.
  EXPECT_NE(Sh("python3 -c 'import os, sys; os.truncate(sys.argv[1], 100)' " + Quote(Vol("t.wav")) + " 2>/dev/null"), 0);
  EXPECT_EQ(LogText(), "truncateFileAtPath: /t.wav offset: 100\n");
  EXPECT_TRUE(SameBytes(ReadFile(Root("t.flac")), stored));

  // cp over an existing transcoded file leaves exactly the new audio.
  EXPECT_EQ(Sh("cp " + Quote(Tmp("short.wav")) + " " + Quote(Vol("t.wav")) + " && cmp " + Quote(Tmp("short.wav")) +
               " " + Quote(Vol("t.wav"))),
            0);
  EXPECT_TRUE(SameBytes(DecodeFLAC(Root("t.flac")), shortWAV));

  EXPECT_EQ(Sh("truncate -s 0 " + Quote(Vol("t.wav"))), 0);
  EXPECT_EQ(SizeOf(Vol("t.wav")), 0);
  EXPECT_EQ(SizeOf(Root("t.flac")), 0);

  // ftruncate of an opening, then new data: the opening holds only the new data.
  EncodeFLAC(Tmp("long.wav"), Root("u.flac"));
  int fd = open(Vol("u.wav").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 0), 0);
  ASSERT_EQ(pwrite(fd, shortWAV.data(), shortWAV.size(), 0), static_cast<ssize_t>(shortWAV.size()));
  ASSERT_EQ(close(fd), 0);
  EXPECT_TRUE(SameBytes(DecodeFLAC(Root("u.flac")), shortWAV));
  EXPECT_EQ(CacheFiles(root_), std::vector<std::string>{});
}

TEST_F(VolumeWriteTest, ReadsNeverServeAnOlderVersion) {
  // Three versions of one file, all of the same format and length: the same size.
  std::string versions[3];
  for (int i = 0; i < 3; ++i) {
    versions[i] = MakeNoiseWAV(2, 44100, 16, 1.0, 70 + i);
    WriteFile(Tmp("v" + std::to_string(i) + ".wav"), versions[i]);
  }
  EncodeFLAC(Tmp("v0.wav"), Root("x.flac"));
  EXPECT_TRUE(SameBytes(ReadFile(Vol("x.wav")), versions[0]));
  // Written through the volume.
  EXPECT_EQ(Sh("cp " + Quote(Tmp("v1.wav")) + " " + Quote(Vol("x.wav"))), 0);
  EXPECT_TRUE(SameBytes(ReadFile(Vol("x.wav")), versions[1]));
  // Replaced in the root folder behind the volume's back.
  EncodeFLAC(Tmp("v2.wav"), Tmp("x.flac"));
  ASSERT_EQ(rename(Tmp("x.flac").c_str(), Root("x.flac").c_str()), 0);
  EXPECT_TRUE(SameBytes(ReadFile(Vol("x.wav")), versions[2]));
}

TEST_F(VolumeWriteTest, SymbolicLinksToTranscodedFilesWorkOnBothSides) {
  WriteFile(Tmp("src.wav"), MakeNoiseWAV(1, 8000, 16, 0.3, 81));
  EncodeFLAC(Tmp("src.wav"), Root("x.flac"));
  std::string image = DecodeFLAC(Root("x.flac"));
  ASSERT_EQ(Sh("cd " + Quote(mount_) + " && ln -s x.wav l.wav && ln -s x.wav link && ln -s /etc/hostname abs"), 0);
  // In the root folder the links name the FLAC file; in the volume they lead to the WAV.
  EXPECT_EQ(ShOut("readlink " + Quote(Root("l.flac")) + " " + Quote(Root("link"))), "x.flac\nx.flac\n");
  EXPECT_EQ(ShOut("readlink " + Quote(Vol("link")) + " " + Quote(Vol("abs"))), "x.wav\n/etc/hostname\n");
  for (const char* name : {"l.wav", "link"}) EXPECT_TRUE(SameBytes(ReadFile(Vol(name)), image)) << name;
  EXPECT_EQ(ReadFile(Vol("abs")), ReadFile("/etc/hostname"));
}

TEST_F(VolumeWriteTest, ExtendedAttributesAreThoseOfTheStoredFile) {
  WriteFile(Tmp("src.wav"), MakeNoiseWAV(1, 8000, 16, 0.2, 41));
  EncodeFLAC(Tmp("src.wav"), Root("x.flac"));
  WriteFile(Root("plain.txt"), "p");
  for (const char* name : {"x.wav", "plain.txt"}) {
    SCOPED_TRACE(name);
    std::string v = Quote(Vol(name));
    EXPECT_EQ(ShOut("getfattr --absolute-names -d " + v), "");
    ASSERT_EQ(Sh("setfattr -n user.tag -v one " + v + " && setfattr -n user.tag -v two " + v +
                 " && setfattr -n user.\xc3\xa9t\xc3\xa9 -v 3 " + v),
              0);
    std::string stored = std::string(name) == "x.wav" ? Root("x.flac") : Root(name);
    EXPECT_EQ(ShOut("getfattr --absolute-names --only-values -n user.tag " + Quote(stored)), "two");
    EXPECT_EQ(ShOut("getfattr --absolute-names -d " + v + " | grep user | sort"),
              "user.tag=\"two\"\nuser.\xc3\xa9t\xc3\xa9=\"3\"\n");
    EXPECT_EQ(Sh("setfattr -x user.tag " + v), 0);
    EXPECT_NE(Sh("getfattr -n user.tag " + v + " 2>/dev/null"), 0);
  }
}

}  // namespace
}  // namespace E2E
