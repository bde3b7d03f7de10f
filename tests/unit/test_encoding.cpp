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
using namespace std::string_literals;
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
  auto soxMade = [&](const std::string& args, const std::string& extension) {
    const std::string path = dir.File("made." + extension);
    EXPECT_EQ(TestUtil::Run("sox -n -r 44100 -c 2 " + args + " " + Quote(path) + " synth 0.1 sine 440"), 0);
    const std::string bytes = ReadFile(path);
    std::filesystem::remove(path);
    return bytes;
  };
  const struct {
    const char* name;
    std::string source;
    const char* message;
  } cases[] = {
      {"aiff", soxMade("-b 16", "aiff"), "wrong tag"},
      {"empty data", MakeWAV(2, 44100, 16, ""), "no audio data"},
      {"float", soxMade("-b 32 -e floating-point", "wav"), "unsupported sample format: floating point"},
      // Not integer PCM: a u-law file would come back as 16-bit PCM, not as itself.
      {"u-law", soxMade("-e u-law", "wav"), "unsupported sample format: tag 0007"},
      {"a rate FLAC cannot state", MakeWAV(1, 2000000, 16, RandomBytes(400, 5)), "unsupported sample format: 2000000 Hz"},
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
  const std::string in = dir.File("in.wav"), out = dir.File("out.flac"), raw = dir.File("out.raw");
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
    if (c.bits == 20) {
      for (size_t i = 0; i < samples.size(); i += 3) samples[i] = static_cast<char>(samples[i] & 0xF0);
    }
    WriteFile(in, MakeWAV(c.channels, 44100, c.bits, samples, Chunk("LIST", "abc"), Chunk("cue ", "x")));
    Encode(in, out);
    EXPECT_EQ(TestUtil::Run("flac -t -s " + Quote(out)), 0);
    EXPECT_EQ(RunOutput("metaflac --show-total-samples " + Quote(out)), std::to_string(c.frames) + "\n");
    EXPECT_EQ(TestUtil::Run("flac -d -s -f --force-raw-format --endian=little --sign=signed -o " + Quote(raw) + " " +
                            Quote(out)), 0);
    std::string want = samples;
    if (c.bits == 8) {
      for (char& b : want) b = static_cast<char>(b ^ 0x80);  // WAV's 8-bit samples are unsigned
    }
    EXPECT_TRUE(ReadFile(raw) == want);
    // From the middle on, through the seek table.
    const long long skip = c.frames / 2;
    EXPECT_EQ(TestUtil::Run("flac -d -s -f --force-raw-format --endian=little --sign=signed --skip=" +
                            std::to_string(skip) + " -o " + Quote(raw) + " " + Quote(out)), 0);
    EXPECT_TRUE(ReadFile(raw) == want.substr(static_cast<size_t>(skip * c.channels * width)));
    EXPECT_EQ(RunOutput("metaflac --list --block-type=APPLICATION " + Quote(out) + " | grep -c 'application ID: 72696666'"),
              "5\n");
  }
  Vantor::SetEncodeSplit(0, -1);
}

// A frame renumbered across every length of the number's coding (1 to 6 bytes for frame
// numbers) decodes in flac, which checks both CRCs, to the same samples; numbers past 31
// bits and bytes that are no frame are refused.
TEST(FLACFrames, RenumberedFramesDecodeInFlac) {
  TempDir dir;
  const int block = Vantor::Audio::FLACEncoder::BlockSize(5);
  const std::string samples = RandomBytes(static_cast<size_t>(block) * 4, 77);
  std::vector<unsigned char> frame;
  {
    Vantor::Audio::FLACEncoder part(
        [&](const unsigned char* bytes, size_t size, unsigned) { frame.assign(bytes, bytes + size); }, 0, 5, 16, 2,
        44100.0, {}, 0, nullptr);
    std::vector<int32_t> in(static_cast<size_t>(block) * 2);
    for (size_t i = 0; i < in.size(); ++i) {
      in[i] = static_cast<int16_t>(static_cast<uint8_t>(samples[2 * i]) | static_cast<uint8_t>(samples[2 * i + 1]) << 8);
    }
    part.Encode(in.data(), block);
    part.Finish();
  }
  ASSERT_FALSE(frame.empty());
  Vantor::Audio::StreamInfo info;
  info.minBlock = info.maxBlock = static_cast<unsigned>(block);
  info.sampleRate = 44100;
  info.channels = 2;
  info.bits = 16;
  const std::string head = "fLaC" + Vantor::Audio::StreamInfoBlock(info, true);
  const std::string flac = dir.File("one.flac"), raw = dir.File("one.raw");
  for (uint64_t number : {1ULL, 127ULL, 128ULL, 2047ULL, 2048ULL, 65535ULL, 65536ULL, (1ULL << 21), (1ULL << 26),
                          (1ULL << 31) - 1}) {
    SCOPED_TRACE(number);
    std::vector<uint8_t> out;
    ASSERT_TRUE(Vantor::Audio::RenumberFrame(frame.data(), frame.size(), number, out));
    uint64_t got = 0;
    ASSERT_TRUE(Vantor::Audio::FrameNumber(out.data(), out.size(), got));
    EXPECT_EQ(got, number);
    WriteFile(flac, head + std::string(out.begin(), out.end()));
    EXPECT_EQ(TestUtil::Run("flac -s -f -d --force-raw-format --endian=little --sign=signed -o " + Quote(raw) + " " +
                            Quote(flac) + " 2>/dev/null"), 0);
    EXPECT_TRUE(ReadFile(raw) == samples);
  }
  std::vector<uint8_t> out;
  EXPECT_FALSE(Vantor::Audio::RenumberFrame(frame.data(), frame.size(), 1ULL << 31, out));
  std::vector<uint8_t> broken(frame.begin(), frame.end());
  broken[3] ^= 0x10;  // the header's CRC-8 no longer holds
  EXPECT_FALSE(Vantor::Audio::RenumberFrame(broken.data(), broken.size(), 1, out));
  EXPECT_FALSE(Vantor::Audio::RenumberFrame(frame.data(), 3, 1, out));
}
