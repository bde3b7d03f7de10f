// The WAV image's layout for hand-made "riff" block lists, RF64 past 4 GiB (checked with
// sox, libsndfile and ffprobe), and the LIST/INFO chunk made from Vorbis comments.
// Images of files real writers made are compared with the originals in test_encoding.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "FlacFixtures.h"
#include "ImageFixtures.h"
#include "SyntheticFLAC.h"
#include "audio/FLACDecode.h"
#include "audio/InfoTags.h"
#include "transcode/WAVImage.h"

using namespace TestUtil;

// Block lists on a 16-bit stereo file of 1000 frames (4000 data bytes): a list of whole
// chunks is laid out again, its fmt chunk kept where it agrees with the stream; any other
// list gets the plain 44-byte header.
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
      {"extensible fmt kept, chunks around the data",
       {{"riff", riff}, {"riff", fmt40}, {"riff", list}, {"riff", data}, {"riff", id3}}, true, 12 + 48 + 26 + 8 + 4000 + 20},
      {"fmt of one channel replaced", {{"riff", riff}, {"riff", FmtChunk(1, 44100, 16)}, {"riff", data}}, true, plain},
      {"float fmt replaced",
       {{"riff", riff}, {"riff", std::string(fmt40).replace(32, 1, "\x03")}, {"riff", data}}, true, plain},
      {"other ids ignored", {{"riff", riff}, {"aiff", "FORM"}, {"riff", fmt}, {"abcd", "x"}, {"riff", data}}, true, plain},
      {"empty element", {{"riff", riff}, {"riff", fmt}, {"riff", data}, {"riff", ""}}, true, plain},
      {"long data element", {{"riff", riff}, {"riff", fmt}, {"riff", data + "junk"}}, false, plain},
      {"second RIFF", {{"riff", riff}, {"riff", fmt}, {"riff", data}, {"riff", riff}}, false, plain},
      {"element of 5 bytes", {{"riff", riff}, {"riff", fmt}, {"riff", "LIST\0"}, {"riff", data}}, false, plain},
      {"size field disagrees", {{"riff", riff}, {"riff", fmt}, {"riff", list + "x"}, {"riff", data}}, false, plain},
      {"odd chunk without its pad byte", {{"riff", riff}, {"riff", fmt}, {"riff", Chunk("note", "odd").substr(0, 11)},
        {"riff", data}}, false, plain},
      {"ds64 in a RIFF file", {{"riff", riff}, {"riff", Chunk("ds64", std::string(28, '\0'))}, {"riff", fmt},
        {"riff", data}}, false, plain},
      {"no RIFF first", {{"riff", fmt}, {"riff", riff}, {"riff", data}}, false, plain},
      {"two fmt", {{"riff", riff}, {"riff", fmt}, {"riff", fmt}, {"riff", data}}, false, plain},
      {"two data", {{"riff", riff}, {"riff", fmt}, {"riff", data}, {"riff", data}}, false, plain},
      {"data first", {{"riff", riff}, {"riff", data}, {"riff", fmt}}, false, plain},
      {"no data", {{"riff", riff}, {"riff", fmt}, {"riff", list}}, false, plain},
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
  const std::string ff = LE32(0xFFFFFFFFu);
  const std::string fmt = FmtChunk(2, 44100, 16);
  const long long largestRIFF = (1LL << 30) - 10;  // 16-bit stereo: 44 + 4 * frames = 2^32 + 4
  const struct {
    const char* name;
    long long frames;
    std::vector<std::string> stored;
    std::string head;  // expected, up to the sample data
  } cases[] = {
      {"largest RIFF image", largestRIFF, {}, "RIFF" + LE32(0xFFFFFFFCu) + "WAVE" + fmt + "data" + LE32(0xFFFFFFD8u)},
      {"one frame more", largestRIFF + 1, {},
       "RF64" + LE32(0xFFFFFFFFu) + "WAVE" + Chunk("ds64", LE64(4LL * (largestRIFF + 1) + 72) + LE64(4LL * (largestRIFF + 1)) +
                                                   LE64(largestRIFF + 1) + LE32(0)) + fmt + "data" + LE32(0xFFFFFFFFu)},
      {"stored RF64", 1LL << 31,
       {"RF64" + ff + "WAVE", Chunk("ds64", LE64((1LL << 33) + 72) + LE64(1LL << 33) + LE64(0) + LE32(0)), fmt, "data" + ff},
       "RF64" + ff + "WAVE" + Chunk("ds64", LE64((1LL << 33) + 72) + LE64(1LL << 33) + LE64(0) + LE32(0)) + fmt + "data" + ff},
      {"streaming writer's header", 1LL << 31, {"RIFF" + LE32(0xFFFFFFFFu) + "WAVE", fmt, "data" + LE32(0xFFFFFFFFu)},
       "RIFF" + LE32(0xFFFFFFFFu) + "WAVE" + fmt + "data" + LE32(0xFFFFFFFFu)},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StreamShape shape;
    shape.blockFrames = 65535;
    shape.frames = c.frames;
    const std::string path = dir.File("long.flac");
    WriteFile(path, SyntheticFLAC(shape));
    std::vector<std::pair<std::string, std::string>> blocks;
    for (const std::string& e : c.stored) blocks.emplace_back("riff", e);
    EditMetadata(path, -1, blocks);
    Vantor::FLACDecoder d(path);
    const Vantor::ImagePlan plan = Vantor::PlanImage(d);
    EXPECT_EQ(plan.Size(), static_cast<long long>(c.head.size()) + 4 * c.frames);
    EXPECT_EQ(Vantor::TranscodedSize(path), plan.Size());
    EXPECT_TRUE(SameBytes(plan.head, c.head));
  }
}

