// The WAV image of a FLAC file: its layout against what `flac -d` restores, hand-made
// chunk lists, and sizes up to and beyond 4 GiB.
#include <FLAC/metadata.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "TestUtil.h"
#include "audio/FLACDecode.h"
#include "transcode/WAVImage.h"

using TestUtil::Chunk;
using TestUtil::LE32;
using TestUtil::Quote;
using Vantor::FLACDecoder;

namespace {

// Adds APPLICATION blocks (id, body) behind STREAMINFO, in order, with libFLAC.
void AddApplicationBlocks(const std::string& path, const std::vector<std::pair<std::string, std::string>>& blocks) {
  std::unique_ptr<FLAC__Metadata_Chain, decltype(&FLAC__metadata_chain_delete)> chain(FLAC__metadata_chain_new(),
                                                                                       FLAC__metadata_chain_delete);
  ASSERT_TRUE(FLAC__metadata_chain_read(chain.get(), path.c_str()));
  std::unique_ptr<FLAC__Metadata_Iterator, decltype(&FLAC__metadata_iterator_delete)> it(
      FLAC__metadata_iterator_new(), FLAC__metadata_iterator_delete);
  FLAC__metadata_iterator_init(it.get(), chain.get());
  for (const auto& [id, body] : blocks) {
    FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_APPLICATION);
    std::memcpy(block->data.application.id, id.data(), 4);
    std::vector<FLAC__byte> bytes(body.begin(), body.end());
    ASSERT_TRUE(FLAC__metadata_object_application_set_data(block, bytes.data(), static_cast<unsigned>(bytes.size()), true));
    ASSERT_TRUE(FLAC__metadata_iterator_insert_block_after(it.get(), block));
  }
  ASSERT_TRUE(FLAC__metadata_chain_write(chain.get(), true, false));
}

// BuildWAV into a fresh file; returns the file's bytes and checks that the returned size
// is the file's size and TranscodedSize's answer.
std::string BuildToFile(const std::string& flac, const std::string& out, long long* dataOffset) {
  FLACDecoder d(flac);
  const int fd = open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  EXPECT_GE(fd, 0);
  const long long size = Vantor::BuildWAV(fd, d, dataOffset);
  close(fd);
  EXPECT_EQ(size, Vantor::BuildWAV(-1, d, nullptr));
  EXPECT_EQ(size, Vantor::TranscodedSize(flac));
  const std::string bytes = TestUtil::ReadFile(out);
  EXPECT_EQ(static_cast<long long>(bytes.size()), size);
  return bytes;
}

std::string SmallFLAC(const TestUtil::TempDir& dir, const std::string& name, int bits, int channels, long frames) {
  const std::string path = dir.File(name + ".flac");
  TestUtil::EncodeFLAC(path, TestUtil::TestSignal(channels, bits, frames, 5), channels, bits);
  return path;
}

