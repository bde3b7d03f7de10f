// FLACDecoder against the flac tool: every frame it delivers, read forward and after
// seeks, equals what `flac -d` decodes; files it cannot use fail with their messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>

#include "FlacFixtures.h"
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
                                    Quote(path));
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

// Reads up to frames frames from d and turns them back into integers.
std::vector<int32_t> Read(FLACDecoder& d, int frames) {
  std::vector<float> buffer(static_cast<std::size_t>(frames * d.ChannelCount()) + 1, 7.0f);
  const int got = d.GetSamples(buffer.data(), frames);
  EXPECT_GE(got, 0);
  EXPECT_EQ(buffer[static_cast<std::size_t>(got * d.ChannelCount())], 7.0f) << "wrote past the frames it returned";
  const double scale = static_cast<double>(1LL << (d.SampleSize() - 1));
  std::vector<int32_t> out;
  for (int i = 0; i < got * d.ChannelCount(); ++i)
    out.push_back(static_cast<int32_t>(static_cast<double>(buffer[static_cast<std::size_t>(i)]) * scale));
  return out;
}

std::vector<int32_t> Slice(const std::vector<int32_t>& all, long long frame, long long frames, int channels) {
  const long long total = static_cast<long long>(all.size()) / channels;
  const long long begin = std::clamp(frame, 0LL, total), end = std::clamp(frame + frames, begin, total);
  return {all.begin() + begin * channels, all.begin() + end * channels};
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
  const char* fixed = std::getenv("LYREBOX_SEED");  // to replay a failure
  const unsigned seed = fixed ? static_cast<unsigned>(std::stoul(fixed)) : std::random_device{}();
  std::cout << "seek seed " << seed << " (LYREBOX_SEED)\n";
  std::mt19937 rng(seed);
  std::uniform_int_distribution<long long> any(0, frames - 1);
  for (int i = 0; i < 20; ++i) targets.push_back(any(rng));
  for (long long target : targets) {
    d.Seek(target);
    const int want = static_cast<int>(target % 5000) + 1;
    EXPECT_EQ(Read(d, want), Slice(expected, target, want, channels)) << "after Seek(" << target << "), seed " << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, FLACDecoderSamples,
                         testing::Combine(testing::Values(8, 16, 20, 24), testing::Values(1, 2, 6)));

TEST(FLACDecoder, RefusesWhatItCannotDecode) {
  TempDir dir;
  const std::string good = dir.File("good");
  EncodeFLAC(good, TestSignal(2, 16, 5000, 1), 2, 16);
  EncodeFLAC(dir.File("32 bits"), TestSignal(2, 32, 5000, 1), 2, 32);
  std::filesystem::copy_file(good, dir.File("no length"));
  EditMetadata(dir.File("no length"), 0);
  std::filesystem::create_directory(dir.File("folder"));
  WriteFile(dir.File("empty"), "");
  WriteFile(dir.File("wav"), MakeWAV(2, 44100, 16, std::string(400, 'x')));
  WriteFile(dir.File("no STREAMINFO"), "fLaC" + ReadFile(good).substr(4 + 4 + 34));
  const std::pair<const char*, const char*> cases[] = {
      {"missing", "error initializing FLAC decoder"}, {"folder", "error initializing FLAC decoder"},
      {"empty", "error processing FLAC metadata"},    {"wav", "error processing FLAC metadata"},
      {"no length", "FLAC metadata not found"},       {"no STREAMINFO", "FLAC metadata not found"},
      {"32 bits", "FLAC metadata not found"},
  };
  for (const auto& [name, message] : cases) {
    EXPECT_EQ(ErrorOf([&] { FLACDecoder d(dir.File(name)); }), message) << name;
    EXPECT_EQ(Vantor::TranscodedSize(dir.File(name)), 0) << name;
  }
}

// A cut stream delivers fewer frames, those before the cut right; a seek into the
// missing part fails, and seeks before the cut work again after it.
TEST(FLACDecoder, CutStreamGivesFewerFramesAndSeeksAgain) {
  TempDir dir;
  const long long frames = 8 * 4096;
  const std::string path = dir.File("t.flac");
  EncodeFLAC(path, TestSignal(2, 16, frames, 3), 2, 16);
  const std::vector<int32_t> expected = DecodeWithFlac(path, 16);
  WriteFile(path, ReadFile(path).substr(0, std::filesystem::file_size(path) / 2));
  FLACDecoder d(path);
  const std::vector<int32_t> all = Read(d, static_cast<int>(frames));
  EXPECT_LT(all.size(), expected.size());
  EXPECT_TRUE(std::equal(all.begin(), all.begin() + static_cast<long>(all.size() / 3), expected.begin()));
  d.Seek(frames - 1);
  EXPECT_TRUE(Read(d, 10).empty());
  d.Seek(3);
  EXPECT_EQ(Read(d, 5000), Slice(expected, 3, 5000, 2));
}

}  // namespace
