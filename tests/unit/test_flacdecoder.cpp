// FLACDecoder against the flac tool: every frame it delivers, read forward and after
// seeks, equals what `flac -d` decodes; files it cannot use fail with their messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <stdexcept>
#include <vector>

#include "TestUtil.h"
#include "audio/FLACDecode.h"
#include "transcode/WAVImage.h"

using TestUtil::Quote;
using Vantor::FLACDecoder;

namespace {

// The samples that `flac -d` decodes from path, interleaved. The tool writes 20 bits
// only as WAV, left-justified in 3-byte containers; other depths as raw integers.
std::vector<int32_t> DecodeWithFlac(const std::string& path, int bits) {
  const std::string out = TestUtil::RunOutput(
      "flac -s -d -c " + std::string(bits == 20 ? "" : "--force-raw-format --endian=little --sign=signed ") + Quote(path));
  const std::size_t width = static_cast<std::size_t>(bits + 7) / 8;
  std::vector<int32_t> samples;
  for (std::size_t i = bits == 20 ? out.find("data", 12) + 8 : 0; i + width <= out.size(); i += width) {
    uint32_t u = 0;
    for (std::size_t b = 0; b < width; ++b) u |= static_cast<uint32_t>(static_cast<unsigned char>(out[i + b])) << (8 * b);
    samples.push_back(static_cast<int32_t>(u << (32 - 8 * width)) >> (32 - bits));
  }
  return samples;
}

// Reads up to frames frames from d and turns them back into integers.
std::vector<int32_t> Read(FLACDecoder& d, int frames) {
  std::vector<float> buffer(static_cast<std::size_t>(frames * d.ChannelCount()) + 1, 7.0f);
  const int got = d.GetSamples(buffer.data(), frames);
  EXPECT_GE(got, 0);
  EXPECT_EQ(buffer[static_cast<std::size_t>(got * d.ChannelCount())], 7.0f) << "wrote past the frames it returned";
  const double scale = static_cast<double>(1LL << (d.SampleSize() - 1));
  std::vector<int32_t> out;
  for (int i = 0; i < got * d.ChannelCount(); ++i) {
    out.push_back(static_cast<int32_t>(static_cast<double>(buffer[static_cast<std::size_t>(i)]) * scale));
  }
  return out;
}

std::vector<int32_t> Slice(const std::vector<int32_t>& all, long long frame, long long frames, int channels) {
  const long long total = static_cast<long long>(all.size()) / channels;
  const long long begin = std::clamp(frame, 0LL, total);
  const long long end = std::clamp(frame + frames, begin, total);
  return {all.begin() + begin * channels, all.begin() + end * channels};
}

struct Format {
  int bits;
  int channels;
};

class FLACDecoderSamples : public ::testing::TestWithParam<Format> {};

TEST_P(FLACDecoderSamples, EqualFlacToolForwardAndAfterSeeks) {
  const auto [bits, channels] = GetParam();
  const long frames = 3 * 4096 + 1234;
  TestUtil::TempDir dir;
  const std::string path = dir.File("t.flac");
  TestUtil::EncodeFLAC(path, TestUtil::TestSignal(channels, bits, frames, 17u * bits + channels), channels, bits,
                       "-b 4096");
  const std::vector<int32_t> expected = DecodeWithFlac(path, bits);
  ASSERT_EQ(expected.size(), static_cast<std::size_t>(frames * channels));

  FLACDecoder d(path);
  ASSERT_EQ(d.ChannelCount(), channels);
  ASSERT_EQ(d.SampleSize(), bits);
  ASSERT_EQ(d.FrameCount(), frames);
  ASSERT_EQ(d.FrameRate(), 44100.0);
  EXPECT_EQ(d.CountChunks(), 0u);

  // Forward in pieces that straddle block boundaries; Seek to where the decoder stands
  // keeps the half-used block. Asking past the end gives exactly what remains, then 0.
  d.Seek(0);
  std::vector<int32_t> forward;
  for (int piece : {1, 999, 4096, 3000, 6000}) {
    d.Seek(static_cast<long long>(forward.size()) / channels);
    const std::vector<int32_t> got = Read(d, piece);
    forward.insert(forward.end(), got.begin(), got.end());
  }
  EXPECT_EQ(forward, expected);
  EXPECT_TRUE(Read(d, 10).empty());

  // A seek barrage: first frames, last frames, past the end, then random frames.
  std::vector<long long> targets = {0, frames, 1, 4095, frames + 5, 4096, 10000, frames - 1, frames - 4096, 0};
  const char* fixed = std::getenv("LYREBOX_SEED");  // to replay a failure
  const unsigned seed = fixed ? static_cast<unsigned>(std::stoul(fixed)) : std::random_device{}();
  std::cout << "seek seed " << seed << " (LYREBOX_SEED)\n";
  std::mt19937 rng(seed);
  std::uniform_int_distribution<long long> any(0, frames - 1);
  for (int i = 0; i < 20; ++i) targets.push_back(any(rng));
  SCOPED_TRACE("seed " + std::to_string(seed));
  for (long long target : targets) {
    d.Seek(target);
    const int want = static_cast<int>(target % 5000) + 1;
    EXPECT_EQ(Read(d, want), Slice(expected, target, want, channels)) << "after Seek(" << target << ")";
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, FLACDecoderSamples,
                         ::testing::Values(Format{8, 1}, Format{8, 2}, Format{8, 6}, Format{16, 1}, Format{16, 2},
                                           Format{16, 6}, Format{20, 1}, Format{20, 2}, Format{20, 6}, Format{24, 1},
                                           Format{24, 2}, Format{24, 6}),
                         [](const auto& info) {
                           return std::to_string(info.param.bits) + "bit" + std::to_string(info.param.channels) + "ch";
                         });

TEST(FLACDecoder, RefusesWhatItCannotDecode) {
  TestUtil::TempDir dir;
  const std::string good = dir.File("good"), unsized = dir.File("no length");
  TestUtil::EncodeFLAC(good, TestUtil::TestSignal(2, 16, 5000, 1), 2, 16);
  TestUtil::EncodeFLAC(dir.File("32 bits"), TestUtil::TestSignal(2, 32, 5000, 1), 2, 32);
  std::filesystem::copy_file(good, unsized);
  TestUtil::PatchTotalSamples(unsized, 0);
  std::filesystem::create_directory(dir.File("folder"));
  TestUtil::WriteFile(dir.File("empty"), "");
  TestUtil::WriteFile(dir.File("wav"), TestUtil::MakeWAV(2, 44100, 16, std::string(400, 'x')));
  TestUtil::WriteFile(dir.File("no STREAMINFO"), "fLaC" + TestUtil::ReadFile(good).substr(4 + 4 + 34));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"missing", "error initializing FLAC decoder"}, {"folder", "error initializing FLAC decoder"},
      {"empty", "error processing FLAC metadata"},    {"wav", "error processing FLAC metadata"},
      {"no length", "FLAC metadata not found"},       {"no STREAMINFO", "FLAC metadata not found"},
      {"32 bits", "FLAC metadata not found"},
  };
  for (const auto& [name, message] : cases) {
    try {
      FLACDecoder d(dir.File(name));
      ADD_FAILURE() << name << ": no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), message) << name;
    }
    EXPECT_EQ(Vantor::TranscodedSize(dir.File(name)), 0) << name;
  }
}

