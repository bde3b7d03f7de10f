// Transcoder reads: the WAV image against the flac tool and hand-built WAV files,
// random and concurrent reads, decoding work, and damaged FLAC files.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <thread>

#include "FlacFixtures.h"
#include "TestUtil.h"
#include "transcode/Conversion.h"
#include "transcode/Transcoder.h"

using namespace TestUtil;
using Vantor::Transcoder;

namespace {

std::string ReadImage(Transcoder& t, long long size) {
  std::string out(static_cast<size_t>(size) + 100, '\xEE');
  long long n = t.Read(out.data(), out.size(), 0);
  EXPECT_EQ(n, size);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

struct Source {
  int bits, channels, frames;
  std::string before, after;
};

const Source kSources[] = {
    {8, 1, 1001, Chunk("LIST", "INFO" + Chunk("ISFT", "abc")), Chunk("id3 ", "odd")},
    {16, 2, 4097, "", ""},
    {16, 1, 7, Chunk("junk", std::string(5, 'j')), ""},
    {24, 6, 333, "", Chunk("cue ", "x")},
    {24, 2, 1500, Chunk("bext", "y"), Chunk("LIST", "zz")},
};

std::string MakeSource(const Source& s, uint64_t seed, int storedBits = 0) {
  int bytes = (s.bits + 7) / 8;
  std::string samples = RandomBytes(static_cast<size_t>(s.frames) * s.channels * bytes, seed);
  if (s.bits == 20)
    for (size_t i = 0; i < samples.size(); i += 3) samples[i] = static_cast<char>(samples[i] & 0xF0);
  int bits = storedBits ? storedBits : s.bits;
  std::string body = "WAVE" + FmtChunk(s.channels, 44100, bits, bytes) + s.before + Chunk("data", samples) + s.after;
  return "RIFF" + LE32(static_cast<unsigned>(body.size())) + body;
}

}  // namespace

// Every image equals flac's own decoding with the foreign chunks restored, the export
// writes exactly the image, and a WAV file encoded by ToFLAC comes back byte for byte.
TEST(Transcoder, ImageMatchesFlacAndRoundTrips) {
  TempDir dir;
  int k = 0;
  for (const Source& s : kSources) {
    SCOPED_TRACE(testing::Message() << s.bits << " bit, " << s.channels << " ch, " << s.frames << " frames");
    const std::string wav = MakeSource(s, ++k);
    const std::string flac = FlacEncode(wav, dir.File("flac" + std::to_string(k) + ".flac"));
    WriteFile(dir.File("source.wav"), wav);
    const std::string oracle = FlacDecode(flac);
    ASSERT_TRUE(SameBytes(oracle, wav));
    {
      Transcoder t(flac);
      EXPECT_EQ(t.GetSize(), static_cast<long long>(wav.size()));
      EXPECT_TRUE(SameBytes(ReadImage(t, t.GetSize()), oracle));
    }
    (void)Transcoder(flac, dir.File("export.wav"));
    EXPECT_TRUE(SameBytes(ReadFile(dir.File("export.wav")), oracle));

    Vantor::ToFLAC(dir.File("source.wav"), dir.File("own.flac"));
    Transcoder own(dir.File("own.flac"));
    EXPECT_TRUE(SameBytes(ReadImage(own, own.GetSize()), wav));
  }
  // A 20-bit source comes back in 24-bit containers with the same sample bytes.
  const Source s20{20, 2, 999, Chunk("LIST", "abc"), ""};
  WriteFile(dir.File("s20.wav"), MakeSource(s20, 20));
  Vantor::ToFLAC(dir.File("s20.wav"), dir.File("s20.flac"));
  Transcoder t20(dir.File("s20.flac"));
  EXPECT_TRUE(SameBytes(ReadImage(t20, t20.GetSize()), MakeSource(s20, 20, 24)));
}

// A seek barrage on one transcoder, then threads reading a second one on the same file;
// every read equals the same bytes of a full read.
TEST(Transcoder, RandomAndConcurrentReadsMatchFullRead) {
  TempDir dir;
  const std::string flac = FlacEncode(MakeSource({16, 2, 100000, "", Chunk("id3 ", "tail")}, 7), dir.File("a.flac"));
  std::string full;
  {
    Transcoder t(flac);
    full = ReadImage(t, t.GetSize());
  }
  const long long size = static_cast<long long>(full.size());
  const unsigned seed = std::random_device{}();
  std::printf("seed %u\n", seed);
  auto check = [&](Transcoder& t, std::mt19937& rng, int count) {
    std::vector<std::pair<long long, long long>> reads = {
        {0, 36}, {40, 20}, {43, 1}, {size - 14, 8}, {size - 10, 100}, {size + 5, 10}};
    std::uniform_int_distribution<long long> offset(0, size + 1000), length(1, 70000);
    for (int i = 0; i < count; ++i) reads.emplace_back(offset(rng), length(rng));
    for (auto [off, len] : reads) {
      std::string buf(static_cast<size_t>(len), '\xEE');
      long long n = t.Read(buf.data(), buf.size(), off);
      std::string want = off < size ? full.substr(static_cast<size_t>(off), static_cast<size_t>(len)) : "";
      ASSERT_EQ(n, static_cast<long long>(want.size())) << "offset " << off << " size " << len;
      ASSERT_TRUE(SameBytes(buf.substr(0, want.size()), want)) << "offset " << off << " size " << len;
    }
  };
  Transcoder a(flac), b(flac);
  std::mt19937 rng(seed);
  check(a, rng, 200);
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      std::mt19937 own(seed + i + 1);
      check(b, own, 50);
    });
  }
  for (auto& th : threads) th.join();
}

