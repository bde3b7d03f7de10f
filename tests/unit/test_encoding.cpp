// EncodeWAV: refusals with their reasons, and files encoded in parts that join into one
// stream; frames renumbered for that. (WAV files of every writer, and tags, come back
// through a volume in FidelityTest.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "FlacFixtures.h"
#include "audio/FLACEncode.h"  // IsEncoding, BlockSize
#include "audio/FLACFrames.h"
#include "transcode/Conversion.h"
#include "transcode/UniqueFd.h"

using namespace TestUtil;
using Vantor::UniqueFd;

namespace {

void Encode(const std::string& wav, const std::string& flac) {
  UniqueFd in(open(wav.c_str(), O_RDONLY | O_CLOEXEC));
  UniqueFd out(open(flac.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  Vantor::EncodeWAV(in.Get(), out.Get(), "test.wav");
}

}  // namespace

TEST(EncodeWAV, RefusesWhatWouldNotComeBackAsItself) {
  TempDir dir;
  const struct {
    const char* name;
    std::string source;
    const char* message;
  } cases[] = {
      {"aiff", "FORM" + LE32(4) + "AIFF", "wrong tag"},
      {"empty data", MakeWAV(2, 44100, 16, ""), "no audio data"},
      // The format tag of the fmt chunk at byte 20.
      {"float", MakeWAV(2, 44100, 32, "abcdefgh").replace(20, 2, LE16(3)), "unsupported sample format: floating point"},
      // Not integer PCM: a u-law file would come back as 16-bit PCM, not as itself.
      {"u-law", MakeWAV(2, 44100, 8, "abcd").replace(20, 2, LE16(7)), "unsupported sample format: tag 0007"},
      {"a rate FLAC cannot state", MakeWAV(1, 2000000, 16, "abcd"), "unsupported sample format: 2000000 Hz"},
      {"fmt behind the data", "RIFF" + LE32(0) + "WAVE" + Chunk("data", "abcd") + FmtChunk(2, 44100, 16),
       "fmt chunk after data"},
      {"fmt of 14 bytes", "RIFF" + LE32(0) + "WAVE" + Chunk("fmt ", std::string(14, '\1')) + Chunk("data", "abcd"),
       "no fmt chunk"},
      {"extensible fmt cut short", "RIFF" + LE32(0) + "WAVE" +
           ExtensibleFmtChunk(2, 48000, 24, 20, 3).substr(0, 30).replace(4, 4, LE32(22)) + Chunk("data", "abcdef"),
       "unsupported sample format: tag FFFE"},
      // A chunk one byte longer than a metadata block's 24-bit length field can carry.
      {"huge chunk", MakeWAV(2, 44100, 16, RandomBytes(400, 4), Chunk("junk", std::string((1 << 24) - 12, 'j'))),
       "chunk too large to keep"},
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

// A file encoded in parts (one to three, forced on short files) is one stream that flac
// accepts (frame numbers, checksums, the signature of the audio), decodes to exactly the
// samples written, seeks through its seek table, and keeps its chunks: for 1 to 8
// channels, 8 to 32 bits, a single frame, a short last frame and whole frames only.
TEST(EncodeWAV, PartsJoinIntoOneStream) {
  TempDir dir;
  const std::string in = dir.File("in.wav"), out = Quote(dir.File("out.flac"));
  const std::string decode = "flac -d -s -c --force-raw-format --endian=little --sign=signed ";
  const int block = Vantor::Audio::FLACEncoder::BlockSize(5);
  ASSERT_EQ(block, 4096);
  const struct { int bits, channels, parts; long long frames; } cases[] = {
      {16, 2, 2, 1},         {16, 2, 2, block - 1}, {16, 1, 2, block},       {8, 1, 3, 3 * block + 7},
      {8, 2, 2, 2 * block},  {24, 2, 3, 5 * block + 1}, {20, 2, 2, 2 * block + 100}, {24, 8, 2, 3 * block - 1},
      {16, 6, 3, 7 * block + 4095}, {16, 3, 2, 2 * block + 1}, {32, 2, 2, 2 * block + 3},
      {16, 2, 1, 3 * block + 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bits << " bits, " << c.channels << " channels, " << c.frames << " frames, "
                                    << c.parts << " parts");
    Vantor::SetEncodeSplit(c.parts, 0);
    const int width = (c.bits + 7) / 8;
    std::string samples = RandomBytes(static_cast<size_t>(c.frames * c.channels * width), c.frames + c.bits);
    // 20-bit samples fill the top of their 24-bit containers.
    for (size_t i = 0; c.bits == 20 && i < samples.size(); i += 3) samples[i] = static_cast<char>(samples[i] & 0xF0);
    WriteFile(in, MakeWAV(c.channels, 44100, c.bits, samples, Chunk("LIST", "abc"), Chunk("cue ", "x")));
    Encode(in, dir.File("out.flac"));
    EXPECT_EQ(TestUtil::Run("flac -t -s " + out), 0);
    EXPECT_EQ(RunOutput("metaflac --show-total-samples " + out), std::to_string(c.frames) + "\n");
    // WAV's 8-bit samples are unsigned.
    for (char& b : samples) b = static_cast<char>(c.bits == 8 ? b ^ 0x80 : b);
    EXPECT_TRUE(RunOutput(decode + out) == samples);
    // From the middle on, through the seek table.
    const long long skip = c.frames / 2;
    EXPECT_TRUE(RunOutput(decode + "--skip=" + std::to_string(skip) + " " + out) ==
                samples.substr(static_cast<size_t>(skip * c.channels * width)));
    EXPECT_EQ(RunOutput("metaflac --list --block-type=APPLICATION " + out + " | grep -c 'application ID: 72696666'"),
              "5\n");
  }
  Vantor::SetEncodeSplit(0, -1);
}

// A frame renumbered across every length of the number's coding (1 to 6 bytes for frame
// numbers) decodes in flac, which checks both CRCs, to the same samples; numbers past 31
// bits and bytes that are no frame are refused.
TEST(FLACFrames, RenumberedFramesDecodeInFlac) {
  TempDir dir;
  const std::string flac = dir.File("one.flac");
  EncodeFLAC(flac, TestSignal(2, 16, 4096, 77), 2, 16);  // a single frame, number 0
  EditMetadata(flac, 0);  // no length stated: a frame of any number belongs to the stream
  const std::string bytes = ReadFile(flac), decode = "flac -s -d -c --force-raw-format --endian=little --sign=signed ";
  const std::string samples = RunOutput(decode + Quote(flac));
  const size_t audio = bytes.find(std::string("\xFF\xF8", 2), 42);
  ASSERT_NE(audio, std::string::npos);
  const std::vector<uint8_t> frame(bytes.begin() + static_cast<std::ptrdiff_t>(audio), bytes.end());
  for (uint64_t number : {1ULL, 127ULL, 128ULL, 2047ULL, 2048ULL, 65535ULL, 65536ULL, (1ULL << 21), (1ULL << 26),
                          (1ULL << 31) - 1}) {
    SCOPED_TRACE(number);
    std::vector<uint8_t> out;
    ASSERT_TRUE(Vantor::Audio::RenumberFrame(frame.data(), frame.size(), number, out));
    uint64_t got = 0;
    ASSERT_TRUE(Vantor::Audio::FrameNumber(out.data(), out.size(), got));
    EXPECT_EQ(got, number);
    WriteFile(flac, bytes.substr(0, audio) + std::string(out.begin(), out.end()));
    EXPECT_TRUE(RunOutput(decode + Quote(flac) + " 2>/dev/null") == samples);
  }
  std::vector<uint8_t> out;
  EXPECT_FALSE(Vantor::Audio::RenumberFrame(frame.data(), frame.size(), 1ULL << 31, out));
  std::vector<uint8_t> broken = frame;
  broken[3] ^= 0x10;  // the header's CRC-8 no longer holds
  EXPECT_FALSE(Vantor::Audio::RenumberFrame(broken.data(), broken.size(), 1, out));
  EXPECT_FALSE(Vantor::Audio::RenumberFrame(frame.data(), 3, 1, out));
}
