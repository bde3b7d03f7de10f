// Transcoder write-back: written WAV data becomes FLAC (or stays as a real WAV file),
// stored audio that was neither read nor written survives, flush and truncate, and no
// failure leaves a cache file behind. The flac tool decodes every result.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FlacFixtures.h"
#include "transcode/Transcoder.h"

using namespace TestUtil;
using Vantor::Transcoder;

namespace {

std::string Audio(int frames, uint64_t seed) {
  return MakeWAV(2, 44100, 16, RandomBytes(static_cast<size_t>(frames) * 4, seed), Chunk("LIST", "abc"),
                 Chunk("id3 ", "tail!"));
}

void WriteAt(Transcoder& t, const std::string& bytes, long long offset) {
  EXPECT_EQ(t.Write(bytes.data(), bytes.size(), offset), static_cast<long long>(bytes.size()));
}

// Writes in pieces, back to front, as a copying program with its own order might.
void WriteAll(Transcoder& t, const std::string& bytes) {
  for (long long off = static_cast<long long>(bytes.size()) / 1000 * 1000; off >= 0; off -= 1000)
    WriteAt(t, bytes.substr(static_cast<size_t>(off), 1000), off);
}

}  // namespace

// A new transcoded file, or a stored one truncated to 0: WAV data becomes the FLAC file;
// anything else stays byte for byte under the WAV name of the matching case. A flush
// does the same at once, and writes after it end the same way. Names of any length are
// writable.
TEST(WriteBack, NewFileBecomesFLACOrStaysAsWAV) {
  TempDir dir;
  const std::string wav = Audio(30001, 1), junk = RandomBytes(5000, 2);
  const std::string longName(245, 'n');  // its cache file name must be shortened
  const struct { std::string flac, wav, bytes; bool flush, stored; } cases[] = {
      {"new.flac", "new.wav", wav, false, false},
      {longName + ".flac", longName + ".wav", wav, false, false},
      {"SONG.FLAC", "SONG.WAV", junk, false, false},
      {"Song.Flac", "Song.Wav", junk, true, false},
      {"flushed.flac", "flushed.wav", wav, true, false},
      {"truncated.flac", "truncated.wav", wav, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flac);
    auto check = [&] {
      if (c.bytes == wav) {
        EXPECT_TRUE(SameBytes(FlacDecode(dir.File(c.flac)), wav));
        EXPECT_FALSE(FileExists(dir.File(c.wav)));
      } else {
        EXPECT_TRUE(SameBytes(ReadFile(dir.File(c.wav)), c.bytes));
        EXPECT_FALSE(FileExists(dir.File(c.flac)));
      }
    };
    WriteFile(dir.File(c.flac), "");
    if (c.stored) FlacEncode(Audio(40000, 4), dir.File(c.flac));
    {
      Transcoder t(dir.File(c.flac));
      ASSERT_TRUE(t.CanWrite());
      if (c.stored) {
        EXPECT_EQ(t.Truncate(0), 0);
        EXPECT_EQ(t.CurrentSize(), 0);
      }
      WriteAll(t, c.bytes);
      EXPECT_EQ(t.CurrentSize(), static_cast<long long>(c.bytes.size()));
      if (c.flush) {
        t.Flush();
        check();
        WriteAt(t, c.bytes.substr(100, 50), 100);
      }
    }
    check();
    EXPECT_TRUE(Entries(dir.Path(), ".").empty());
  }
}

