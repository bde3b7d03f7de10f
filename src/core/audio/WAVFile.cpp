#include "audio/WAVFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "audio/FileIO.h"
#include "audio/FourCC.h"

namespace Vantor::Audio {

namespace {

constexpr unsigned int kRIFF = FourCCValue("RIFF");
constexpr unsigned int kWAVE = FourCCValue("WAVE");
constexpr unsigned int kFmt = FourCCValue("fmt ");
constexpr unsigned int kData = FourCCValue("data");

constexpr size_t kFMTChunkSize = 24;

void SeekBy(int fd, off_t delta) {
  if (lseek(fd, delta, SEEK_CUR) < 0) throw std::runtime_error("could not read");
}

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

FMTChunkInfo ParseFMTChunk(const std::string& chunk) {
  if (chunk.size() < kFMTChunkSize) throw std::runtime_error("wrong fmt chunk");
  char const* p = chunk.data();
  if (Read4CC(p) != kFmt) throw std::runtime_error("wrong tag");
  if (ReadLE32(p) != 16) throw std::runtime_error("wrong size");
  if (ReadLE16(p) != 1) throw std::runtime_error("unhandled format tag");
  FMTChunkInfo info;
  info.channels = ReadLE16(p);
  info.sampleRate = ReadLE32(p);
  info.byteRate = ReadLE32(p);
  info.blockAlign = ReadLE16(p);
  info.bitsPerSample = ReadLE16(p);
  return info;
}

std::vector<std::string> ParseWAVFile(int fd, unsigned long& dataOffset, unsigned long& dataSize) {
  const unsigned int tag = Read4CC(fd);
  ReadLE32(fd);  // The RIFF size: the walk follows the real size of the file instead.
  struct stat st;
  if (fstat(fd, &st) != 0) throw std::runtime_error("WAVFile::Parse(), fstat");
  if (tag != kRIFF) throw std::runtime_error("wrong tag");
  if (Read4CC(fd) != kWAVE) throw std::runtime_error("wrong type");

  std::vector<std::string> chunks;
  SeekBy(fd, -12);
  chunks.push_back(ReadString(fd, 12));
  const off_t start = lseek(fd, 0, SEEK_CUR);
  if (start < 0) throw std::runtime_error("could not read");
  long long remaining = static_cast<long long>(st.st_size) - start;

  while (remaining > 0) {
    const unsigned int id = Read4CC(fd);
    const unsigned int n = ReadLE32(fd);
    const long long padded = static_cast<long long>(n) + (n & 1);
    // Headers and payloads are counted in 64 bits: n + 8 does not fit 32 bits for the
    // largest claims, and such a claim must fail rather than wrap to a short read.
    const long long payloadLeft = remaining - 8;
    remaining -= padded + 8;
    if (id == kData) {
      const off_t at = lseek(fd, 0, SEEK_CUR);
      if (at < 0) throw std::runtime_error("could not read");
      dataOffset = static_cast<unsigned long>(at);
      dataSize = n;
      SeekBy(fd, -8);
      chunks.push_back(ReadString(fd, 8));
      // A payload that runs past the end of the file ends the walk here.
      SeekBy(fd, static_cast<off_t>(padded));
    } else {
      if (static_cast<long long>(n) > payloadLeft) throw std::runtime_error("could not read");
      SeekBy(fd, -8);
      chunks.push_back(ReadString(fd, n + 8));
      if (n & 1) {
        // The file's own pad byte is skipped; the element always gets a zero.
        SeekBy(fd, 1);
        chunks.back() += '\0';
      }
    }
  }
  return chunks;
}

}  // namespace Vantor::Audio
