// EncodeWAV against the flac tool: streams it accepts, WAV files it restores byte for
// byte, and refusals with their reasons. Samples of every depth come back through the
// Transcoder in test_transcoder.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "TestUtil.h"
#include "audio/FLACEncode.h"  // IsEncoding
#include "transcode/Conversion.h"
#include "transcode/UniqueFd.h"

using namespace TestUtil;
using namespace std::string_literals;
using Vantor::UniqueFd;

namespace {

void Encode(const std::string& wav, const std::string& flac) {
  UniqueFd in(open(wav.c_str(), O_RDONLY | O_CLOEXEC));
  UniqueFd out(open(flac.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  Vantor::EncodeWAV(in.Get(), out.Get(), "test.wav");
}

}  // namespace

// flac accepts every result, and restores canonical files with their chunks byte for
// byte (deeper or wider audio it writes in the extensible format, so only these compare).
TEST(EncodeWAV, FlacRestoresTheWAVFile) {
  TempDir dir;
  const std::string in = dir.File("in.wav"), out = dir.File("out.flac"), back = dir.File("back.wav");
  for (auto [bits, channels] : {std::pair{8, 1}, {8, 2}, {16, 1}, {16, 2}, {24, 6}}) {
    SCOPED_TRACE(testing::Message() << bits << " bits, " << channels << " channels");
    const std::string before = Chunk("LIST", "INFOISFT\x05\0\0\0abcd\0"s) + Chunk("JUNK", "");
    const std::string after = Chunk("cue ", RandomBytes(28, 9)) + Chunk("note", "odd");
    const std::string samples = RandomBytes(4097 * channels * bits / 8, bits);
    const std::string wav = MakeWAV(channels, 44100, bits, samples, before, after);
    WriteFile(in, wav);
    Encode(in, out);
    EXPECT_EQ(TestUtil::Run("flac -t -s " + Quote(out)), 0);
    if (bits > 16 || channels > 2) continue;
    const std::string decode = "flac -d -s -f --keep-foreign-metadata -o " + Quote(back) + " " + Quote(out);
    EXPECT_EQ(TestUtil::Run(decode + " 2>/dev/null"), 0);
    EXPECT_TRUE(ReadFile(back) == wav);
  }
  // Compressed encodings are stored at 16 bits.
  for (const std::string encoding : {"u-law", "a-law", "ima-adpcm"}) {
    ASSERT_EQ(TestUtil::Run("sox -n -r 8000 -c 2 -e " + encoding + " " + Quote(in) + " synth 0.1 sine 440"), 0);
    Encode(in, out);
    EXPECT_EQ(RunOutput("metaflac --show-bps " + Quote(out)), "16\n") << encoding;
  }
}

TEST(EncodeWAV, RefusesWhatItCannotStoreExactly) {
  TempDir dir;
  auto soxMade = [&](const std::string& args, const std::string& extension) {
    const std::string path = dir.File("made." + extension);
    EXPECT_EQ(TestUtil::Run("sox -n -r 44100 -c 2 " + args + " " + Quote(path) + " synth 0.1 sine 440"), 0);
    const std::string bytes = ReadFile(path);
    std::filesystem::remove(path);
    return bytes;
  };
  const std::string wav16 = MakeWAV(2, 44100, 16, RandomBytes(4000, 2));
  const struct {
    const char* name;
    std::string source;
    const char* message;
  } cases[] = {
      {"aiff", soxMade("-b 16", "aiff"), "wrong tag"},
      {"empty data", MakeWAV(2, 44100, 16, ""), "no audio data"},
      {"float", soxMade("-b 32 -e floating-point", "wav"), "unsupported sample format: floating point"},
      {"32 bits", MakeWAV(2, 44100, 32, RandomBytes(800, 4)), "unsupported sample format: more than 24 bits"},
      // A chunk one byte longer than a metadata block's 24-bit length field can carry.
      {"huge chunk", MakeWAV(2, 44100, 16, RandomBytes(400, 4), Chunk("junk", std::string((1 << 24) - 12, 'j'))),
       "couldn't set flac metadata"},
      {"truncated data", wav16.substr(0, wav16.size() - 100), "ToFLAC read"},
  };
  auto openDescriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  const auto descriptors = openDescriptors();
  const std::string src = dir.File("src.wav"), dst = dir.File("dst.flac");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(src, c.source);
    EXPECT_EQ(ErrorOf([&] { Encode(src, dst); }), c.message);
    EXPECT_FALSE(IsEncoding());
  }
  EXPECT_EQ(openDescriptors(), descriptors);
}
