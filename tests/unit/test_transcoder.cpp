// Transcoder: the WAV image against what the flac tool restores and against hand-built
// WAV files, random and concurrent reads, decoding work, damaged FLAC files, and writes
// that keep every byte they do not touch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <thread>

#include <chrono>

#include "FlacFixtures.h"
#include "transcode/CacheBudget.h"
#include "transcode/Conversion.h"
#include "transcode/Transcoder.h"
#include "transcode/WAVImage.h"

using namespace TestUtil;
using namespace std::string_literals;
using Vantor::Transcoder;
using Vantor::UniqueFd;

namespace {

// The content of the stored file at path, its cache beside it.
std::unique_ptr<Transcoder> Open(const std::string& path, int fallback = -1) {
  UniqueFd dir(open(path.substr(0, path.rfind('/')).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  return std::make_unique<Transcoder>(UniqueFd(open(path.c_str(), O_RDONLY | O_CLOEXEC)), dir.Get(), fallback);
}

// The whole cache file: the content once everything is produced.
std::string CacheBytes(Transcoder& t) {
  EXPECT_EQ(t.ProduceAll(), 0);
  std::string bytes(static_cast<size_t>(t.Size()), '\0');
  EXPECT_EQ(pread(t.Cache().Fd(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  return bytes;
}

// The FLAC file EncodeWAV makes of the WAV file at wav.
void Encode(const std::string& wav, const std::string& flac) {
  UniqueFd in(open(wav.c_str(), O_RDONLY | O_CLOEXEC));
  UniqueFd out(open(flac.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  Vantor::EncodeWAV(in.Get(), out.Get(), "test.wav");
}

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
// kept, else the plain 44-byte header), and so do TranscodedSize and the whole produced
// cache; a WAV file encoded by EncodeWAV comes back byte for byte. Odd sizes get their
// pad bytes.
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
      auto t = Open(flac);
      EXPECT_EQ(t->Size(), static_cast<long long>(want.size()));
      EXPECT_TRUE(SameBytes(ReadImage(*t, t->Size()), want));
    }
    EXPECT_TRUE(SameBytes(CacheBytes(*Open(flac)), want));

    WriteFile(dir.File("source.wav"), wav);
    Encode(dir.File("source.wav"), dir.File("own.flac"));
    auto own = Open(dir.File("own.flac"));
    EXPECT_TRUE(SameBytes(ReadImage(*own, own->Size()), wav));
  }

  // A 20-bit stream shows in 24-bit containers, left-justified.
  const std::vector<int32_t> signal = TestSignal(2, 20, 999, 20);
  std::string s20;
  for (int32_t v : signal) s20 += {static_cast<char>(v << 4), static_cast<char>(v >> 4), static_cast<char>(v >> 12)};
  EncodeFLAC(dir.File("20.flac"), signal, 2, 20);
  auto t = Open(dir.File("20.flac"));
  EXPECT_TRUE(SameBytes(ReadImage(*t, t->Size()), MakeWAV(2, 44100, 24, s20)));
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
  auto a = Open(flac), b = Open(flac);
  std::mt19937 rng(seed);
  check(*a, rng, 200);
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      std::mt19937 own(seed + i + 1);
      check(*b, own, 50);
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
  auto owned = Open(flac);
  Transcoder& t = *owned;
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
  for (long long off = 0; off < t.Size(); off += sizeof buf) t.Read(buf, sizeof buf, off);
  EXPECT_EQ(t.FramesDecoded(), 50000);
  EXPECT_FALSE(t.HasDecoder());
}

// Damaged FLAC files: what can be decoded comes back in its place, a block libFLAC
// cannot decode as silence; what is missing altogether is an error, never silence; a file
// cut in its metadata cannot be opened.
TEST(Transcoder, DamagedFilesReadAsFarAsTheyDecode) {
  TempDir dir;
  const size_t frames = 60000;
  const std::string wav = MakeWAV(2, 44100, 16, RandomBytes(frames * 4, 11));
  const std::string good = ReadFile(FlacEncode(wav, dir.File("good.flac"))), path = dir.File("bad.flac");
  std::string garbled = good;
  for (size_t i = good.size() * 3 / 5; i < good.size() * 3 / 5 + 8; ++i) garbled[i] ^= 0x5A;
  WriteFile(path, good.substr(0, 60));
  EXPECT_THROW(Open(path), std::runtime_error);

  WriteFile(path, good.substr(0, good.size() / 2));
  {
    auto t = Open(path);
    char buf[4096];
    EXPECT_EQ(t->Read(buf, sizeof buf, 44), static_cast<long long>(sizeof buf));
    EXPECT_EQ(std::string(buf, sizeof buf), wav.substr(44, sizeof buf));
    EXPECT_EQ(t->Read(buf, sizeof buf, static_cast<long long>(wav.size()) - 5000), -EIO);
    EXPECT_EQ(t->ProduceAll(), -EIO);
  }

  WriteFile(path, garbled);
  auto t = Open(path);
  const std::string image = ReadImage(*t, static_cast<long long>(wav.size()));
  ASSERT_EQ(image.size(), wav.size());
  EXPECT_EQ(image.substr(0, 44), wav.substr(0, 44));
  // Each FLAC block of 4096 frames is the original audio, in its place, or silence.
  size_t silent = 0;
  for (size_t f = 0; f < frames; f += 4096) {
    const size_t at = 44 + f * 4, len = std::min<size_t>(4096 * 4, wav.size() - at);
    if (image.compare(at, len, wav, at, len) == 0) continue;
    ASSERT_EQ(image.substr(at, len), std::string(len, '\0')) << "frames from " << f << " neither in place nor silent";
    ++silent;
  }
  EXPECT_TRUE(silent == 1 || silent == 2) << silent;
}

// Writes into a stored file's content keep every byte they do not touch, whatever was
// read before; truncation cuts or extends; the written bytes win over decoding.
TEST(Transcoder, WritesKeepEveryOtherByte) {
  TempDir dir;
  const std::string wav = MakeWAV(2, 44100, 16, RandomBytes(70000 * 4, 3), Chunk("LIST", "abc"), Chunk("id3 ", "tail!"));
  const long long data = 12 + 24 + 12 + 8;  // RIFF, fmt, LIST, data header
  const struct { long long readOffset, readSize, offset; std::string bytes; } cases[] = {
      {0, 0, data + 140000, "ABCDE"},
      {data + 100000, 50000, data + 99998, "xyz"},  // across the edge of what was read
      {0, 0, data + 280000 - 2, std::string("\x01\x02\x03\x04", 4)},  // last frame and the chunk after
      {0, 0, 45, "Z"},  // inside the LIST chunk
  };
  const std::string flac = FlacEncode(wav, dir.File("e.flac"));
  for (const auto& e : cases) {
    SCOPED_TRACE(testing::Message() << "edit at " << e.offset);
    std::string expected = wav;
    expected.replace(static_cast<size_t>(e.offset), e.bytes.size(), e.bytes);
    auto t = Open(flac);
    std::string buf(static_cast<size_t>(e.readSize), '\0');
    if (e.readSize) t->Read(buf.data(), buf.size(), e.readOffset);
    EXPECT_EQ(t->Write(e.bytes.data(), e.bytes.size(), e.offset), static_cast<long long>(e.bytes.size()));
    EXPECT_TRUE(t->IsModified());
    EXPECT_TRUE(SameBytes(CacheBytes(*t), expected));
  }
  auto t = Open(flac);
  ASSERT_EQ(t->Truncate(data + 1000), 0);
  EXPECT_TRUE(SameBytes(CacheBytes(*t), wav.substr(0, data + 1000)));
  ASSERT_EQ(t->Truncate(data + 2000), 0);
  EXPECT_TRUE(SameBytes(CacheBytes(*t), wav.substr(0, data + 1000) + std::string(1000, '\0')));
  ASSERT_EQ(t->Truncate(0), 0);
  EXPECT_EQ(t->Size(), 0);
  EXPECT_EQ(t->Write("x", 1, 10), 1);
  EXPECT_EQ(CacheBytes(*t), std::string(10, '\0') + "x");
  EXPECT_EQ(ReadFile(flac), ReadFile(FlacEncode(wav, dir.File("again.flac"))));  // the stored file is untouched
}

// A folder that cannot take the cache: it goes to the fallback folder, writes are
// refused, reads work. A cache that cannot be written fails the construction, and no
// cache ever leaves a name behind.
TEST(Transcoder, CachesWithoutANameAndRefusesWritesOutsideTheFolder) {
  TempDir dir, other;
  const std::string folder = dir.File("ro"), wav = MakeWAV(2, 44100, 16, RandomBytes(20000, 6));
  mkdir(folder.c_str(), 0755);
  const std::string flac = FlacEncode(wav, folder + "/s.flac");
  // Root writes into a folder whatever its mode: it makes the folder immutable instead.
  const bool root = geteuid() == 0;
  struct Undo {
    std::string command;
    ~Undo() { TestUtil::Run(command); }
  } undo{(root ? "chattr -i " : "chmod 755 ") + Quote(folder)};
  if (TestUtil::Run((root ? "chattr +i " : "chmod 555 ") + Quote(folder) + " 2>/dev/null") != 0)
    GTEST_SKIP() << "cannot make a folder unwritable here";
  UniqueFd fallback(open(other.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  {
    auto t = Open(flac, fallback.Get());
    EXPECT_FALSE(t->CanWrite());
    EXPECT_EQ(t->Write("x", 1, 50), -EACCES);
    EXPECT_EQ(t->Truncate(10), -EACCES);
    EXPECT_TRUE(SameBytes(ReadImage(*t, static_cast<long long>(wav.size())), wav));
  }
  EXPECT_THROW(Open(flac), std::system_error);
  TestUtil::Run((root ? "chattr -i " : "chmod 755 ") + Quote(folder));

  struct rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  struct rlimit low = old;
  low.rlim_cur = 20;
  sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &low);
  const std::string error = ErrorOf([&] { Open(flac); });
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_NE(error.find("could not write"), std::string::npos) << error;
  EXPECT_EQ(Entries(folder), std::set<std::string>{"s.flac"});
  EXPECT_TRUE(Entries(other.Path()).empty());
}

// A content read front to back is decoded ahead by a second thread: every read, of any
// size, equals the bytes flac restores, and every frame is decoded once. The helper ends
// when the reads stop, and with its content while it works.
TEST(Transcoder, DecodesAheadOfASequentialReader) {
  TempDir dir;
  const long long frames = 2400000;  // about nine units of 1 MiB
  const std::string full = MakeWAV(2, 44100, 16, RandomBytes(static_cast<size_t>(frames * 4), 21));
  const std::string flac = FlacEncode(full, dir.File("a.flac"));
  const long long size = static_cast<long long>(full.size());
  for (long long step : {4096LL, 131072LL, 1000003LL}) {
    SCOPED_TRACE(step);
    auto t = Open(flac);
    bool ahead = false;
    std::string buf(static_cast<size_t>(step), '\xEE');
    for (long long off = 0; off < size; off += step) {
      const long long n = t->Read(buf.data(), buf.size(), off);
      ASSERT_EQ(n, std::min(step, size - off)) << "offset " << off;
      ASSERT_TRUE(SameBytes(buf.substr(0, static_cast<size_t>(n)), full.substr(static_cast<size_t>(off), static_cast<size_t>(n))))
          << "offset " << off;
      ahead = ahead || t->DecodingAhead();
    }
    EXPECT_TRUE(ahead);
    EXPECT_EQ(t->FramesDecoded(), frames);
    EXPECT_FALSE(t->HasDecoder());
  }
  char buf[131072];
  auto t = Open(flac);
  for (int i = 0; i < 3; ++i) t->Read(buf, sizeof buf, i * static_cast<long long>(sizeof buf));
  EXPECT_TRUE(t->DecodingAhead());
  // Ends about a second after the last read; allowed ten.
  for (int i = 0; i < 100 && t->DecodingAhead(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(t->DecodingAhead());
  // No further than a few units ahead of the reader.
  EXPECT_LT(t->FramesDecoded(), frames * 2 / 3);
  // Destroyed while the helper works: it ends with its content.
  auto u = Open(flac);
  for (int i = 0; i < 3; ++i) u->Read(buf, sizeof buf, i * static_cast<long long>(sizeof buf));
  u.reset();
}

// With a budget smaller than the image, reading it through, then at random, then from the
// start again never holds more than the budget on disk; what was given back is decoded
// again, never served as zeros; written data is never given back.
TEST(Transcoder, GivesBackWhatWasReadLongestAgo) {
  TempDir dir;
  Vantor::CacheBudget& budget = Vantor::CacheBudget::Process();
  budget.SetLimit(Vantor::CacheBudget::kMinimumLimit);
  const long long limit = budget.Limit();
  const long long frames = 3000000;  // 12 MB of 16-bit stereo
  const std::string full = MakeWAV(2, 44100, 16, RandomBytes(static_cast<size_t>(frames * 4), 8));
  const std::string flac = FlacEncode(full, dir.File("a.flac"));
  const long long size = static_cast<long long>(full.size());

  // A written content beside it.
  const std::string small = MakeWAV(1, 8000, 16, RandomBytes(200000, 2));
  auto w = Open(FlacEncode(small, dir.File("w.flac")));
  const std::string mark = RandomBytes(100000, 3);
  ASSERT_EQ(w->Write(mark.data(), mark.size(), 5000), static_cast<long long>(mark.size()));

  auto t = Open(flac);
  auto held = [&] {
    struct stat st;
    fstat(t->Cache().Fd(), &st);
    return static_cast<long long>(st.st_blocks) * 512;
  };
  auto check = [&](long long off, long long len) {
    std::string buf(static_cast<size_t>(len), '\xEE');
    const long long n = t->Read(buf.data(), buf.size(), off);
    const long long want = std::max(0LL, std::min(len, size - off));
    ASSERT_EQ(n, want) << "offset " << off;
    ASSERT_TRUE(SameBytes(buf.substr(0, static_cast<size_t>(want)), full.substr(static_cast<size_t>(off), static_cast<size_t>(want))))
        << "offset " << off;
    // The budget, and a block of slack for the header and partly filled blocks.
    ASSERT_LE(budget.Used(), limit);
    ASSERT_LE(held(), limit + 65536) << "offset " << off;
  };
  for (long long off = 0; off < size; off += 131072) check(off, 131072);
  EXPECT_GT(t->FramesDecoded(), 0);
  const unsigned seed = std::random_device{}();
  std::printf("seed %u\n", seed);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<long long> offset(0, size), length(1, 300000);
  for (int i = 0; i < 300; ++i) check(offset(rng), length(rng));
  // Around the edges of units (where giving back shares file system blocks).
  for (long long u = 1; u < 12; ++u) check(44 + u * (1 << 20) - 3, 7);
  for (long long off = 0; off < size; off += 1 << 20) check(off, 4096);
  EXPECT_GT(t->FramesDecoded(), frames);

  std::string back(mark.size(), '\0');
  ASSERT_EQ(w->Read(back.data(), back.size(), 5000), static_cast<long long>(back.size()));
  EXPECT_TRUE(back == mark);
  budget.SetLimit(Vantor::CacheBudget::kDefaultLimit);
}
