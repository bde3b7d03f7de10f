// Reading through the volume: listings, sizes and bytes of FLAC files shown as WAV,
// against the flac tool's own decoding.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>
#include <thread>

#include "VolumeFixture.h"

using TestUtil::Chunk;
using TestUtil::ReadFile;
using TestUtil::WriteFile;

namespace E2E {
namespace {

struct AudioFixture {
  std::string stored;  // name in the root folder
  std::string shown;   // name in the volume
  int channels, rate, bits;
  bool chunks;  // extra RIFF chunks, kept by flac --keep-foreign-metadata
};

const AudioFixture kAudio[] = {
    {"s16.flac", "s16.wav", 2, 44100, 16, false},
    {"m8.flac", "m8.wav", 1, 22050, 8, true},
    {"c24.flac", "c24.wav", 6, 48000, 24, true},
    {"t20.flac", "t20.wav", 2, 44100, 20, false},
    {"Mixed.Flac", "Mixed.Wav", 1, 44100, 16, true},
    {"UP.FLAC", "UP.WAV", 2, 96000, 24, false},
    {"odd \xff\x01 name.flac", "odd \xff\x01 name.wav", 2, 8000, 16, false},
};

class VolumeReadTest : public VolumeTest {
 protected:
  void SetUp() override {
    startInSetUp_ = false;
    VolumeTest::SetUp();
    uint64_t seed = 1;
    for (const auto& a : kAudio) {
      std::string before = a.chunks ? Chunk("LIST", "INFOISFT" + TestUtil::LE32(5) + "lyre\0" + "x") : "";
      std::string after = a.chunks ? Chunk("cue ", std::string(27, '\x07')) : "";
      std::string wav = Tmp("src.wav");
      WriteFile(wav, MakeNoiseWAV(a.channels, a.rate, a.bits, 0.7, seed++, before, after));
      EncodeFLAC(wav, Root(a.stored), a.chunks);
      expected_[a.shown] = DecodeFLAC(Root(a.stored));
    }
    // A FLAC file beside a real WAV file of the same name, empty and corrupt FLAC files,
    // a folder with a FLAC name, and a plain file.
    WriteFile(Root("both.wav"), MakeNoiseWAV(1, 8000, 16, 0.1, 99));
    ASSERT_EQ(link(Root("s16.flac").c_str(), Root("both.flac").c_str()), 0);
    WriteFile(Root("empty.flac"), "");
    WriteFile(Root("corrupt.flac"), "fLaC" + TestUtil::RandomBytes(5000, 7));
    ASSERT_EQ(mkdir(Root("folder.flac").c_str(), 0755), 0);
    WriteFile(Root("folder.flac/inner.txt"), "inside");
    WriteFile(Root("notes.txt"), "plain text\n");
    StartVolume();
  }

  std::map<std::string, std::string> expected_;  // shown name -> WAV image
};

TEST_F(VolumeReadTest, ListsFLACFilesUnderWAVNamesWithImageSizes) {
  std::vector<std::string> want = {"both.flac", "both.wav", "corrupt.wav", "empty.wav", "folder.flac", "notes.txt"};
  for (const auto& a : kAudio) want.push_back(a.shown);
  std::sort(want.begin(), want.end());
  EXPECT_EQ(Names(Vol()), want);

  struct stat st;
  for (const auto& [name, image] : expected_) {
    ASSERT_EQ(stat(Vol(name).c_str(), &st), 0) << name;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
    EXPECT_EQ(st.st_size, static_cast<off_t>(image.size())) << name;
  }
  const std::pair<const char*, off_t> others[] = {
      {"empty.wav", 0}, {"corrupt.wav", 0}, {"both.wav", static_cast<off_t>(ReadFile(Root("both.wav")).size())}};
  for (const auto& [name, size] : others) {
    ASSERT_EQ(stat(Vol(name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_size, size) << name;
  }
  EXPECT_TRUE(SameBytes(ReadFile(Vol("both.flac")), ReadFile(Root("both.flac"))));
  EXPECT_EQ(ReadFile(Vol("folder.flac/inner.txt")), "inside");
  EXPECT_NE(stat(Vol("folder.wav").c_str(), &st), 0);
  EXPECT_EQ(ReadFile(Vol("empty.wav")), "");
}

TEST_F(VolumeReadTest, WholeAndRandomReadsEqualTheFlacDecoder) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (const auto& [name, image] : expected_) {
    SCOPED_TRACE(name);
    ASSERT_GT(image.size(), 44u);
    // 20-bit audio is shown in 24-bit containers, left-justified.
    WriteFile(Tmp("expected.wav"), image);
    EXPECT_EQ(Sh("cmp " + TestUtil::Quote(Tmp("expected.wav")) + " " + TestUtil::Quote(Vol(name))), 0);
    int fd = open(Vol(name).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string buffer;
    for (int i = 0; i < 60; ++i) {
      size_t offset = rng() % (image.size() + 1000);
      size_t size = 1 + rng() % (i % 3 == 0 ? 200000 : 5000);
      buffer.assign(size, '\0');
      ssize_t n = pread(fd, buffer.data(), size, static_cast<off_t>(offset));
      std::string want = offset < image.size() ? image.substr(offset, size) : "";
      ASSERT_EQ(n, static_cast<ssize_t>(want.size())) << "offset " << offset;
      ASSERT_TRUE(buffer.compare(0, want.size(), want) == 0) << "offset " << offset << " size " << size;
    }
    close(fd);
  }
}

TEST_F(VolumeReadTest, ManyConcurrentReadersOfOneAndOfDifferentFiles) {
  std::vector<std::thread> readers;
  std::vector<int> ok(24, 0);
  for (int i = 0; i < 24; ++i) {
    const std::string name = i < 12 ? "c24.wav" : kAudio[i % std::size(kAudio)].shown;
    readers.emplace_back([&, i, name] { ok[i] = ReadFile(Vol(name)) == expected_[name]; });
  }
  for (auto& t : readers) t.join();
  for (int i = 0; i < 24; ++i) EXPECT_TRUE(ok[i]) << "reader " << i;
  EXPECT_EQ(CacheFiles(root_), std::vector<std::string>{});
}

}  // namespace
}  // namespace E2E