// A range read twice is decoded once, a read around it decodes only the rest, a header
// read decodes nothing; a file read from front to back decodes every frame exactly once and lets its decoder go.
TEST(Transcoder, DecodesOnlyWhatWasNeverProduced) {
  TempDir dir;
  const std::string flac = FlacEncode(MakeSource({16, 2, 50000, "", ""}, 3), dir.File("a.flac"));
  Transcoder t(flac);
  char buf[65536];
  EXPECT_EQ(t.Read(buf, 36, 0), 36);
  EXPECT_EQ(t.FramesDecoded(), 0);
  t.Read(buf, 1000, 100002);
  const long long once = t.FramesDecoded();
  EXPECT_EQ(once, 251);  // bytes 100002..101001 lie in frames 24989..25239
  t.Read(buf, 1000, 100002);
  EXPECT_EQ(t.FramesDecoded(), once);
  t.Read(buf, 20000, 90000);  // frames 22489..27488 around the decoded ones
  EXPECT_EQ(t.FramesDecoded(), once + 5000 - 251);
  for (long long off = 0; off < t.GetSize(); off += sizeof buf) t.Read(buf, sizeof buf, off);
  EXPECT_EQ(t.FramesDecoded(), 50000);
  EXPECT_FALSE(t.HasDecoder());
}

// Damaged FLAC files: what can be decoded comes back, the rest reads as zeros, and an
// export of them fails without leaving a destination.
TEST(Transcoder, DamagedFilesReadAsFarAsTheyDecode) {
  TempDir dir;
  const Source s{16, 2, 60000, "", ""};
  const std::string wav = MakeSource(s, 11);
  const std::string good = ReadFile(FlacEncode(wav, dir.File("good.flac")));
  const size_t frameBytes = 4, dataStart = 44;
  struct Damage {
    const char* name;
    std::string bytes;
    bool decodes;
  } cases[] = {
      {"empty", "", false},
      {"cut in metadata", good.substr(0, 60), false},
      {"cut in half", good.substr(0, good.size() / 2), true},
      {"one frame damaged", good, true},
  };
  for (size_t i = good.size() * 3 / 5; i < good.size() * 3 / 5 + 8; ++i) cases[3].bytes[i] ^= 0x5A;

  for (const Damage& d : cases) {
    SCOPED_TRACE(d.name);
    const std::string path = dir.File("bad.flac");
    WriteFile(path, d.bytes);
    Transcoder t(path);
    if (!d.decodes) {
      char c;
      EXPECT_EQ(t.GetSize(), 0);
      EXPECT_EQ(t.Read(&c, 1, 0), 0);
      EXPECT_THROW((void)Transcoder(path, dir.File("out.wav")), std::runtime_error);
      EXPECT_FALSE(FileExists(dir.File("out.wav")));
      continue;
    }
    const std::string image = ReadImage(t, static_cast<long long>(wav.size()));
    ASSERT_EQ(image.size(), wav.size());
    EXPECT_TRUE(SameBytes(image.substr(0, dataStart), wav.substr(0, dataStart)));
    // Each FLAC block of 4096 frames is the original audio, in its place, or silence
    // (libFLAC stands in silence for a block it cannot decode).
    size_t silent = 0, firstSilent = s.frames;
    for (size_t f = 0; f < static_cast<size_t>(s.frames); f += 4096) {
      size_t at = dataStart + f * frameBytes, len = std::min<size_t>(4096 * frameBytes, wav.size() - at);
      if (image.compare(at, len, wav, at, len) == 0) continue;
      const auto block = image.begin() + static_cast<std::ptrdiff_t>(at);
      ASSERT_TRUE(std::all_of(block, block + static_cast<std::ptrdiff_t>(len), [](char c) { return c == 0; }))
          << "frames from " << f << " are neither in place nor silent";
      ++silent;
      firstSilent = std::min(firstSilent, f);
    }
    EXPECT_GE(silent, 1u);
    EXPECT_GE(firstSilent, static_cast<size_t>(s.frames) / 3);
    if (std::string(d.name) == "cut in half") {
      EXPECT_EQ(silent, (s.frames - firstSilent + 4095) / 4096);  // all silence after the cut
      EXPECT_THROW((void)Transcoder(path, dir.File("out.wav")), std::runtime_error);
      EXPECT_FALSE(FileExists(dir.File("out.wav")));
    } else {
      EXPECT_LE(silent, 2u);
    }
  }
}
