// ToFLAC against the flac tool: streams it accepts, WAV files it restores byte for byte,
// refusals that leave the destination alone, and kept file attributes. Samples of every
// depth come back through the Transcoder in test_transcoder.cpp.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "TestUtil.h"
#include "audio/FLACEncode.h"  // IsEncoding
#include "transcode/Conversion.h"

using namespace TestUtil;
using namespace std::string_literals;

// flac accepts every result, and restores canonical files with their chunks byte for
// byte (deeper or wider audio it writes in the extensible format, so only these compare).
TEST(ToFLAC, FlacRestoresTheWAVFile) {
  TempDir dir;
  const std::string in = dir.File("in.wav"), out = dir.File("out.flac"), back = dir.File("back.wav");
  for (auto [bits, channels] : {std::pair{8, 1}, {8, 2}, {16, 1}, {16, 2}, {24, 6}}) {
    SCOPED_TRACE(testing::Message() << bits << " bits, " << channels << " channels");
    const std::string before = Chunk("LIST", "INFOISFT\x05\0\0\0abcd\0"s) + Chunk("JUNK", "");
    const std::string after = Chunk("cue ", RandomBytes(28, 9)) + Chunk("note", "odd");
    const std::string samples = RandomBytes(4097 * channels * bits / 8, bits);
    const std::string wav = MakeWAV(channels, 44100, bits, samples, before, after);
    WriteFile(in, wav);
    Vantor::ToFLAC(in, out);
    EXPECT_EQ(TestUtil::Run("flac -t -s " + Quote(out)), 0);
    if (bits > 16 || channels > 2) continue;
    const std::string decode = "flac -d -s -f --keep-foreign-metadata -o " + Quote(back) + " " + Quote(out);
    EXPECT_EQ(TestUtil::Run(decode + " 2>/dev/null"), 0);
    EXPECT_TRUE(ReadFile(back) == wav);
  }
  // Compressed encodings are stored at 16 bits.
  for (const std::string encoding : {"u-law", "a-law", "ima-adpcm"}) {
    ASSERT_EQ(TestUtil::Run("sox -n -r 8000 -c 2 -e " + encoding + " " + Quote(in) + " synth 0.1 sine 440"), 0);
    Vantor::ToFLAC(in, out);
    EXPECT_EQ(RunOutput("metaflac --show-bps " + Quote(out)), "16\n") << encoding;
  }
}

TEST(ToFLAC, FailuresLeaveTheDestinationAsItWas) {
  TempDir dir;
  auto soxMade = [&](const std::string& args, const std::string& extension) {
    const std::string path = dir.File("made." + extension);
    EXPECT_EQ(TestUtil::Run("sox -n -r 44100 -c 2 " + args + " " + Quote(path) + " synth 0.1 sine 440"), 0);
    const std::string bytes = ReadFile(path);
    std::filesystem::remove(path);
    return bytes;
  };
  const std::string old = "an earlier, good FLAC file";
  const std::string wav16 = MakeWAV(2, 44100, 16, RandomBytes(4000, 2));
  enum { kNone, kFile, kFolder };  // what stands at the destination
  const struct {
    const char* name;
    std::optional<std::string> source;
    int destination;
    const char* message;
  } cases[] = {
      {"aiff", soxMade("-b 16", "aiff"), kNone, "wrong tag"},
      {"empty data", MakeWAV(2, 44100, 16, ""), kNone, "no audio data"},
      {"float", soxMade("-b 32 -e floating-point", "wav"), kFile, "unsupported sample format: floating point"},
      {"32 bits", MakeWAV(2, 44100, 32, RandomBytes(800, 4)), kFile, "unsupported sample format: more than 24 bits"},
      // A chunk one byte longer than a metadata block's 24-bit length field can carry.
      {"huge chunk", MakeWAV(2, 44100, 16, RandomBytes(400, 4), Chunk("junk", std::string((1 << 24) - 12, 'j'))), kFile,
       "couldn't set flac metadata"},
      {"truncated data", wav16.substr(0, wav16.size() - 100), kFile, "ToFLAC read"},
      {"missing source", std::nullopt, kFile, "could not read"},
      {"destination is a folder", wav16, kFolder, "could not write"},  // fails after the whole file was encoded
  };
  auto openDescriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  const auto descriptors = openDescriptors();
  const std::string src = dir.File("src.wav"), dst = dir.File("dst.flac");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(src);
    std::filesystem::remove_all(dst);
    if (c.source) WriteFile(src, *c.source);
    if (c.destination == kFolder) std::filesystem::create_directory(dst);
    const std::string oldFile = c.destination == kFolder ? dst + "/inside" : dst;
    if (c.destination != kNone) WriteFile(oldFile, old);
    const auto before = Entries(dir.Path());
    EXPECT_EQ(ErrorOf([&] { Vantor::ToFLAC(src, dst); }), c.message);
    EXPECT_FALSE(IsEncoding());
    EXPECT_EQ(Entries(dir.Path()), before);  // no temporary file left, no destination made
    if (c.destination != kNone) {
      EXPECT_EQ(ReadFile(oldFile), old);
    }
  }
  EXPECT_EQ(openDescriptors(), descriptors);
}

TEST(ToFLAC, ReplacedFileKeepsModeOwnerAndExtendedAttributes) {
  TempDir dir;
  const std::string src = dir.File("in.wav"), dst = dir.File("out.flac");
  for (bool destinationExists : {true, false}) {
    SCOPED_TRACE(destinationExists);
    std::filesystem::remove(dst);
    WriteFile(src, MakeWAV(1, 22050, 16, RandomBytes(2000, 6)));
    ASSERT_EQ(chmod(src.c_str(), 0604), 0);
    // The file whose attributes the result must carry: the old destination, else the source.
    const std::string& model = destinationExists ? dst : src;
    if (destinationExists) WriteFile(dst, "old");
    if (geteuid() == 0) {
      ASSERT_EQ(chown(model.c_str(), 4321, 8765), 0);  // as root, the owner is kept too
    }
    ASSERT_EQ(chmod(model.c_str(), 04751), 0);  // set-user-id: chown would have cleared it
    const bool xattrs = setxattr(model.c_str(), "user.lyrebox", "kept", 4, 0) == 0;  // false: not supported here
    struct stat want, got;
    ASSERT_EQ(stat(model.c_str(), &want), 0);

    Vantor::ToFLAC(src, dst);
    ASSERT_EQ(stat(dst.c_str(), &got), 0);
    EXPECT_EQ(ReadFile(dst).substr(0, 4), "fLaC");
    EXPECT_EQ(std::tuple(got.st_mode, got.st_uid, got.st_gid), std::tuple(want.st_mode, want.st_uid, want.st_gid));
    char value[8] = {};
    if (xattrs) {
      EXPECT_EQ(getxattr(dst.c_str(), "user.lyrebox", value, sizeof value), 4);
      EXPECT_STREQ(value, "kept");
    }
  }
}
