// Reading through the volume: listings, sizes and bytes of FLAC files shown as WAV,
// against the flac tool's own decoding, by one reader and by many at once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>
#include <thread>

#include "VolumeFixture.h"

namespace E2E {
namespace {

using VolumeReadTest = VolumeTest;

TEST_F(VolumeReadTest, ListingSizesAndReadsEqualTheFlacDecoder) {
  const struct {
    const char* stored;  // name in the root folder
    const char* shown;   // name in the volume
    int channels, rate, bits;
    bool chunks;  // extra RIFF chunks, kept by flac --keep-foreign-metadata
  } audio[] = {
      {"s16.flac", "s16.wav", 2, 44100, 16, false},
      {"m8.flac", "m8.wav", 1, 22050, 8, true},
      {"c24.flac", "c24.wav", 6, 48000, 24, true},
      {"t20.flac", "t20.wav", 2, 44100, 20, false},  // shown in 24-bit containers
      {"Mixed.Flac", "Mixed.Wav", 1, 44100, 16, true},
      {"UP.FLAC", "UP.WAV", 2, 96000, 24, false},
      {"odd \xff\x01 name.flac", "odd \xff\x01 name.wav", 2, 8000, 16, false},
  };
  std::map<std::string, std::string> expected;  // shown name -> bytes
  std::set<std::string> listing = {"both.flac", "both.wav", "corrupt.wav", "empty.wav", "folder.flac", "notes.txt"};
  uint64_t seed = 1;
  for (const auto& a : audio) {
    const std::string list = Chunk("LIST", "INFOISFT" + LE32(5) + "lyrex"), cue = Chunk("cue ", std::string(27, 7));
    if (a.bits == 20)  // the flac tool takes 20-bit WAV files in a form MakeWAV does not write
      EncodeFLAC(Root(a.stored), TestSignal(a.channels, a.bits, 30000, seed++), a.channels, a.bits);
    else
      FlacEncode(MakeNoiseWAV(a.channels, a.rate, a.bits, 0.7, seed++, a.chunks ? list : "", a.chunks ? cue : ""),
                 Root(a.stored), a.chunks);
    expected[a.shown] = FlacDecode(Root(a.stored));
    listing.insert(a.shown);
  }
  // A FLAC file beside a real WAV file of the same name, empty and corrupt FLAC files,
  // a folder with a FLAC name, and a plain file.
  WriteFile(Root("both.wav"), expected["both.wav"] = MakeNoiseWAV(1, 8000, 16, 0.1, 99));
  ASSERT_EQ(link(Root("s16.flac").c_str(), Root("both.flac").c_str()), 0);
  expected["both.flac"] = ReadFile(Root("s16.flac"));
  WriteFile(Root("empty.flac"), expected["empty.wav"] = "");
  WriteFile(Root("corrupt.flac"), "fLaC" + RandomBytes(5000, 7));
  ASSERT_EQ(mkdir(Root("folder.flac").c_str(), 0755), 0);
  WriteFile(Root("folder.flac/inner.txt"), expected["folder.flac/inner.txt"] = "inside");
  WriteFile(Root("notes.txt"), "plain text\n");
  StartVolume();

  EXPECT_EQ(Entries(Vol()), listing);
  EXPECT_FALSE(FileExists(Vol("folder.wav")));
  // A FLAC file that cannot be decoded is never a silent, empty WAV file: opening it fails.
  errno = 0;
  EXPECT_LT(open(Vol("corrupt.wav").c_str(), O_RDONLY), 0);
  EXPECT_EQ(errno, EIO);
  EXPECT_NE(LogText().find("openFileAtPath: /corrupt.wav: cannot decode corrupt.flac"), std::string::npos);
  const unsigned readSeed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(readSeed));
  std::mt19937 rng(readSeed);
  for (const auto& [name, bytes] : expected) {
    SCOPED_TRACE(name);
    struct stat st;
    ASSERT_EQ(stat(Vol(name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, static_cast<off_t>(bytes.size()));
    EXPECT_TRUE(SameBytes(ReadFile(Vol(name)), bytes));
    int fd = open(Vol(name).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string buffer;
    for (int i = 0; i < 60 && !bytes.empty(); ++i) {
      size_t offset = rng() % (bytes.size() + 1000);
      size_t size = 1 + rng() % (i % 3 == 0 ? 200000 : 5000);
      buffer.assign(size, '\0');
      ssize_t n = pread(fd, buffer.data(), size, static_cast<off_t>(offset));
      std::string want = offset < bytes.size() ? bytes.substr(offset, size) : "";
      ASSERT_EQ(n, static_cast<ssize_t>(want.size())) << "offset " << offset;
      ASSERT_TRUE(buffer.compare(0, want.size(), want) == 0) << "offset " << offset << " size " << size;
    }
    close(fd);
  }

  // Many readers at once, of one file and of different ones.
  std::vector<std::thread> readers;
  std::vector<int> ok(24, 0);
  for (int i = 0; i < 24; ++i) {
    const std::string name = i < 12 ? "c24.wav" : audio[i % std::size(audio)].shown;
    readers.emplace_back([&, i, name] { ok[i] = ReadFile(Vol(name)) == expected.at(name); });
  }
  for (auto& t : readers) t.join();
  for (int i = 0; i < 24; ++i) EXPECT_TRUE(ok[i]) << "reader " << i;
  EXPECT_EQ(CacheFiles(root_), "");
}

}  // namespace
}  // namespace E2E
