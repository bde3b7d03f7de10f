// The WAV image's layout for hand-made "riff" block lists and RF64 past 4 GiB. Images of
// files real writers made, the tools' frame counts of an image past 4 GiB and the
// LIST/INFO chunk made from Vorbis comments are checked through a volume in FidelityTest.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "FlacFixtures.h"
#include "SyntheticFLAC.h"
#include "audio/FLACDecode.h"
#include "transcode/WAVImage.h"

using namespace TestUtil;

// Block lists on a 16-bit stereo file of 1000 frames (4000 data bytes): a list of whole
// chunks is laid out again, its fmt chunk kept where it agrees with the stream; any other
// list gets the plain 44-byte header. (A second RIFF, a size that disagrees and a
// truncated element through a volume: FidelityTest.)
TEST(WAVImage, ChunkListsDecideTheLayout) {
  const std::string riff = "RIFF" + LE32(0) + "WAVE";  // a wrong stored size: recomputed
  const std::string fmt = FmtChunk(2, 44100, 16), fmt40 = ExtensibleFmtChunk(2, 44100, 16, 16, 3);
  const std::string data = "data" + LE32(4000);
  const std::string list = Chunk("LIST", std::string(18, 'l')), id3 = Chunk("id3 ", std::string(12, 'i'));
  const long long plain = 44 + 4000;
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> blocks;
    bool sane;
    long long size;
  } cases[] = {
      {"extensible fmt kept, chunks around the data", RiffBlocks({riff, fmt40, list, data, id3}), true,
       12 + 48 + 26 + 8 + 4000 + 20},
      {"fmt of one channel replaced", RiffBlocks({riff, FmtChunk(1, 44100, 16), data}), true, plain},
      {"float fmt replaced", RiffBlocks({riff, ExtensibleFmtChunk(2, 44100, 16, 16, 3, 3), data}), true, plain},
      {"other ids ignored", {{"riff", riff}, {"aiff", "FORM"}, {"riff", fmt}, {"abcd", "x"}, {"riff", data}}, true,
       plain},
      {"empty element", RiffBlocks({riff, fmt, data, ""}), true, plain},
      {"long data element", RiffBlocks({riff, fmt, data + "junk"}), false, plain},
      {"element of 5 bytes", RiffBlocks({riff, fmt, std::string("LIST\0", 5), data}), false, plain},
      {"odd chunk without its pad byte", RiffBlocks({riff, fmt, Chunk("note", "odd").substr(0, 11), data}), false,
       plain},
      {"ds64 in a RIFF file", RiffBlocks({riff, DS64Chunk(0, 0, 0), fmt, data}), false, plain},
      {"no RIFF first", RiffBlocks({fmt, riff, data}), false, plain},
      {"two fmt", RiffBlocks({riff, fmt, fmt, data}), false, plain},
      {"two data", RiffBlocks({riff, fmt, data, data}), false, plain},
      {"data first", RiffBlocks({riff, data, fmt}), false, plain},
      {"no data", RiffBlocks({riff, fmt, list}), false, plain},
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
  EXPECT_EQ(Vantor::BuildWAV(fd, d, &dataOffset), 4114);
  close(fd);
  EXPECT_EQ(dataOffset, 94);
  EXPECT_TRUE(ReadFile(dir.File("image.wav")) ==
              "RIFF" + LE32(4106) + "WAVE" + fmt40 + list + data + std::string(4000, '\0') + id3);
}

// Images whose RIFF size does not fit 32 bits are RF64 files: a ds64 chunk right behind
// the header with the 64-bit sizes, 0xFFFFFFFF in the 32-bit fields. The largest RIFF
// image stays RIFF; a stored RF64 layout keeps its sample count while its sizes are the
// audio's; a header stored with the sizes a streaming writer leaves stays as it was.
TEST(WAVImage, PastFourGiBImagesAreRF64) {
  const std::string ff = LE32(0xFFFFFFFFu), fmt = FmtChunk(2, 44100, 16);
  const long long largest = (1LL << 30) - 10;  // 16-bit stereo: 44 + 4 * frames = 2^32 + 4
  const std::string rf64 = "RF64" + ff + "WAVE", stored = DS64Chunk((1LL << 33) + 72, 1LL << 33, 0);
  const struct {
    const char* name;
    long long frames;
    std::vector<std::string> stored;
    std::string head;  // expected, up to the sample data
  } cases[] = {
      {"largest RIFF image", largest, {}, "RIFF" + LE32(0xFFFFFFFCu) + "WAVE" + fmt + "data" + LE32(0xFFFFFFD8u)},
      {"one frame more", largest + 1, {},
       rf64 + DS64Chunk(4 * (largest + 1) + 72, 4 * (largest + 1), largest + 1) + fmt + "data" + ff},
      {"stored RF64", 1LL << 31, {rf64, stored, fmt, "data" + ff}, rf64 + stored + fmt + "data" + ff},
      {"streaming writer's header", 1LL << 31, {"RIFF" + ff + "WAVE", fmt, "data" + ff},
       "RIFF" + ff + "WAVE" + fmt + "data" + ff},
  };
  TempDir dir;
  const std::string path = dir.File("long.flac");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(path, SyntheticFLAC({.blockFrames = 65535, .frames = c.frames}));
    EditMetadata(path, -1, RiffBlocks(c.stored));
    const Vantor::ImagePlan plan = Vantor::PlanImage(Vantor::FLACDecoder(path));
    EXPECT_EQ(plan.Size(), static_cast<long long>(c.head.size()) + 4 * c.frames);
    EXPECT_EQ(Vantor::TranscodedSize(path), plan.Size());
    EXPECT_TRUE(SameBytes(plan.head, c.head));
  }
}
