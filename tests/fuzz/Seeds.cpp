// Makes the fuzz targets' seed corpora from the test fixtures, at build time:
//   fuzz_seeds OUT   writes OUT/wav (walk, reader, conversion), OUT/flac (image) and
//                    OUT/writeback (operation sequences), then OUT/.made.
// WAV files in the forms writers leave (plain, extensible, RF64, sizes never fixed, odd
// chunks), FLAC files from them with their chunks kept (made by the conversion itself),
// and FLAC streams built byte by byte (no length, a false length, 32 bits, empty).
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "SyntheticFLAC.h"
#include "TestUtil.h"
#include "transcode/Conversion.h"
#include "transcode/UniqueFd.h"

using namespace TestUtil;

namespace {

// The FLAC file the conversion makes of wav ("" when it refuses it).
std::string Encoded(const std::string& wav) {
  Vantor::UniqueFd in(memfd_create("wav", MFD_CLOEXEC)), out(memfd_create("flac", MFD_CLOEXEC));
  if (write(in.Get(), wav.data(), wav.size()) != static_cast<ssize_t>(wav.size())) return "";
  try {
    Vantor::EncodeWAV(in.Get(), out.Get(), "seed.wav");
  } catch (const std::exception&) {
    return "";
  }
  std::string bytes(static_cast<size_t>(lseek(out.Get(), 0, SEEK_END)), '\0');
  if (pread(out.Get(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) return "";
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds OUT\n");
    return 2;
  }
  const std::filesystem::path out = argv[1];
  for (const char* d : {"wav", "flac", "writeback"}) std::filesystem::create_directories(out / d);
  int n = 0;
  auto put = [&](const char* folder, const std::string& bytes) {
    if (bytes.empty()) return;
    WriteFile((out / folder / ("seed-" + std::to_string(n++))).string(), bytes);
  };

  const std::string list = Chunk("LIST", "INFO" + Chunk("INAM", std::string("Title\0", 6)) + Chunk("ISFT", "x"));
  const std::string ff = LE32(0xFFFFFFFFu);
  std::vector<std::string> wavs = {
      MakeWAV(1, 8000, 8, RandomBytes(301, 1)),
      MakeWAV(2, 44100, 16, RandomBytes(800, 2), list, Chunk("cue ", RandomBytes(24, 3))),
      MakeWAV(6, 48000, 24, RandomBytes(18 * 40, 4), Chunk("bext", "odd")),
      MakeWAV(2, 22050, 32, RandomBytes(8 * 50, 5)),
      "RIFF" + LE32(0) + "WAVE" + ExtensibleFmtChunk(2, 48000, 24, 20, 0x3F) + Chunk("data", RandomBytes(6 * 60, 6)),
      "RIFF" + ff + "WAVE" + FmtChunk(2, 44100, 16) + list + "data" + ff + RandomBytes(400, 7),
      "RIFF" + LE32(36) + "WAVE" + FmtChunk(1, 8000, 16) + "data" + LE32(0) + RandomBytes(200, 8),
      "RF64" + ff + "WAVE" + DS64Chunk(72 + 400, 400, 100) + FmtChunk(2, 8000, 16) +
          "data" + ff + RandomBytes(400, 9),
  };
  for (const std::string& wav : wavs) {
    put("wav", wav);
    put("flac", Encoded(wav));
  }
  // Streams with their length, without one, with a false one; 32 bits; no frames.
  for (long long stated : {-1LL, 0LL, 9800000000LL})
    put("flac", SyntheticFLAC({.frames = 3 * 4096 + 5, .statedFrames = stated}));
  std::vector<int32_t> tail;
  for (int i = 0; i < 8; ++i) tail.push_back(i % 2 ? 0x7FFFFFFF : -0x7FFFFFFF - 1);
  put("flac", SyntheticFLAC({.channels = 1, .bits = 32, .blockFrames = 16, .frames = 40}, tail));
  put("flac", FlacHead(StreamShape{}));

  // Operation sequences: the song or a new file, then writes of a WAV header and data,
  // reads, truncations and a full production; writes across the edge of what was read,
  // into the header, over the last frame and the chunk behind it, and past the end.
  auto op = [](int kind, unsigned offset, unsigned length) {
    return std::string{static_cast<char>(kind), static_cast<char>(offset >> 16), static_cast<char>(offset >> 8),
                       static_cast<char>(offset), static_cast<char>(length >> 8), static_cast<char>(length)};
  };
  const std::string small = MakeWAV(2, 8000, 16, RandomBytes(400, 10));
  put("writeback", std::string(1, '\0') + op(1, 0, static_cast<unsigned>(small.size())) + small + op(0, 0, 500));
  put("writeback", std::string(1, '\1') + op(0, 100, 3000) + op(1, 3098, 4) + "abcd" + op(1, 16446, 4) + "efgh" +
                       op(3, 0, 0) + op(2, 6000, 0) + op(2, 20000, 0));
  put("writeback", std::string(1, '\1') + op(2, 0, 0) + op(1, 0, static_cast<unsigned>(small.size())) + small);
  put("writeback", std::string(1, '\1') + op(1, 44, 8) + RandomBytes(8, 11) + op(1, 36064, 8) + RandomBytes(8, 12) +
                       op(0, 0, 20000));
  put("writeback", std::string(1, '\0') + op(1, 10, 1) + "x" + op(0, 0, 100));

  WriteFile((out / ".made").string(), std::to_string(n) + " seeds\n");
  return 0;
}