// The example: 2 h 12 min of 96 kHz 24-bit stereo, as sox, libsndfile and
// ffprobe count it in a sparse copy of the image.
TEST(WAVImage, LongImageFrameCountsAgreeWithTheTools) {
  TempDir dir;
  StreamShape shape;
  shape.rate = 96000;
  shape.bits = 24;
  shape.blockFrames = 65535;
  shape.frames = 760320000;
  WriteFile(dir.File("long.flac"), SyntheticFLAC(shape));
  Vantor::FLACDecoder d(dir.File("long.flac"));
  const std::string image = dir.File("image.wav");
  const int fd = open(image.c_str(), O_RDWR | O_CREAT, 0644);
  EXPECT_EQ(Vantor::BuildWAV(fd, d, nullptr), 4561920080LL);
  close(fd);
  const std::string frames = std::to_string(shape.frames);
  // sox reads a whole RF64 file (minutes for this one) though its count comes from the
  // ds64 chunk: it is given the first megabyte.
  EXPECT_EQ(RunOutput("head -c 1000000 " + Quote(image) + " | soxi -s -"), frames + "\n");
  EXPECT_EQ(RunOutput("sndfile-info " + Quote(image) + " | grep -m1 '^Frames'"), "Frames      : " + frames + "\n");
  EXPECT_EQ(RunOutput("ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 " + Quote(image)), frames + "\n");
}

// With the tags option, an image without a stored LIST chunk gets one made from the
// Vorbis comments, in front of the data; without the option, or with a stored LIST
// chunk, nothing is added.
TEST(WAVImage, VorbisCommentsBecomeAListChunk) {
  TempDir dir;
  const std::string wav = MakeWAV(1, 8000, 16, RandomBytes(2000, 3), Chunk("bext", "b"));
  const std::string withList = MakeWAV(1, 8000, 16, RandomBytes(2000, 3), Chunk("LIST", "INFOISFTxx"));
  FlacEncode(wav, dir.File("chunks.flac"));
  FlacEncode(wav, dir.File("plain.flac"), false);
  FlacEncode(withList, dir.File("list.flac"));
  for (const char* f : {"chunks.flac", "plain.flac", "list.flac"}) {
    ASSERT_EQ(TestUtil::Run("metaflac --no-utf8-convert --set-tag=TITLE=Ünïcödé --set-tag=artist=A --set-tag=ARTIST=B --set-tag=ISRC=x --set-tag=TRACKNUMBER=7 " +
                  Quote(dir.File(f))), 0);
  }
  const std::string info = Chunk("LIST", "INFO" + Chunk("INAM", "Ünïcödé" + std::string(1, '\0')) +
                                             Chunk("IART", "A; B" + std::string(1, '\0')) + Chunk("ITRK", "7" + std::string(1, '\0')));
  const std::string plain = MakeWAV(1, 8000, 16, RandomBytes(2000, 3));
  const struct {
    const char* file;
    bool tags;
    std::string image;
  } cases[] = {
      {"chunks.flac", true, MakeWAV(1, 8000, 16, RandomBytes(2000, 3), Chunk("bext", "b") + info)},
      {"plain.flac", true, MakeWAV(1, 8000, 16, RandomBytes(2000, 3), info)},
      {"list.flac", true, withList},
      {"chunks.flac", false, wav},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file) + (c.tags ? " with tags" : ""));
    Vantor::Audio::SetTagsEnabled(c.tags);
    EXPECT_EQ(Vantor::TranscodedSize(dir.File(c.file)), static_cast<long long>(c.image.size()));
    EXPECT_TRUE(SameBytes(ImageOf(dir.File(c.file)), c.image));
  }
  Vantor::Audio::SetTagsEnabled(false);
}
