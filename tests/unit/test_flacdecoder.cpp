// FLACDecoder against the flac tool: every frame it delivers, read forward and after
// seeks, equals what `flac -d` decodes, at every depth up to 32 bits; lengths that
// STREAMINFO does not give or gives falsely are found from the last frame; damaged
// blocks are silence in their own places whatever the reading order; files it cannot use
// fail with their messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>

#include "FlacFixtures.h"
#include "ImageFixtures.h"
#include "SyntheticFLAC.h"
#include "audio/FLACDecode.h"
#include "transcode/WAVImage.h"

using namespace TestUtil;
using Vantor::FLACDecoder;

namespace {

// The samples that `flac -d` decodes from path, interleaved. The tool writes 20 bits
// only as WAV, left-justified in 3-byte containers; other depths as raw integers.
std::vector<int32_t> DecodeWithFlac(const std::string& path, int bits) {
  const std::string out = RunOutput("flac -s -d -c " +
                                    std::string(bits == 20 ? "" : "--force-raw-format --endian=little --sign=signed ") +
                                    Quote(path) + " 2>/dev/null");
  const std::size_t width = static_cast<std::size_t>(bits + 7) / 8;
  std::vector<int32_t> samples;
  for (std::size_t i = bits == 20 ? out.find("data", 12) + 8 : 0; i + width <= out.size(); i += width) {
    uint32_t u = 0;
    for (std::size_t b = 0; b < width; ++b)
      u |= static_cast<uint32_t>(static_cast<unsigned char>(out[i + b])) << (8 * b);
    samples.push_back(static_cast<int32_t>(u << (32 - 8 * width)) >> (32 - bits));
  }
  return samples;
}

// Reads up to frames frames from d.
std::vector<int32_t> Read(FLACDecoder& d, int frames) {
  std::vector<int32_t> buffer(static_cast<std::size_t>(frames * d.ChannelCount()) + 1, 0x7E7E7E7E);
  const int got = d.GetSamples(buffer.data(), frames);
  EXPECT_GE(got, 0);
  EXPECT_EQ(buffer[static_cast<std::size_t>(got * d.ChannelCount())], 0x7E7E7E7E) << "wrote past the frames it returned";
  buffer.resize(static_cast<std::size_t>(std::max(got, 0) * d.ChannelCount()));
  return buffer;
}

std::vector<int32_t> Slice(const std::vector<int32_t>& all, long long frame, long long frames, int channels) {
  const long long total = static_cast<long long>(all.size()) / channels;
  const long long begin = std::clamp(frame, 0LL, total), end = std::clamp(frame + frames, begin, total);
  return {all.begin() + begin * channels, all.begin() + end * channels};
}

unsigned Seed() {
  const char* fixed = std::getenv("LYREBOX_SEED");  // to replay a failure
  const unsigned seed = fixed ? static_cast<unsigned>(std::stoul(fixed)) : std::random_device{}();
  std::cout << "seed " << seed << " (LYREBOX_SEED)\n";
  return seed;
}

class FLACDecoderSamples : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(FLACDecoderSamples, EqualFlacToolForwardAndAfterSeeks) {
  const auto [bits, channels] = GetParam();
  const long frames = 3 * 4096 + 1234;
  TempDir dir;
  const std::string path = dir.File("t.flac");
  EncodeFLAC(path, TestSignal(channels, bits, frames, 17u * bits + channels), channels, bits);
  const std::vector<int32_t> expected = DecodeWithFlac(path, bits);
  ASSERT_EQ(expected.size(), static_cast<std::size_t>(frames * channels));
  FLACDecoder d(path);
  ASSERT_EQ(std::tuple(d.ChannelCount(), d.SampleSize(), d.FrameCount()), std::tuple(channels, bits, frames));
  EXPECT_EQ(Read(d, static_cast<int>(frames) + 1), expected);  // the whole stream in one piece, and no more

