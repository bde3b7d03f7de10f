// Transcoder: cut FLAC files, a cache where none can be named, decoding ahead of a
// sequential reader and the cache budget. (Images, random and concurrent reads and
// writes are checked through a volume in FidelityTest and by fuzz_writeback.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <thread>

#include "FlacFixtures.h"
#include "transcode/CacheBudget.h"
#include "transcode/Transcoder.h"

using namespace TestUtil;
using Vantor::Transcoder;
using Vantor::UniqueFd;

namespace {

// The content of the stored file at path, its cache beside it.
std::unique_ptr<Transcoder> Open(const std::string& path, int fallback = -1) {
  UniqueFd dir(open(path.substr(0, path.rfind('/')).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  return std::make_unique<Transcoder>(UniqueFd(open(path.c_str(), O_RDONLY | O_CLOEXEC)), dir.Get(), fallback);
}

// Whether the len bytes t reads at off are those of full there (fewer at its end).
testing::AssertionResult ReadsAs(Transcoder& t, const std::string& full, long long off, long long len) {
  std::string buf(static_cast<size_t>(len), '\xEE');
  const long long n = t.Read(buf.data(), buf.size(), off);
  const std::string want = full.substr(std::min(static_cast<size_t>(off), full.size()), static_cast<size_t>(len));
  if (n != static_cast<long long>(want.size())) return testing::AssertionFailure() << "offset " << off << ": " << n;
  return SameBytes(buf.substr(0, want.size()), want) << " at offset " << off;
}

}  // namespace

// A cut FLAC file: the audio before the cut comes back in its place, what is missing is
// an error, never silence, and reads before the cut work again after one behind it. A
// file cut in its metadata cannot be opened. (Damaged frames: test_flacdecoder.cpp.)
TEST(Transcoder, CutFileReadsAsFarAsItGoes) {
  TempDir dir;
  const std::string wav = MakeWAV(2, 44100, 16, RandomBytes(60000 * 4, 11)), path = dir.File("cut.flac");
  const std::string good = ReadFile(FlacEncode(wav, path));
  WriteFile(path, good.substr(0, 60));
  EXPECT_THROW(Open(path), std::runtime_error);
  WriteFile(path, good.substr(0, good.size() / 2));
  auto t = Open(path);
  EXPECT_TRUE(ReadsAs(*t, wav, 44, 4096));
  char buf[4096];
  EXPECT_EQ(t->Read(buf, sizeof buf, static_cast<long long>(wav.size()) - 5000), -EIO);
  EXPECT_TRUE(ReadsAs(*t, wav, 80000, 4096));
  EXPECT_EQ(t->ProduceAll(), -EIO);
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
    EXPECT_TRUE(ReadsAs(*t, wav, 0, static_cast<long long>(wav.size())));
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
    for (long long off = 0; off < size; off += step) {
      ASSERT_TRUE(ReadsAs(*t, full, off, step));
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
    ASSERT_TRUE(ReadsAs(*t, full, off, len));
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

  const std::string written = std::string(small).replace(5000, mark.size(), mark);
  EXPECT_TRUE(ReadsAs(*w, written, 0, static_cast<long long>(written.size())));
  budget.SetLimit(Vantor::CacheBudget::kDefaultLimit);
}
