// The "fmt " chunk builder and parser, and the chunk walk over WAV files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "audio/WAVFile.h"

using namespace Vantor::Audio;
using TestUtil::Chunk;
using TestUtil::LE32;

namespace {

struct WalkResult {
  std::vector<std::string> chunks;
  unsigned long dataOffset = 7777;
  unsigned long dataSize = 8888;
  std::string error;
  off_t endPosition = -1;
};

WalkResult Walk(const std::string& path) {
  WalkResult r;
  int fd = open(path.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  try {
    r.chunks = ParseWAVFile(fd, r.dataOffset, r.dataSize);
    r.endPosition = lseek(fd, 0, SEEK_CUR);
  } catch (const std::runtime_error& e) {
    r.error = e.what();
  }
  close(fd);
  return r;
}

WalkResult WalkBytes(const std::string& bytes) {
  TestUtil::TempDir dir;
  TestUtil::WriteFile(dir.File("a.wav"), bytes);
  return Walk(dir.File("a.wav"));
}

}  // namespace

TEST(WAVFile, CanonicalFile) {
  const std::string wav = TestUtil::MakeWAV(2, 44100, 16, TestUtil::RandomBytes(400, 1));
  WalkResult r = WalkBytes(wav);
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.chunks.size(), 3u);
  EXPECT_EQ(r.chunks[0], wav.substr(0, 12));
  EXPECT_EQ(r.chunks[1], wav.substr(12, 24));
  EXPECT_EQ(r.chunks[2], "data" + LE32(400));
  EXPECT_EQ(r.dataOffset, 44u);
  EXPECT_EQ(r.dataSize, 400u);
}
