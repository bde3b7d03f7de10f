// The chunk walk over WAV files, and the "fmt " chunk builder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "TestUtil.h"
#include "audio/WAVFile.h"

using namespace Vantor::Audio;
using TestUtil::Chunk;
using TestUtil::LE32;

TEST(WAVFile, ChunkWalk) {
  TestUtil::TempDir dir;
  const std::string fmt = TestUtil::FmtChunk(1, 8000, 8), samples = TestUtil::RandomBytes(10, 2);
  const std::string good = TestUtil::MakeWAV(1, 8000, 8, samples);
  const std::string head = "RIFF" + LE32(0) + "WAVE";
  const struct {
    const char* name;
    std::string bytes;
    std::vector<std::string> chunks;  // behind the RIFF header, which is the file's first 12 bytes
    unsigned long dataOffset, dataSize;
    std::string error;
  } cases[] = {
      {"canonical", good, {fmt, "data" + LE32(10)}, 44, 10, ""},
      {"odd chunk gets a zero pad byte", TestUtil::MakeWAV(1, 8000, 8, samples, Chunk("LIST", "INFOabc", 'X')),
       {fmt, "LIST" + LE32(7) + "INFOabc" + '\0', "data" + LE32(10)}, 60, 10, ""},
      {"RIFF size too large", std::string(good).replace(4, 4, LE32(1u << 30)), {fmt, "data" + LE32(10)}, 44, 10, ""},
      {"chunk after data", TestUtil::MakeWAV(1, 8000, 8, samples, "", Chunk("cue ", "1234")),
       {fmt, "data" + LE32(10), "cue " + LE32(4) + "1234"}, 44, 10, ""},
      {"data past the end", head + fmt + "data" + LE32(1000) + samples, {fmt, "data" + LE32(1000)}, 44, 1000, ""},
      {"last data wins", head + fmt + Chunk("data", "abc") + Chunk("data", "defgh"),
       {fmt, "data" + LE32(3), "data" + LE32(5)}, 56, 5, ""},
      {"no data", head + fmt, {fmt}, 7777, 8888, ""},
      {"no final pad byte", head + "junk" + LE32(3) + "abc", {"junk" + LE32(3) + "abc" + '\0'}, 7777, 8888, ""},
      {"one stray byte", good + "x", {}, 0, 0, "could not read"},
      {"chunk past the end", head + "junk" + LE32(9) + "12345678", {}, 0, 0, "could not read"},
      {"4 GiB claim", head + "junk" + LE32(0xFFFFFFF0u) + std::string(80, 'j'), {}, 0, 0, "could not read"},
      {"claim + header wraps 32 bits", head + "junk" + LE32(0xFFFFFFFCu) + std::string(80, 'j'), {}, 0, 0,
       "could not read"},
      {"4 bytes", "RIFX", {}, 0, 0, "could not read"},
      {"RF64", "RF64" + good.substr(4), {}, 0, 0, "wrong tag"},
      {"AVI", "RIFF" + LE32(4) + "AVI " + good.substr(12), {}, 0, 0, "wrong type"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestUtil::WriteFile(dir.File("a.wav"), c.bytes);
    const int fd = open(dir.File("a.wav").c_str(), O_RDONLY);
    std::vector<std::string> chunks;
    unsigned long dataOffset = 7777, dataSize = 8888;  // what the walk leaves alone
    EXPECT_EQ(TestUtil::ErrorOf([&] { chunks = ParseWAVFile(fd, dataOffset, dataSize); }), c.error);
    close(fd);
    if (!c.error.empty()) continue;
    std::vector<std::string> expected{c.bytes.substr(0, 12)};
    expected.insert(expected.end(), c.chunks.begin(), c.chunks.end());
    EXPECT_EQ(chunks, expected);
    EXPECT_EQ(std::pair(dataOffset, dataSize), std::pair(c.dataOffset, c.dataSize));
  }
}

// The built chunk against the hand-built one: depths sit in whole-byte containers.
TEST(WAVFile, FMTChunk) {
  EXPECT_EQ(BuildFMTChunk(1, 22050, 12), TestUtil::FmtChunk(1, 22050, 16));
  EXPECT_EQ(BuildFMTChunk(6, 96000, 20), TestUtil::FmtChunk(6, 96000, 24));
}