// WAV files made by hand, encoded with and without their chunks kept: the image equals
// what `flac -d` restores everywhere but the sample area, which is left a hole (zeros).
TEST(WAVImage, MatchesFlacToolOutsideTheSamples) {
  const std::string list = Chunk("LIST", "INFOICMT" + LE32(5) + "hello", 0);
  const std::string bext = Chunk("bext", std::string(11, 'b'));
  const std::string cue = Chunk("cue ", LE32(1) + std::string(24, '\0'));
  const std::string id3 = Chunk("id3 ", "ID3\x03" + std::string(9, 'i'));
  struct Case {
    int bits, channels;
    long frames;
    std::string before, after;
    bool keep;
  };
  const std::vector<Case> cases = {
      {8, 1, 1001, list + bext, id3, true},    {8, 2, 1000, cue, bext + id3, true},
      {16, 1, 999, bext, "", true},            {16, 2, 1000, list + cue + bext, id3, true},
      {24, 1, 1001, list, id3 + bext, true},   {24, 2, 1000, bext + list, "", true},
      {8, 1, 1001, "", "", false},             {8, 2, 1000, "", "", false},
      {16, 1, 1001, "", "", false},            {16, 2, 1000, "", "", false},
      {8, 1, 1001, list, id3, false},
  };
  TestUtil::TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    const std::string name = "c" + std::to_string(n++);
    SCOPED_TRACE(name + ": " + std::to_string(c.bits) + " bits, " + std::to_string(c.channels) + " channels");
    const long long dataSize = static_cast<long long>(c.frames) * c.channels * c.bits / 8;
    const std::string wav = dir.File(name + ".wav"), flac = dir.File(name + ".flac"), back = dir.File(name + "-back.wav");
    TestUtil::WriteFile(wav, TestUtil::MakeWAV(c.channels, 44100, c.bits,
                                               TestUtil::RandomBytes(static_cast<std::size_t>(dataSize), n),
                                               c.before, c.after));
    const std::string keep = c.keep ? " --keep-foreign-metadata" : "";
    ASSERT_EQ(TestUtil::Run("flac -s" + keep + " -o " + Quote(flac) + " " + Quote(wav)), 0);
    ASSERT_EQ(TestUtil::Run("flac -s -d --force-legacy-wave-format" + keep + " -o " + Quote(back) + " " + Quote(flac)), 0);
    const std::string expected = TestUtil::ReadFile(back);

    FLACDecoder d(flac);
    EXPECT_EQ(Vantor::SaneChunks(d), c.keep);
    long long dataOffset = -1;
    std::string image = BuildToFile(flac, dir.File(name + "-image.wav"), &dataOffset);
    ASSERT_EQ(image.size(), expected.size());
    ASSERT_EQ(dataOffset, static_cast<long long>(12 + 24 + (c.keep ? c.before.size() : 0) + 8));
    const std::size_t at = static_cast<std::size_t>(dataOffset), size = static_cast<std::size_t>(dataSize);
    EXPECT_EQ(image.substr(at, size), std::string(size, '\0'));
    image.replace(at, size, expected, at, size);
    EXPECT_TRUE(image == expected) << "image differs from flac -d outside the sample area";
  }
}

