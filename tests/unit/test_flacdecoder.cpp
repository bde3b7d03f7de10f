// FLACDecoder: lengths that STREAMINFO does not give or gives falsely are found from the
// last frame; damaged blocks are silence in their own places whatever the reading order;
// files it cannot use fail with their messages. (Every depth against `flac -d`, read at
// random offsets: FidelityTest; a cut stream: test_transcoder.cpp.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>

#include "FlacFixtures.h"
#include "SyntheticFLAC.h"
#include "audio/FLACDecode.h"
#include "audio/PCM.h"
#include "audio/WAVFile.h"
#include "transcode/WAVImage.h"

using namespace TestUtil;
using Vantor::FLACDecoder;

namespace {

// The WAV image of a FLAC file put together in memory from the decoder, the image layout
// and the PCM packing, reading the audio in pieces from the front or from the back.
std::string ImageOf(const std::string& flac, bool backward = false, int piece = 4096) {
  FLACDecoder d(flac);
  const Vantor::ImagePlan plan = Vantor::PlanImage(d);
  std::string image = plan.head + std::string(static_cast<size_t>(plan.dataSize), '\0') + plan.tail;
  const int channels = d.ChannelCount(), container = Vantor::Audio::ContainerBits(d.SampleSize());
  const long long frameBytes = channels * container / 8, frames = d.FrameCount();
  std::vector<int32_t> samples(static_cast<size_t>(piece * channels));
  const long long pieces = (frames + piece - 1) / piece;
  for (long long k = 0; k < pieces; ++k) {
    const long long start = (backward ? pieces - 1 - k : k) * piece;
    d.Seek(start);
    // Frames the stream does not hold (past a cut) stay zeros, as in a cache file.
    const int got = d.GetSamples(samples.data(), piece);
    Vantor::Audio::PackPCM(samples.data(), static_cast<size_t>(got * channels), d.SampleSize(), container,
                           image.data() + plan.DataOffset() + start * frameBytes);
  }
  return image;
}

unsigned Seed() {
  const char* fixed = std::getenv("LYREBOX_SEED");  // to replay a failure
  const unsigned seed = fixed ? static_cast<unsigned>(std::stoul(fixed)) : std::random_device{}();
  std::cout << "seed " << seed << " (LYREBOX_SEED)\n";
  return seed;
}

// A stream that states no length (written to a pipe), or one its file cannot hold, is
// as long as its last frame says, found also behind trailing junk; seeks then work on
// the whole of it. A stream without frames is empty.
TEST(FLACDecoder, FindsTheLengthSTREAMINFODoesNotGive) {
  TempDir dir;
  const long frames = 5 * 4096 + 777;
  const std::string good = dir.File("good.flac");
  EncodeFLAC(good, TestSignal(2, 16, frames, 5), 2, 16);
  const std::string expected = FlacDecode(good);
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
    EXPECT_EQ(FLACDecoder(path).FrameCount(), frames);
    // Read from the back in pieces: a seek for each.
    EXPECT_TRUE(SameBytes(ImageOf(path, true, 3000), expected));
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
