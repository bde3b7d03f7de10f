// The chunk walk over WAV files as writers leave them. (What a "fmt " chunk says: the
// refusals in test_encoding.cpp.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "TestUtil.h"
#include "audio/WAVFile.h"

using namespace Vantor::Audio;
using namespace TestUtil;

TEST(WAVFile, ChunkWalk) {
  TempDir dir;
  const std::string fmt = FmtChunk(1, 8000, 8), samples = RandomBytes(10, 2), good = MakeWAV(1, 8000, 8, samples);
  const std::string head = "RIFF" + LE32(0) + "WAVE", ff = LE32(0xFFFFFFFFu), ds64 = DS64Chunk(82, 10, 10);
  const std::string list = Chunk("LIST", "INFOabcd"), data10 = "data" + LE32(10);
  const unsigned listed = static_cast<unsigned>(4 + fmt.size() + 8 + list.size());
  // RIFF sizes that count the pad byte behind the last chunk, and so a stray byte there.
  const std::string padded = std::string(good).replace(4, 4, LE32(static_cast<unsigned>(good.size() - 7)));
  std::string manyChunks;
  for (size_t i = 0; i < kMaxChunks; ++i) manyChunks += Chunk("JUNK", "");
  const struct {
    const char* name;
    std::string bytes;
    std::vector<std::string> chunks;  // behind the file header, which is the file's first 12 bytes
    long long dataOffset, dataSize;
    std::string error;
  } cases[] = {
      {"canonical", good, {fmt, data10}, 44, 10, ""},
      {"odd chunk gets a zero pad byte", MakeWAV(1, 8000, 8, samples, Chunk("LIST", "INFOabc", 'X')),
       {fmt, "LIST" + LE32(7) + "INFOabc" + '\0', data10}, 60, 10, ""},
      {"RIFF size too large", std::string(good).replace(4, 4, LE32(1u << 30)), {fmt, data10}, 44, 10, ""},
      {"chunk after data", MakeWAV(1, 8000, 8, samples, "", Chunk("cue ", "1234")),
       {fmt, data10, "cue " + LE32(4) + "1234"}, 44, 10, ""},
      // Writers that never come back to fix their header: the data runs to the end.
      {"data past the end", head + fmt + "data" + LE32(1000) + samples, {fmt, "data" + LE32(1000)}, 44, 10, ""},
      {"sizes 0xFFFFFFFF", "RIFF" + ff + "WAVE" + fmt + "data" + ff + samples + list, {fmt, "data" + ff}, 44,
       10 + static_cast<long long>(list.size()), ""},
      {"data 0, audio follows", "RIFF" + LE32(36) + "WAVE" + fmt + "data" + LE32(0) + samples,
       {fmt, "data" + LE32(0)}, 44, 10, ""},
      {"data 0, then a chunk", "RIFF" + LE32(listed) + "WAVE" + fmt + "data" + LE32(0) + list,
       {fmt, "data" + LE32(0), list}, 44, 0, ""},
      {"RF64", "RF64" + ff + "WAVE" + ds64 + fmt + "data" + ff + samples, {ds64, fmt, "data" + ff}, 80, 10, ""},
      {"RF64 without ds64", "RF64" + ff + "WAVE" + fmt + "data" + ff + samples, {}, 0, 0, "no ds64 chunk"},
      {"a pad byte the RIFF size counts", padded + '\0', {fmt, data10}, 44, 10, ""},
      {"a stray byte", good + '\0', {}, 0, 0, "could not read"},
      {"a stray byte the RIFF size counts", padded + 'x', {}, 0, 0, "could not read"},
      {"no final pad byte", head + "junk" + LE32(3) + "abc", {"junk" + LE32(3) + "abc" + '\0'}, -1, 0, ""},
      {"two data chunks: the first counts", head + fmt + Chunk("data", "abc") + Chunk("data", "defgh"),
       {fmt, "data" + LE32(3), "data" + LE32(5)}, 44, 3, ""},
      {"no data", head + fmt, {fmt}, -1, 0, ""},
      {"chunk past the end", head + "junk" + LE32(9) + "12345678", {}, 0, 0, "could not read"},
      {"4 GiB claim", head + "junk" + LE32(0xFFFFFFF0u) + std::string(80, 'j'), {}, 0, 0, "could not read"},
      {"claim + header wraps 32 bits", head + "junk" + LE32(0xFFFFFFFCu) + std::string(80, 'j'), {}, 0, 0,
       "could not read"},
      {"larger than a FLAC metadata block", head + Chunk("junk", std::string(kMaxChunkBytes - 7, 'j')), {}, 0, 0,
       "chunk too large to keep"},
      {"too many chunks", head + manyChunks, {}, 0, 0, "too many chunks"},
      {"4 bytes", "RIFX", {}, 0, 0, "could not read"},
      {"RIFX", "RIFX" + good.substr(4), {}, 0, 0, "wrong tag"},
      {"AVI", "RIFF" + LE32(4) + "AVI " + good.substr(12), {}, 0, 0, "wrong type"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir.File("a.wav"), c.bytes);
    const int fd = open(dir.File("a.wav").c_str(), O_RDONLY);
    WAVLayout w;
    EXPECT_EQ(ErrorOf([&] { w = WalkWAV(fd); }), c.error);
    close(fd);
    if (!c.error.empty()) continue;
    std::vector<std::string> expected{c.bytes.substr(0, 12)};
    expected.insert(expected.end(), c.chunks.begin(), c.chunks.end());
    EXPECT_EQ(w.chunks, expected);
    EXPECT_EQ(std::pair(w.dataOffset, w.dataSize), std::pair(c.dataOffset, c.dataSize));
  }
}
