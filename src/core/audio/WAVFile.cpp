#include "audio/WAVFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "audio/FileIO.h"
#include "audio/FourCC.h"

namespace Vantor::Audio {

namespace {

constexpr unsigned int kRIFF = FourCCValue("RIFF");
constexpr unsigned int kRF64 = FourCCValue("RF64");
constexpr unsigned int kBW64 = FourCCValue("BW64");
constexpr unsigned int kWAVE = FourCCValue("WAVE");
constexpr unsigned int kFmt = FourCCValue("fmt ");
constexpr unsigned int kData = FourCCValue("data");
constexpr unsigned int kDs64 = FourCCValue("ds64");

constexpr size_t kFMTChunkSize = 24;
constexpr unsigned long long kHuge = 1ull << 62;

// The sub-format GUIDs of WAVE_FORMAT_EXTENSIBLE end alike; the first two bytes hold the
// plain format tag.
const std::string kGuidTail("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);

}  // namespace

int ContainerBits(int bits) {
  if (bits <= 0) return 0;
  return (bits + 7) / 8 * 8;
}

std::string BuildFMTChunk(int channels, int sampleRate, int bits) {
  const unsigned int containerBits = static_cast<unsigned int>(ContainerBits(bits));
  const unsigned int blockAlign = static_cast<unsigned int>(channels) * (containerBits / 8);
  std::string chunk(kFMTChunkSize, '\0');
  char* p = chunk.data();
  WriteBE32(p, kFmt);
  WriteLE32(p, 16);
  WriteLE16(p, 1);
  WriteLE16(p, static_cast<unsigned short>(channels));
  WriteLE32(p, static_cast<unsigned int>(sampleRate));
  WriteLE32(p, blockAlign * static_cast<unsigned int>(sampleRate));
  WriteLE16(p, static_cast<unsigned short>(blockAlign));
  WriteLE16(p, static_cast<unsigned short>(containerBits));
  return chunk;
}

bool ParseFormat(const std::string& chunk, WAVFormat& f) {
  if (chunk.size() < kFMTChunkSize) return false;
  char const* p = chunk.data();
  if (Read4CC(p) != kFmt) return false;
  const unsigned int n = ReadLE32(p);
  if (n < 16 || chunk.size() - 8 < n) return false;
  f = WAVFormat();
  f.formatTag = ReadLE16(p);
  f.channels = ReadLE16(p);
  f.sampleRate = ReadLE32(p);
  f.byteRate = ReadLE32(p);
  f.blockAlign = ReadLE16(p);
  f.bitsPerSample = ReadLE16(p);
  unsigned tag = f.formatTag;
  // Extensible: cbSize, valid bits, channel mask, then the sub-format GUID.
  if (tag == 0xFFFE) tag = n >= 40 && chunk.compare(34, 14, kGuidTail) == 0 ? ReadLE16(chunk.data() + 32) : 0;
  f.integerPCM = tag == 1;
  f.floatingPoint = tag == 3;
  return true;
}

WAVLayout WalkWAV(int fd) {
  // The checks in this order: a file of fewer than 8 bytes cannot be read at all.
  std::string head = ReadAt(fd, 0, 8);
  struct stat st;
  if (fstat(fd, &st) != 0) throw std::runtime_error("WAVFile::Parse(), fstat");
  char const* p = head.data();
  const unsigned int tag = Read4CC(p);
  if (tag != kRIFF && tag != kRF64 && tag != kBW64) throw std::runtime_error("wrong tag");
  long long riffSize = ReadLE32(p);
  head += ReadAt(fd, 8, 4);
  if (Read4CC(head.data() + 8) != kWAVE) throw std::runtime_error("wrong type");
  const bool rf64 = tag != kRIFF;

  WAVLayout w;
  w.chunks.push_back(head);
  const long long size = st.st_size;
  long long ds64Data = -1;  // the first data chunk's size from ds64
  size_t kept = head.size();
  long long pos = 12;
  while (size - pos >= 8) {
    const std::string header = ReadAt(fd, pos, 8);
    const unsigned int id = Read4CC(header.data());
    const unsigned int n = ReadLE32(header.data() + 4);
    if (rf64 && w.chunks.size() == 1 && id != kDs64) throw std::runtime_error("no ds64 chunk");
    if (w.chunks.size() >= kMaxChunks) throw std::runtime_error("too many chunks");
    if (id == kData) {
      const long long start = pos + 8;
      const long long available = size - start;
      const long long declared = n == 0xFFFFFFFFu && ds64Data >= 0 && w.dataChunks == 0 ? ds64Data : n;
      const bool sized = n != 0xFFFFFFFFu || ds64Data >= 0;
      const bool riffMatches = std::llabs(riffSize + 8 - size) <= 1;
      const bool toEnd = !sized || declared > available || (declared == 0 && available > 0 && !riffMatches);
      if (++w.dataChunks == 1) {
        w.dataOffset = start;
        w.dataSize = toEnd ? available : declared;
      }
      w.chunks.push_back(header);
      kept += header.size();
      if (toEnd) {
        pos = size;
        break;
      }
      pos = start + declared + (declared & 1);
      continue;
    }
    // Counted in 64 bits: n + 8 does not fit 32 bits for the largest claims, and such a
    // claim must fail rather than wrap to a short read.
    if (static_cast<long long>(n) > size - pos - 8) throw std::runtime_error("could not read");
    const size_t bytes = 8 + static_cast<size_t>(n) + (n & 1);
    if (bytes > kMaxChunkBytes) throw std::runtime_error("chunk too large to keep");
    if ((kept += bytes) > kMaxChunkListBytes) throw std::runtime_error("chunk too large to keep");
    std::string element = ReadAt(fd, pos, 8 + static_cast<size_t>(n));
    // The file's own pad byte is skipped (it may be missing at the end); the element
    // always gets a zero.
    if (n & 1) element += '\0';
    if (id == kDs64 && rf64 && w.chunks.size() == 1 && n >= 28) {
      // Sizes beyond any file (2^62) are as good as unknown, and stay clear of overflow.
      riffSize = static_cast<long long>(std::min(ReadLE64(element.data() + 8), kHuge));
      ds64Data = static_cast<long long>(std::min(ReadLE64(element.data() + 16), kHuge));
    }
    w.chunks.push_back(std::move(element));
    pos += static_cast<long long>(bytes);
  }
  w.riffSize = riffSize;
  // Stray bytes behind the last chunk are taken only as zeros that the RIFF size counts
  // (pad bytes the image can give back); any others keep the file from being encoded.
  if (pos < size && (riffSize + 8 != size || ReadAt(fd, pos, static_cast<size_t>(size - pos)).find_first_not_of('\0') !=
                                                 std::string::npos)) {
    throw std::runtime_error("could not read");
  }
  return w;
}

}  // namespace Vantor::Audio