// Damaged audio never crashes or hangs the decoder: it delivers fewer frames, those
// before the damage right, and seeks before the damage still work.
TEST(FLACDecoder, DamagedStreamsGiveFewerFrames) {
  TestUtil::TempDir dir;
  const long long frames = 8 * 4096;
  const std::string path = dir.File("t.flac");
  TestUtil::EncodeFLAC(path, TestUtil::TestSignal(2, 16, frames, 3), 2, 16, "-b 4096");
  const std::vector<int32_t> expected = DecodeWithFlac(path, 16);
  const std::string bytes = TestUtil::ReadFile(path);
  std::string garbled = bytes;
  for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 2000; ++i) garbled[i] = static_cast<char>(i * 7);
  for (const std::string& content : {bytes.substr(0, bytes.size() / 2), garbled}) {
    TestUtil::WriteFile(path, content);
    FLACDecoder d(path);
    const std::vector<int32_t> all = Read(d, static_cast<int>(frames) + 1);
    if (content.size() < bytes.size()) {
      EXPECT_LT(all.size(), expected.size());
    }
    EXPECT_LE(all.size(), expected.size());
    EXPECT_TRUE(std::equal(all.begin(), all.begin() + static_cast<long>(all.size() / 3), expected.begin()));
    for (long long target : {frames - 1, frames / 2 + 5, frames + 1, 3LL}) {
      d.Seek(target);
      const std::vector<int32_t> got = Read(d, 5000);
      if (target == 3) {
        EXPECT_EQ(got, Slice(expected, 3, 5000, 2));
      }
    }
  }
}

}  // namespace
