// The "fmt " chunk builder and parser, and the chunk walk over WAV files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <stdexcept>

#include "TestUtil.h"
#include "audio/WAVFile.h"

using namespace Vantor::Audio;
using TestUtil::Chunk;
using TestUtil::LE32;

namespace {

struct Walked {
  std::vector<std::string> chunks;
  unsigned long dataOffset = 7777, dataSize = 8888;  // what the walk leaves alone
  std::string error;
};

Walked Walk(const std::string& path) {
  Walked w;
  int fd = open(path.c_str(), O_RDONLY);
  try {
    w.chunks = ParseWAVFile(fd, w.dataOffset, w.dataSize);
  } catch (const std::runtime_error& e) {
    w.error = e.what();
  }
  close(fd);
  return w;
}

}  // namespace

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
      {"RIFF size 0", std::string(good).replace(4, 4, LE32(0)), {fmt, "data" + LE32(10)}, 44, 10, ""},
      {"RIFF size too large", std::string(good).replace(4, 4, LE32(1u << 30)), {fmt, "data" + LE32(10)}, 44, 10, ""},
      {"chunk after data", TestUtil::MakeWAV(1, 8000, 8, samples, "", Chunk("cue ", "1234")),
       {fmt, "data" + LE32(10), "cue " + LE32(4) + "1234"}, 44, 10, ""},
      {"data past the end", head + fmt + "data" + LE32(1000) + samples, {fmt, "data" + LE32(1000)}, 44, 1000, ""},
      {"last data wins", head + fmt + Chunk("data", "abc") + Chunk("data", "defgh"),
       {fmt, "data" + LE32(3), "data" + LE32(5)}, 56, 5, ""},
      {"no data", head + fmt, {fmt}, 7777, 8888, ""},
      {"no final pad byte", head + "junk" + LE32(3) + "abc", {"junk" + LE32(3) + "abc" + '\0'}, 7777, 8888, ""},
      {"one stray byte", good + "x", {}, 0, 0, "could not read"},
      {"seven stray bytes", good + "1234567", {}, 0, 0, "could not read"},
      {"chunk past the end", head + "junk" + LE32(9) + "12345678", {}, 0, 0, "could not read"},
      {"4 GiB claim", head + "junk" + LE32(0xFFFFFFF0u) + std::string(80, 'j'), {}, 0, 0, "could not read"},
      {"claim + header wraps 32 bits", head + "junk" + LE32(0xFFFFFFFCu) + std::string(80, 'j'), {}, 0, 0,
       "could not read"},
      {"10 bytes", head.substr(0, 10), {}, 0, 0, "could not read"},
      {"4 bytes", "RIFX", {}, 0, 0, "could not read"},
      {"RIFX", "RIFX" + good.substr(4), {}, 0, 0, "wrong tag"},
      {"RF64", "RF64" + good.substr(4), {}, 0, 0, "wrong tag"},
      {"AVI", "RIFF" + LE32(4) + "AVI " + good.substr(12), {}, 0, 0, "wrong type"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestUtil::WriteFile(dir.File("a.wav"), c.bytes);
    Walked w = Walk(dir.File("a.wav"));
    EXPECT_EQ(w.error, c.error);
    if (!c.error.empty()) continue;
    std::vector<std::string> expected{c.bytes.substr(0, 12)};
    expected.insert(expected.end(), c.chunks.begin(), c.chunks.end());
    EXPECT_EQ(w.chunks, expected);
    EXPECT_EQ(w.dataOffset, c.dataOffset);
    EXPECT_EQ(w.dataSize, c.dataSize);
  }
}

// sox as the oracle: its files laid out again from the chunk list and the audio.
TEST(WAVFile, SoxFilesRebuild) {
  TestUtil::TempDir dir;
  for (const char* args : {"-r 44100 -c 2 -b 16", "-r 96000 -c 6 -b 24", "-r 8000 -c 1 -b 8"}) {
    SCOPED_TRACE(args);
    const std::string path = dir.File("sox.wav");
    ASSERT_EQ(TestUtil::Run(std::string("sox -n ") + args + " " + TestUtil::Quote(path) + " synth 0.05 sine 440"), 0);
    const std::string file = TestUtil::ReadFile(path);
    Walked w = Walk(path);
    ASSERT_EQ(w.error, "");
    ASSERT_GE(w.chunks.size(), 3u);
    EXPECT_EQ(w.chunks[1], file.substr(12, w.chunks[1].size()));
    std::string rebuilt;
    for (const auto& chunk : w.chunks) {
      rebuilt += chunk;
      if (chunk.compare(0, 4, "data") == 0) rebuilt += file.substr(w.dataOffset, w.dataSize);
    }
    EXPECT_EQ(rebuilt, file);
  }
}

TEST(WAVFile, FMTChunk) {
  const struct { int channels, rate, bits, container; unsigned byteRate, blockAlign; } cases[] = {
      {2, 44100, 16, 16, 176400, 4}, {2, 96000, 20, 24, 576000, 6}, {6, 48000, 24, 24, 864000, 18},
      {1, 8000, 8, 8, 8000, 1},      {1, 22050, 12, 16, 44100, 2},
  };
  for (const auto& c : cases) {
    const std::string chunk = BuildFMTChunk(c.channels, c.rate, c.bits);
    EXPECT_EQ(chunk, TestUtil::FmtChunk(c.channels, c.rate, c.container)) << c.bits;
    const FMTChunkInfo info = ParseFMTChunk(chunk);
    EXPECT_EQ(std::vector<unsigned>({info.channels, info.sampleRate, info.byteRate, info.blockAlign,
                                     info.bitsPerSample}),
              std::vector<unsigned>({unsigned(c.channels), unsigned(c.rate), c.byteRate, c.blockAlign,
                                     unsigned(c.container)}));
  }
  const std::string good = BuildFMTChunk(2, 44100, 16);
  auto with = [&](size_t at, const std::string& bytes) { return std::string(good).replace(at, bytes.size(), bytes); };
  const struct { std::string chunk, error; } bad[] = {
      {good.substr(0, 23), "wrong fmt chunk"},   {with(0, "FMT "), "wrong tag"},
      {with(4, LE32(18)), "wrong size"}, {with(8, TestUtil::LE16(3)), "unhandled format tag"},
  };
  for (const auto& c : bad) {
    try {
      ParseFMTChunk(c.chunk);
      ADD_FAILURE() << c.error;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.error.c_str());
    }
  }
}