  // A seek barrage: first frames, last frames, past the end, then random frames.
  std::vector<long long> targets = {0, frames, 1, 4095, frames + 5, 4096, 10000, frames - 1, frames - 4096, 0};
  const unsigned seed = Seed();
  std::mt19937 rng(seed);
  for (int i = 0; i < 20; ++i) targets.push_back(rng() % frames);
  for (long long target : targets) {
    d.Seek(target);
    const int want = static_cast<int>(target % 5000) + 1;
    EXPECT_EQ(Read(d, want), Slice(expected, target, want, channels)) << "after Seek(" << target << "), seed " << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, FLACDecoderSamples,
                         testing::Combine(testing::Values(8, 16, 20, 24, 32), testing::Values(1, 2, 6)));

// A stream that states no length (written to a pipe), or one its file cannot hold, is
// as long as its last frame says, found also behind trailing junk; seeks then work on
// the whole of it. A stream without frames is empty.
TEST(FLACDecoder, FindsTheLengthSTREAMINFODoesNotGive) {
  TempDir dir;
  const long frames = 5 * 4096 + 777;
  const std::string good = dir.File("good.flac");
  EncodeFLAC(good, TestSignal(2, 16, frames, 5), 2, 16);
  const std::vector<int32_t> expected = DecodeWithFlac(good, 16);
  const struct { const char* name; long long stated; std::string trailer; } cases[] = {
      {"no length", 0, ""},
      {"no length, ID3v1 tag behind", 0, "TAG" + std::string(125, 'x')},
      {"no length, a false frame sync behind", 0, std::string("\xFF\xF8\x69\x08\x00\x17", 6) + RandomBytes(300, 2)},
      {"9.8 G frames", 9800000000LL, ""},
      // More frames than the file could hold even as the smallest stereo frames (11 bytes).
      {"more than the file can hold", static_cast<long long>(std::filesystem::file_size(good) / 11 + 2) * 65536, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File("t.flac");
    std::filesystem::copy_file(good, path, std::filesystem::copy_options::overwrite_existing);
    EditMetadata(path, c.stated);
    WriteFile(path, ReadFile(path) + c.trailer);
    FLACDecoder d(path);
    EXPECT_EQ(d.FrameCount(), frames);
    EXPECT_EQ(Read(d, static_cast<int>(frames)), expected);
    for (long long target : {frames - 1L, 9000L, 1L}) {
      d.Seek(target);
      EXPECT_EQ(Read(d, 3000), Slice(expected, target, 3000, 2)) << "after Seek(" << target << ")";
    }
  }

  // No frames at all: empty (the flac tool writes such a file for an empty WAV file).
  const std::string empty = dir.File("empty.flac");
  WriteFile(empty, FlacHead(StreamShape{}));
  EXPECT_EQ(FLACDecoder(empty).FrameCount(), 0);
  EXPECT_EQ(Vantor::TranscodedSize(empty), 44);
}

// A damaged block is silence in its own place, and every other block is where its
// header puts it, whichever way the stream is read (libFLAC drops a damaged first frame
// without standing silence in for it). A barrage of single byte flips in the audio.
TEST(FLACDecoder, DamagedBlocksAreSilenceInTheirOwnPlace) {
  TempDir dir;
  const long frames = 12 * 4096;
  const std::string good = dir.File("good.flac"), bad = dir.File("bad.flac");
  EncodeFLAC(good, TestSignal(2, 16, frames, 9), 2, 16);
  const std::string bytes = ReadFile(good), intact = ImageOf(good);
  const size_t audio = bytes.find(std::string("\xFF\xF8", 2), 42);
  ASSERT_NE(audio, std::string::npos);
  const unsigned seed = Seed();
  std::mt19937 rng(seed);
  std::vector<size_t> flips = {audio + 40, audio + (bytes.size() - audio) / 2, bytes.size() - 3};
  for (int i = 0; i < 24; ++i) flips.push_back(audio + rng() % (bytes.size() - audio));
  for (size_t at : flips) {
    SCOPED_TRACE(testing::Message() << "byte " << at << " flipped, seed " << seed);
    std::string damaged = bytes;
    damaged[at] = static_cast<char>(damaged[at] ^ (1 + rng() % 255));
    WriteFile(bad, damaged);
    const std::string forward = ImageOf(bad), backward = ImageOf(bad, true, 1000);
    ASSERT_TRUE(SameBytes(forward, backward));
    ASSERT_EQ(forward.size(), intact.size());
    for (size_t f = 0; f < static_cast<size_t>(frames); f += 4096) {
      const size_t from = 44 + f * 4, len = 4096 * 4;
      if (forward.compare(from, len, intact, from, len) == 0) continue;
      EXPECT_EQ(forward.substr(from, len), std::string(len, '\0')) << "block " << f / 4096 << " out of place";
    }
  }
}

// A cut stream delivers the frames before the cut and nothing after it; seeks before the
// cut work again after one behind it.
TEST(FLACDecoder, CutStreamEndsAtItsLastBlock) {
  TempDir dir;
  const long long frames = 8 * 4096;
  const std::string path = dir.File("t.flac");
  EncodeFLAC(path, TestSignal(2, 16, frames, 3), 2, 16);
  const std::vector<int32_t> expected = DecodeWithFlac(path, 16);
  WriteFile(path, ReadFile(path).substr(0, std::filesystem::file_size(path) / 2));
  FLACDecoder d(path);
  const std::vector<int32_t> all = Read(d, static_cast<int>(frames));
  EXPECT_EQ(all.size() % (4096 * 2), 0u);
  EXPECT_LT(all.size(), expected.size());
  EXPECT_TRUE(std::equal(all.begin(), all.end(), expected.begin()));
  d.Seek(frames - 1);
  EXPECT_TRUE(Read(d, 10).empty());
  d.Seek(3);
  EXPECT_EQ(Read(d, 5000), Slice(expected, 3, 5000, 2));
}

TEST(FLACDecoder, RefusesWhatItCannotDecode) {
  TempDir dir;
  const std::string good = dir.File("good");
  EncodeFLAC(good, TestSignal(2, 16, 5000, 1), 2, 16);
  std::filesystem::create_directory(dir.File("folder"));
  WriteFile(dir.File("empty"), "");
  WriteFile(dir.File("wav"), MakeWAV(2, 44100, 16, std::string(400, 'x')));
  WriteFile(dir.File("no STREAMINFO"), "fLaC" + ReadFile(good).substr(4 + 4 + 34));
  WriteFile(dir.File("no length, no frames"), FlacHead({.statedFrames = 0}) + RandomBytes(5000, 4));
  const std::pair<const char*, const char*> cases[] = {
      {"missing", "error initializing FLAC decoder"}, {"folder", "error initializing FLAC decoder"},
      {"empty", "error processing FLAC metadata"},    {"wav", "error processing FLAC metadata"},
      {"no STREAMINFO", "FLAC metadata not found"},   {"no length, no frames", "no FLAC frame found"},
  };
  for (const auto& [name, message] : cases) {
    EXPECT_EQ(ErrorOf([&] { FLACDecoder d(dir.File(name)); }), message) << name;
    EXPECT_EQ(Vantor::TranscodedSize(dir.File(name)), 0) << name;
  }
}

}  // namespace
