// Transcoder reads: the WAV image against what the flac tool restores and against
// hand-built WAV files, random and concurrent reads, decoding work, damaged FLAC files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <thread>

#include "FlacFixtures.h"
#include "transcode/Conversion.h"
#include "transcode/Transcoder.h"
#include "transcode/WAVImage.h"

using namespace TestUtil;
using namespace std::string_literals;
using Vantor::Transcoder;

namespace {

std::string ReadImage(Transcoder& t, long long size) {
  std::string out(static_cast<size_t>(size) + 100, '\xEE');
  long long n = t.Read(out.data(), out.size(), 0);
  EXPECT_EQ(n, size);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

// Random sample bytes whose first two samples are the lowest and the highest value of
// the depth (8-bit WAV samples are unsigned).
std::string Samples(int bits, int channels, int frames, uint64_t seed) {
  const size_t width = static_cast<size_t>(bits + 7) / 8;
  std::string s = RandomBytes(static_cast<size_t>(frames * channels) * width, seed);
  s.replace(0, 2 * width, width == 1 ? "\x00\xff"s : std::string(width - 1, '\0') + '\x80' +
                                                       std::string(width - 1, '\xff') + '\x7f');
  return s;
}

}  // namespace

// Every image equals what flac restores (the source's chunk layout when the chunks were
// kept, else the plain 44-byte header), and so do TranscodedSize and the export; a WAV
// file encoded by ToFLAC comes back byte for byte. Odd sizes get their pad bytes.
TEST(Transcoder, ImageMatchesFlacAndRoundTrips) {
  const struct { int bits, channels, frames; std::string before, after; bool keep; } sources[] = {
      {8, 1, 1001, Chunk("LIST", "INFO" + Chunk("ISFT", "abc")), Chunk("id3 ", "odd"), true},
      {16, 2, 4097, "", "", true},
      {16, 1, 7, Chunk("junk", std::string(5, 'j')), "", true},
      {24, 6, 333, "", Chunk("cue ", "x"), true},
      {24, 2, 1500, Chunk("bext", "y"), Chunk("LIST", "zz"), true},
      {8, 1, 1001, Chunk("LIST", "abc"), Chunk("id3 ", "tail"), false},
      {8, 2, 1000, "", "", false},
      {16, 2, 1000, "", "", false},
  };
  TempDir dir;
  int k = 0;
  for (const auto& s : sources) {
    SCOPED_TRACE(testing::Message() << s.bits << " bit, " << s.channels << " ch, keep " << s.keep);
    const std::string samples = Samples(s.bits, s.channels, s.frames, ++k);
    const std::string wav = MakeWAV(s.channels, 44100, s.bits, samples, s.before, s.after);
    const std::string want = s.keep ? wav : MakeWAV(s.channels, 44100, s.bits, samples);
    const std::string flac = FlacEncode(wav, dir.File(std::to_string(k) + ".flac"), s.keep);
    ASSERT_TRUE(SameBytes(FlacDecode(flac), want));
    EXPECT_EQ(Vantor::TranscodedSize(flac), static_cast<long long>(want.size()));
    {
      Transcoder t(flac);
      EXPECT_EQ(t.GetSize(), static_cast<long long>(want.size()));
      EXPECT_TRUE(SameBytes(ReadImage(t, t.GetSize()), want));
    }
    (void)Transcoder(flac, dir.File("export.wav"));
    EXPECT_TRUE(SameBytes(ReadFile(dir.File("export.wav")), want));

    WriteFile(dir.File("source.wav"), wav);
    Vantor::ToFLAC(dir.File("source.wav"), dir.File("own.flac"));
    Transcoder own(dir.File("own.flac"));
    EXPECT_TRUE(SameBytes(ReadImage(own, own.GetSize()), wav));
  }

  // A 20-bit stream shows in 24-bit containers, left-justified.
  const std::vector<int32_t> signal = TestSignal(2, 20, 999, 20);
  std::string s20;
  for (int32_t v : signal) s20 += {static_cast<char>(v << 4), static_cast<char>(v >> 4), static_cast<char>(v >> 12)};
  EncodeFLAC(dir.File("20.flac"), signal, 2, 20);
  Transcoder t(dir.File("20.flac"));
  EXPECT_TRUE(SameBytes(ReadImage(t, t.GetSize()), MakeWAV(2, 44100, 24, s20)));
}

// A seek barrage on one transcoder, then threads reading a second one on the same file;
// every read equals the same bytes of a full read.
TEST(Transcoder, RandomAndConcurrentReadsMatchFullRead) {
  TempDir dir;
  // The image of a file encoded with its chunks is the source file (ImageMatchesFlacAndRoundTrips).
  const std::string full = MakeWAV(2, 44100, 16, RandomBytes(400000, 7), "", Chunk("id3 ", "tail"));
  const std::string flac = FlacEncode(full, dir.File("a.flac"));
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
// read decodes nothing; a file read from front to back decodes every frame exactly once
// and lets its decoder go.
TEST(Transcoder, DecodesOnlyWhatWasNeverProduced) {
  TempDir dir;
  const std::string flac = FlacEncode(MakeWAV(2, 44100, 16, RandomBytes(200000, 3)), dir.File("a.flac"));
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

// Damaged FLAC files: what can be decoded comes back in its place, the rest reads as
// zeros, and an export of them fails without leaving a destination.
TEST(Transcoder, DamagedFilesReadAsFarAsTheyDecode) {
  TempDir dir;
  const size_t frames = 60000;
  const std::string wav = MakeWAV(2, 44100, 16, RandomBytes(frames * 4, 11));
  const std::string good = ReadFile(FlacEncode(wav, dir.File("good.flac"))), path = dir.File("bad.flac");
  std::string garbled = good;
  for (size_t i = good.size() * 3 / 5; i < good.size() * 3 / 5 + 8; ++i) garbled[i] ^= 0x5A;
  std::string cutInMetadata = good.substr(0, 60), cutInHalf = good.substr(0, good.size() / 2);
  for (std::string* bytes : {&cutInMetadata, &cutInHalf}) {
    WriteFile(path, *bytes);
    EXPECT_THROW((void)Transcoder(path, dir.File("out.wav")), std::runtime_error);
    EXPECT_FALSE(FileExists(dir.File("out.wav")));
  }
  WriteFile(path, cutInMetadata);
  EXPECT_EQ(Transcoder(path).GetSize(), 0);

  for (std::string* bytes : {&cutInHalf, &garbled}) {
    SCOPED_TRACE(bytes == &cutInHalf ? "cut in half" : "one frame damaged");
    WriteFile(path, *bytes);
    Transcoder t(path);
    const std::string image = ReadImage(t, static_cast<long long>(wav.size()));
    ASSERT_EQ(image.size(), wav.size());
    EXPECT_EQ(image.substr(0, 44), wav.substr(0, 44));
    // Each FLAC block of 4096 frames is the original audio, in its place, or silence
    // (libFLAC stands in silence for a block it cannot decode).
    size_t silent = 0, firstSilent = frames;
    for (size_t f = 0; f < frames; f += 4096) {
      const size_t at = 44 + f * 4, len = std::min<size_t>(4096 * 4, wav.size() - at);
      if (image.compare(at, len, wav, at, len) == 0) continue;
      ASSERT_EQ(image.substr(at, len), std::string(len, '\0')) << "frames from " << f << " neither in place nor silent";
      ++silent;
      firstSilent = std::min(firstSilent, f);
    }
    EXPECT_GE(firstSilent, frames / 3);
    // All silence after a cut; one or two blocks around damage.
    if (bytes == &cutInHalf) {
      EXPECT_EQ(silent, (frames - firstSilent + 4095) / 4096);
    } else {
      EXPECT_TRUE(silent == 1 || silent == 2) << silent;
    }
  }
}
