// The WAV image's layout for hand-made "riff" block lists, and its size up to and beyond
// 4 GiB. Images of real files are compared with the flac tool in test_transcoder.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "FlacFixtures.h"
#include "audio/FLACDecode.h"
#include "transcode/WAVImage.h"

using namespace TestUtil;

// Block lists on a 16-bit stereo file of 1000 frames (4000 data bytes): a sane list is
// laid out again (its own fmt chunk replaced by a 24-byte one), anything else gets the
// plain 44-byte header.
TEST(WAVImage, ChunkListsDecideTheLayout) {
  const std::string riff = "RIFF" + LE32(0) + "WAVE";  // a wrong stored size: recomputed
  const std::string fmt = FmtChunk(2, 44100, 16), fmt40 = Chunk("fmt ", std::string(40, 'x'));
  const std::string data = "data" + LE32(4000);
  const std::string list = Chunk("LIST", std::string(18, 'l')), id3 = Chunk("id3 ", std::string(12, 'i'));
  const long long plain = 44 + 4000;
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> blocks;
    bool sane;
    long long size;
  } cases[] = {
      {"extensible fmt, chunks around the data",
       {{"riff", riff}, {"riff", fmt40}, {"riff", list}, {"riff", data}, {"riff", id3}}, true, 90 + 4000},
      {"other ids ignored",
       {{"riff", riff}, {"aiff", "FORM"}, {"riff", fmt}, {"abcd", "x"}, {"riff", data}}, true, plain},
      {"empty chunk", {{"riff", riff}, {"riff", fmt}, {"riff", data}, {"riff", ""}}, true, plain},
      {"long data element", {{"riff", riff}, {"riff", fmt}, {"riff", data + "junk"}}, true, plain},
      {"second RIFF", {{"riff", riff}, {"riff", fmt}, {"riff", data}, {"riff", riff + "extra"}}, true, plain + 12},
      {"no RIFF first", {{"riff", fmt}, {"riff", riff}, {"riff", data}}, false, plain},
      {"two fmt", {{"riff", riff}, {"riff", fmt}, {"riff", fmt}, {"riff", data}}, false, plain},
      {"two data", {{"riff", riff}, {"riff", fmt}, {"riff", data}, {"riff", data}}, false, plain},
      {"data first", {{"riff", riff}, {"riff", data}, {"riff", fmt}}, false, plain},
      {"no data", {{"riff", riff}, {"riff", fmt}, {"riff", list}}, false, plain},
      {"short chunks", {{"riff", "RIF"}, {"riff", fmt}, {"riff", data}}, false, plain},
  };
  TempDir dir;
  const std::string base = dir.File("base.flac");
  EncodeFLAC(base, TestSignal(2, 16, 1000, 5), 2, 16);
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File("c" + std::to_string(n++) + ".flac");
    std::filesystem::copy_file(base, path);
    EditMetadata(path, -1, c.blocks);
    EXPECT_EQ(Vantor::SaneChunks(Vantor::FLACDecoder(path)), c.sane);
    EXPECT_EQ(Vantor::TranscodedSize(path), c.size);
  }

  // The first case byte for byte, the sample data left a hole.
  Vantor::FLACDecoder d(dir.File("c0.flac"));
  const int fd = open(dir.File("image.wav").c_str(), O_RDWR | O_CREAT, 0644);
  long long dataOffset = -1;
  EXPECT_EQ(Vantor::BuildWAV(fd, d, &dataOffset), 4090);
  close(fd);
  EXPECT_EQ(dataOffset, 70);
  EXPECT_TRUE(ReadFile(dir.File("image.wav")) ==
              "RIFF" + LE32(4082) + "WAVE" + fmt + list + data + std::string(4000, '\0') + id3);
}

// Sizes from STREAMINFO alone, past 4 GiB: a 32-bit size field that cannot hold its value
// does not wrap the image size. (Smaller ones are checked against the flac tool.)
TEST(WAVImage, SizesDoNotWrap) {
  const struct { int bits, channels; long long frames; bool chunks; long long size; } cases[] = {
      {24, 1, 7, false, 44 + 21 + 1},
      {16, 2, (1LL << 30) - 12, false, (1LL << 32) - 4},
      {16, 2, 1LL << 34, false, 44 + (1LL << 36)},
      {8, 1, (1LL << 32) + 1, false, 44 + (1LL << 32) + 2},
      {24, 6, (1LL << 36) - 1, false, 44 + 18 * ((1LL << 36) - 1)},
      {16, 2, 1LL << 34, true, 12 + 24 + 8 + 20 + (1LL << 36)},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bits << " bits, " << c.channels << " channels, " << c.frames << " frames");
    const std::string path = dir.File("a.flac");
    EncodeFLAC(path, TestSignal(c.channels, c.bits, 1000, 5), c.channels, c.bits);
    std::vector<std::pair<std::string, std::string>> chunks;
    if (c.chunks)
      chunks = {{"riff", "RIFF" + LE32(0) + "WAVE"}, {"riff", FmtChunk(c.channels, 44100, c.bits)},
                {"riff", "data" + LE32(0)}, {"riff", Chunk("id3 ", std::string(12, 'i'))}};
    EditMetadata(path, c.frames, chunks);
    EXPECT_EQ(Vantor::TranscodedSize(path), c.size);
  }
}