// Hand-made "riff" block lists on a 16-bit stereo file of 1000 frames (4000 data bytes).
TEST(WAVImage, ChunkListsDecideTheLayout) {
  const std::string riff = "RIFF" + LE32(0) + "WAVE";  // a wrong stored size: recomputed
  const std::string fmt = TestUtil::FmtChunk(2, 44100, 16);
  const std::string fmt40 = Chunk("fmt ", std::string(40, 'x'));
  const std::string data = "data" + LE32(4000);
  const std::string list = Chunk("LIST", std::string(18, 'l'));  // 26 bytes
  const std::string id3 = Chunk("id3 ", std::string(12, 'i'));    // 20 bytes
  using Blocks = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    std::string name;
    Blocks blocks;
    bool sane;
    long long size;
  };
  const long long plain = 44 + 4000;
  const std::vector<Case> cases = {
      {"minimal", {{"riff", riff}, {"riff", fmt}, {"riff", data}}, true, plain},
      {"extensible fmt, chunks around the data",
       {{"riff", riff}, {"riff", fmt40}, {"riff", list}, {"riff", data}, {"riff", id3}}, true, 90 + 4000},
      {"other ids ignored", {{"riff", riff}, {"aiff", "FORM"}, {"riff", fmt}, {"abcd", "x"}, {"riff", data}}, true, plain},
      {"empty chunk", {{"riff", riff}, {"riff", fmt}, {"riff", data}, {"riff", ""}}, true, plain},
      {"long data element", {{"riff", riff}, {"riff", fmt}, {"riff", data + "junk"}}, true, plain},
      {"second RIFF", {{"riff", riff}, {"riff", fmt}, {"riff", data}, {"riff", riff + "extra"}}, true, plain + 12},
      {"two chunks", {{"riff", riff}, {"riff", fmt}}, false, plain},
      {"no RIFF first", {{"riff", fmt}, {"riff", riff}, {"riff", data}}, false, plain},
      {"two fmt", {{"riff", riff}, {"riff", fmt}, {"riff", fmt}, {"riff", data}}, false, plain},
      {"two data", {{"riff", riff}, {"riff", fmt}, {"riff", data}, {"riff", data}}, false, plain},
      {"data first", {{"riff", riff}, {"riff", data}, {"riff", fmt}}, false, plain},
      {"no data", {{"riff", riff}, {"riff", fmt}, {"riff", list}}, false, plain},
      {"short chunks", {{"riff", "RIF"}, {"riff", fmt}, {"riff", data}}, false, plain},
  };
  TestUtil::TempDir dir;
  const std::string base = SmallFLAC(dir, "base", 16, 2, 1000);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File("c" + std::to_string(n++) + ".flac");
    std::filesystem::copy_file(base, path);
    AddApplicationBlocks(path, c.blocks);
    FLACDecoder d(path);
    std::vector<std::string> riffs;
    for (const auto& [id, body] : c.blocks) {
      if (id == "riff") riffs.push_back(body);
    }
    ASSERT_EQ(d.CountChunks(), riffs.size());
    for (std::size_t i = 0; i < riffs.size(); ++i) EXPECT_EQ(d.Chunk(static_cast<int>(i)), riffs[i]);
    EXPECT_EQ(Vantor::SaneChunks(d), c.sane);
    long long dataOffset = -1;
    const std::string image = BuildToFile(path, path + ".wav", &dataOffset);
    EXPECT_EQ(static_cast<long long>(image.size()), c.size);
    if (!c.sane) {
      EXPECT_EQ(dataOffset, 44);
    }
  }

  // The worked layout, byte for byte: the stored 48-byte fmt chunk gives way to the
  // 24-byte one, the id3 chunk stands behind the sample data.
  const std::string path = dir.File("c1.flac");
  long long dataOffset = -1;
  const std::string image = BuildToFile(path, dir.File("worked.wav"), &dataOffset);
  EXPECT_EQ(dataOffset, 70);
  EXPECT_TRUE(image == "RIFF" + LE32(4082) + "WAVE" + fmt + list + data + std::string(4000, '\0') + id3);
}

// Sizes from STREAMINFO alone, past 4 GiB too: a 32-bit size field that cannot hold its
// value does not wrap the image size.
TEST(WAVImage, SizesDoNotWrap) {
  struct Case {
    int bits, channels;
    long long frames;
    bool chunks;
    long long size;
  };
  const std::vector<Case> cases = {
      {16, 2, 44100, false, 176444},
      {8, 1, 3, false, 48},
      {20, 2, 1000, false, 6044},
      {24, 1, 7, false, 44 + 21 + 1},
      {16, 2, (1LL << 30) - 12, false, (1LL << 32) - 4},
      {16, 2, 1LL << 34, false, 44 + (1LL << 36)},
      {8, 1, (1LL << 32) + 1, false, 44 + (1LL << 32) + 2},
      {24, 6, (1LL << 36) - 1, false, 44 + 18 * ((1LL << 36) - 1)},
      {16, 2, 1LL << 34, true, 12 + 24 + 8 + 20 + (1LL << 36)},
  };
  TestUtil::TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.channels) + " channels, " +
                 std::to_string(c.frames) + " frames");
    const std::string path = SmallFLAC(dir, "c" + std::to_string(n++), c.bits, c.channels, 1000);
    TestUtil::PatchTotalSamples(path, static_cast<uint64_t>(c.frames));
    if (c.chunks) {
      AddApplicationBlocks(path, {{"riff", "RIFF" + LE32(0) + "WAVE"},
                                  {"riff", TestUtil::FmtChunk(c.channels, 44100, c.bits)},
                                  {"riff", "data" + LE32(0)},
                                  {"riff", Chunk("id3 ", std::string(12, 'i'))}});
    }
    EXPECT_EQ(Vantor::TranscodedSize(path), c.size);
  }
}

}  // namespace