// Opening a stored file, changing a few bytes and closing it keeps every other byte of
// the audio, whatever was read before; a flush converts at once and a later write
// converts again.
TEST(WriteBack, ChangingAFewBytesKeepsAllOtherAudio) {
  TempDir dir;
  const std::string wav = Audio(70000, 3);
  const long long data = 12 + 24 + 12 + 8;  // RIFF, fmt, LIST, data header
  // Read first (readSize 0: nothing), then write bytes at offset.
  const struct { long long readOffset, readSize, offset; std::string bytes; bool flushBetween; } cases[] = {
      {0, 0, data + 140000, "ABCDE", false},
      {data + 100000, 50000, data + 99998, "xyz", false},       // across the edge of what was read
      {0, 0, data + 280000 - 2, std::string("\x01\x02\x03\x04", 4), false},  // last frame and the chunk after
      {0, 0, 45, "Z", false},                                    // inside the LIST chunk
      {0, 0, data + 8, "12345678", true},
  };
  int k = 0;
  for (const auto& e : cases) {
    SCOPED_TRACE(testing::Message() << "edit at " << e.offset);
    const std::string flac = FlacEncode(wav, dir.File("e" + std::to_string(++k) + ".flac"));
    std::string expected = wav;
    expected.replace(static_cast<size_t>(e.offset), e.bytes.size(), e.bytes);
    {
      Transcoder t(flac);
      std::string buf(static_cast<size_t>(e.readSize), '\0');
      if (e.readSize) t.Read(buf.data(), buf.size(), e.readOffset);
      WriteAt(t, e.bytes, e.offset);
      if (e.flushBetween) {
        t.Flush();
        EXPECT_TRUE(SameBytes(FlacDecode(flac), expected));
        WriteAt(t, "again", e.offset + 1000);
        expected.replace(static_cast<size_t>(e.offset) + 1000, 5, "again");
        std::string all(expected.size(), '\0');
        EXPECT_EQ(t.Read(all.data(), all.size(), 0), static_cast<long long>(expected.size()));
        EXPECT_TRUE(SameBytes(all, expected));
      }
    }
    EXPECT_TRUE(SameBytes(FlacDecode(flac), expected));
    EXPECT_TRUE(Entries(dir.Path(), ".").empty());
  }
}

// A folder that cannot take the cache file: it goes to /tmp (and goes away), writes are
// refused, reads work, and the stored file is left alone.
TEST(WriteBack, UnwritableFolderCachesInTmpAndRefusesWrites) {
  TempDir dir;
  const std::string folder = dir.File("ro"), wav = Audio(5000, 6);
  mkdir(folder.c_str(), 0755);
  const std::string flac = FlacEncode(wav, folder + "/s.flac"), stored = ReadFile(flac);
  // Root writes into a folder whatever its mode: it makes the folder immutable instead.
  const bool root = geteuid() == 0;
  struct Undo {
    std::string command;
    ~Undo() { TestUtil::Run(command); }
  } undo{(root ? "chattr -i " : "chmod 755 ") + Quote(folder)};
  if (TestUtil::Run((root ? "chattr +i " : "chmod 555 ") + Quote(folder) + " 2>/dev/null") != 0)
    GTEST_SKIP() << "cannot make a folder unwritable here";
  const std::set<std::string> before = Entries("/tmp", "Lyrebox_");
  {
    Transcoder t(flac);
    EXPECT_EQ(Entries("/tmp", "Lyrebox_").size(), before.size() + 1);
    EXPECT_EQ(t.Write("x", 1, 50), 0);
    EXPECT_EQ(t.Truncate(10), -EACCES);
    std::string all(wav.size(), '\0');
    EXPECT_EQ(t.Read(all.data(), all.size(), 0), static_cast<long long>(wav.size()));
    EXPECT_TRUE(SameBytes(all, wav));
  }
  EXPECT_EQ(Entries("/tmp", "Lyrebox_"), before);
  EXPECT_EQ(ReadFile(flac), stored);
}

// Constructors that fail after making their file remove it again: the file limit makes
// the image's writes fail (with SIGXFSZ ignored) once past 4 KiB.
TEST(WriteBack, FailedConstructorsLeaveNothingBehind) {
  TempDir dir;
  const std::string trailing = FlacEncode(Audio(20000, 7), dir.File("a.flac"));
  const std::string plain = FlacEncode(MakeWAV(2, 44100, 16, RandomBytes(80000, 8)), dir.File("b.flac"));
  struct rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  struct rlimit low = old;
  low.rlim_cur = 4096;
  sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &low);
  const std::string cacheError = ErrorOf([&] { Transcoder t(trailing); });
  const std::string exportError = ErrorOf([&] { Transcoder t(plain, dir.File("out.wav")); });
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(cacheError, "could not write");
  EXPECT_EQ(exportError, "could not write");
  EXPECT_FALSE(FileExists(dir.File("out.wav")));
  EXPECT_EQ(ErrorOf([&] { Transcoder t(plain, dir.File("missing/out.wav")); }), "Transcoder::Transcoder(), open");
  EXPECT_TRUE(Entries(dir.Path(), ".").empty());
}
