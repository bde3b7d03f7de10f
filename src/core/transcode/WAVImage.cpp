// Layout, size and writing of the WAV image of a FLAC file.
//
// Sizes are 64-bit throughout. A 32-bit header field (RIFF size, data size) whose value
// does not fit holds 0xFFFFFFFF, as oversized WAV files commonly do; the image size and
// every offset stay the true 64-bit values.
#include "transcode/WAVImage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "audio/FLACDecode.h"
#include "audio/FileIO.h"
#include "audio/FourCC.h"
#include "audio/WAVFile.h"

namespace Vantor {

namespace {

constexpr long long kRiffHeaderSize = 12;
constexpr long long kFmtChunkSize = 24;
constexpr long long kDataHeaderSize = 8;

// The value of a 32-bit size field: the size itself, or 0xFFFFFFFF when it does not fit.
unsigned int SizeField(long long size) {
  return size > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<unsigned int>(size);
}

bool BeginsWith(const std::string& chunk, unsigned int code) {
  if (chunk.size() < 4) return false;
  char const* p = chunk.data();
  return Read4CC(p) == code;
}

// Writes all of bytes at fd's position; throws "could not write" when that fails.
void WriteBytes(int fd, const char* bytes, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("could not write");
    bytes += n;
    size -= static_cast<size_t>(n);
  }
}

void WriteBytes(int fd, const std::string& bytes) { WriteBytes(fd, bytes.data(), bytes.size()); }

long long Pad(long long dataSize) { return dataSize & 1; }

// Bytes that one foreign chunk takes in the image.
long long ImageBytes(const std::string& chunk) {
  if (BeginsWith(chunk, FourCCValue("RIFF"))) return kRiffHeaderSize;
  if (BeginsWith(chunk, FourCCValue("fmt "))) return kFmtChunkSize;
  if (BeginsWith(chunk, FourCCValue("data"))) return kDataHeaderSize;
  return static_cast<long long>(chunk.size());
}

void WriteRiffHeader(int fd, long long riffSize) {
  WriteBE32(fd, FourCCValue("RIFF"));
  WriteLE32(fd, SizeField(riffSize));
  WriteBE32(fd, FourCCValue("WAVE"));
}

}  // namespace

int BytesPerSample(const FLACDecoder& d) {
  return Audio::ContainerBits(d.SampleSize()) * d.ChannelCount() / 8;
}

long long DataSize(const FLACDecoder& d) { return static_cast<long long>(BytesPerSample(d)) * d.FrameCount(); }

bool SaneChunks(const FLACDecoder& d) {
  const unsigned count = d.CountChunks();
  if (count < 3 || !BeginsWith(d.Chunk(0), FourCCValue("RIFF"))) return false;
  int fmtCount = 0;
  int dataCount = 0;
  for (unsigned i = 1; i < count; ++i) {
    const std::string& chunk = d.Chunk(static_cast<int>(i));
    if (BeginsWith(chunk, FourCCValue("fmt "))) {
      // "fmt " must come before "data".
      if (dataCount > 0) return false;
      ++fmtCount;
    } else if (BeginsWith(chunk, FourCCValue("data"))) {
      ++dataCount;
    }
  }
  return fmtCount == 1 && dataCount == 1;
}

void WriteData(int fd, FLACDecoder& d) {
  const long long dataSize = DataSize(d);
  WriteBE32(fd, FourCCValue("data"));
  WriteLE32(fd, SizeField(dataSize));
  // The sample data is left as a hole; the transcoder fills it as it decodes.
  const off_t end = lseek(fd, static_cast<off_t>(dataSize), SEEK_CUR);
  if (Pad(dataSize)) {
    const char zero = 0;
    WriteBytes(fd, &zero, 1);
    return;
  }
  // Seeking alone does not lengthen the file: make sure it reaches the end of the hole,
  // also when nothing follows the sample data.
  struct stat st;
  if (end >= 0 && fstat(fd, &st) == 0 && st.st_size < end && ftruncate(fd, end) != 0) {
    throw std::runtime_error("could not write");
  }
}

long long BuildWAV(int fd, FLACDecoder& d, long long* dataOffset) {
  const std::string fmt =
      Audio::BuildFMTChunk(d.ChannelCount(), static_cast<int>(d.FrameRate()), d.SampleSize());
  const long long dataSize = DataSize(d);
  const long long pad = Pad(dataSize);
  const bool chunkLayout = SaneChunks(d);

  // Bytes of the image outside the sample data and its pad byte.
  long long frame = kRiffHeaderSize + kFmtChunkSize + kDataHeaderSize;
  if (chunkLayout) {
    frame = 0;
    for (unsigned i = 0; i < d.CountChunks(); ++i) frame += ImageBytes(d.Chunk(static_cast<int>(i)));
  }
  const long long imageSize = frame + dataSize + pad;
  const long long riffSize = imageSize - 8;
  if (fd < 0) return imageSize;

  auto writeData = [&] {
    if (dataOffset) *dataOffset = static_cast<long long>(lseek(fd, 0, SEEK_CUR)) + kDataHeaderSize;
    WriteData(fd, d);
  };

  if (!chunkLayout) {
    WriteRiffHeader(fd, riffSize);
    WriteBytes(fd, fmt);
    writeData();
    return imageSize;
  }

  for (unsigned i = 0; i < d.CountChunks(); ++i) {
    const std::string& chunk = d.Chunk(static_cast<int>(i));
    if (BeginsWith(chunk, FourCCValue("RIFF"))) {
      WriteRiffHeader(fd, riffSize);
    } else if (BeginsWith(chunk, FourCCValue("fmt "))) {
      WriteBytes(fd, fmt);
    } else if (BeginsWith(chunk, FourCCValue("data"))) {
      writeData();
    } else {
      WriteBytes(fd, chunk);
    }
  }
  return imageSize;
}

long long TranscodedSize(const std::string& path) {
  try {
    FLACDecoder decoder(path);
    return BuildWAV(-1, decoder, nullptr);
  } catch (...) {
    return 0;
  }
}

}  // namespace Vantor
