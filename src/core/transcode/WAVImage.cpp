// Layout, size and writing of the WAV image of a FLAC file.
#include "transcode/WAVImage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <vector>

#include "audio/FLACDecode.h"
#include "audio/FileIO.h"
#include "audio/InfoTags.h"
#include "audio/WAVFile.h"

namespace Vantor {

namespace {

constexpr unsigned long long kMax32 = 0xFFFFFFFFull;
constexpr std::size_t kDs64Payload = 28;  // RIFF size, data size, sample count, table length

bool Is(const std::string& element, const char (&id)[5]) {
  return element.size() >= 4 && element.compare(0, 4, id, 4) == 0;
}

bool IsHeader(const std::string& element) { return Is(element, "RIFF") || Is(element, "RF64") || Is(element, "BW64"); }

unsigned long long Size32(const std::string& element) { return ReadLE32(element.data() + 4); }

// The stored elements laid out again, empty ones left out; none when they do not form
// a layout: a 12-byte header, then whole chunks (the size field agrees with the length,
// one pad byte for an odd size), exactly one 8-byte data header, one fmt chunk in front
// of it, no second header, and a ds64 chunk right behind an RF64 or BW64 header only.
std::vector<std::string> StoredLayout(const FLACDecoder& d) {
  std::vector<std::string> list;
  int fmt = 0, data = 0;
  for (unsigned i = 0; i < d.CountChunks(); ++i) {
    const std::string& e = d.Chunk(static_cast<int>(i));
    if (e.empty()) continue;
    if (list.empty()) {
      if (e.size() != 12 || !IsHeader(e) || e.compare(8, 4, "WAVE") != 0) return {};
      list.push_back(e);
      continue;
    }
    if (e.size() < 8 || IsHeader(e)) return {};
    if (Is(e, "data")) {
      if (e.size() != 8 || ++data > 1) return {};
    } else {
      const unsigned long long n = Size32(e);
      if (e.size() != 8 + n + (n & 1)) return {};
      if (Is(e, "fmt ") && (data > 0 || ++fmt > 1)) return {};
      const bool ds64Place = list.size() == 1 && !Is(list[0], "RIFF");
      if (Is(e, "ds64") != ds64Place || (ds64Place && n < kDs64Payload)) return {};
    }
    list.push_back(e);
  }
  if (fmt != 1 || data != 1) return {};
  return list;
}

// Whether a stored fmt chunk describes the stream: integer PCM (plain or extensible)
// with its channels, rate and block align, so its container depth (block align over
// channels, as the encoding side reads it), holding at most that many bits.
bool FmtAgrees(const std::string& chunk, const FLACDecoder& d) {
  Audio::WAVFormat f;
  return Audio::ParseFormat(chunk, f) && f.integerPCM && f.channels == static_cast<unsigned>(d.ChannelCount()) &&
         f.sampleRate == static_cast<unsigned>(d.FrameRate()) &&
         f.blockAlign == static_cast<unsigned>(BytesPerSample(d)) && f.bitsPerSample > 0 &&
         f.bitsPerSample <= static_cast<unsigned>(Audio::ContainerBits(d.SampleSize()));
}

std::string Ds64Chunk() {
  std::string chunk = "ds64" + std::string(4 + kDs64Payload, '\0');
  WriteLE32(chunk.data() + 4, kDs64Payload);
  return chunk;
}

long long Bytes(const std::vector<std::string>& list) {
  long long n = 0;
  for (const std::string& e : list) n += static_cast<long long>(e.size());
  return n;
}

size_t IndexOf(const std::vector<std::string>& list, const char (&id)[5]) {
  return static_cast<size_t>(std::find_if(list.begin(), list.end(), [&](const std::string& e) { return Is(e, id); }) -
                             list.begin());
}

// Writes all of bytes at fd's position; throws "could not write" when that fails.
void WriteBytes(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("could not write");
    done += static_cast<size_t>(n);
  }
}

}  // namespace

int BytesPerSample(const FLACDecoder& d) {
  return Audio::ContainerBits(d.SampleSize()) * d.ChannelCount() / 8;
}

long long DataSize(const FLACDecoder& d) { return static_cast<long long>(BytesPerSample(d)) * d.FrameCount(); }

bool SaneChunks(const FLACDecoder& d) { return !StoredLayout(d).empty(); }

ImagePlan PlanImage(const FLACDecoder& d) {
  ImagePlan plan;
  const long long dataSize = plan.dataSize = DataSize(d);
  const std::string fmt = Audio::BuildFMTChunk(d.ChannelCount(), static_cast<int>(d.FrameRate()), d.SampleSize());
  std::vector<std::string> list = StoredLayout(d);
  const bool stored = !list.empty();
  if (stored) {
    for (std::string& e : list) {
      if (Is(e, "fmt ") && !FmtAgrees(e, d)) e = fmt;
    }
  } else {
    list = {std::string("RIFF\0\0\0\0WAVE", 12), fmt, std::string("data\0\0\0\0", 8)};
  }
  if (Audio::TagsEnabled() && IndexOf(list, "LIST") == list.size()) {
    const std::string info = Audio::BuildInfoList(d.Comments());
    if (!info.empty()) list.insert(list.begin() + static_cast<long>(IndexOf(list, "data")), info);
  }

  bool rf64 = !Is(list[0], "RIFF");
  size_t data = IndexOf(list, "data");
  const bool last = data + 1 == list.size();
  const unsigned long long storedData = rf64 ? ReadLE64(list[1].data() + 16) : Size32(list[data]);
  const unsigned long long storedRiff = rf64 ? ReadLE64(list[1].data() + 8) : Size32(list[0]);
  // A header whose writer never came back to fill in the sizes (the data ran to the end
  // of the file when it was encoded) is repeated as it was: the data runs to the end of
  // the image too, so a reader finds the same audio the same way.
  const bool streamed = stored && last && storedData != static_cast<unsigned long long>(dataSize);
  long long pad = dataSize & 1;
  // Odd data at the end of a file whose RIFF size counts no pad byte had none.
  const unsigned long long unpadded = static_cast<unsigned long long>(Bytes(list) - 8 + dataSize);
  if (streamed || (pad && stored && last && storedRiff == unpadded)) pad = 0;
  // Up to 7 zero bytes behind the last chunk that the stored RIFF size counts were there.
  const unsigned long long counted = unpadded + static_cast<unsigned long long>(pad);
  const long long trailing = stored && !streamed && storedRiff > counted && storedRiff <= counted + 7
                                 ? static_cast<long long>(storedRiff - counted)
                                 : 0;

  long long riffSize = static_cast<long long>(counted) + trailing;
  if (!rf64 && !streamed && static_cast<unsigned long long>(riffSize) > kMax32) {
    // Too large for RIFF (only the plain layout can be: a stored RIFF header with this
    // much audio holds a size that is not the audio's): RF64, its ds64 chunk first.
    rf64 = true;
    list[0].replace(0, 4, "RF64");
    list.insert(list.begin() + 1, Ds64Chunk());
    ++data;
    riffSize += static_cast<long long>(list[1].size());
  }
  if (!streamed && rf64) {
    WriteLE32(list[0].data() + 4, static_cast<unsigned>(kMax32));
    WriteLE32(list[data].data() + 4, static_cast<unsigned>(kMax32));
    std::string& ds64 = list[1];
    // The sample count stays as written while the stored sizes are this audio's.
    const bool same = ReadLE64(ds64.data() + 16) == static_cast<unsigned long long>(dataSize);
    WriteLE64(ds64.data() + 8, static_cast<unsigned long long>(riffSize));
    WriteLE64(ds64.data() + 16, static_cast<unsigned long long>(dataSize));
    if (!same) WriteLE64(ds64.data() + 24, static_cast<unsigned long long>(d.FrameCount()));
  } else if (!streamed) {
    WriteLE32(list[0].data() + 4, static_cast<unsigned>(riffSize));
    WriteLE32(list[data].data() + 4, static_cast<unsigned>(dataSize));
  }

  for (size_t i = 0; i <= data; ++i) plan.head += list[i];
  plan.tail.assign(static_cast<size_t>(pad), '\0');
  for (size_t i = data + 1; i < list.size(); ++i) plan.tail += list[i];
  plan.tail.append(static_cast<size_t>(trailing), '\0');
  return plan;
}

long long BuildWAV(int fd, FLACDecoder& d, long long* dataOffset) {
  const ImagePlan plan = PlanImage(d);
  if (fd < 0) return plan.Size();
  const off_t start = lseek(fd, 0, SEEK_CUR);
  if (start < 0) throw std::runtime_error("could not write");
  WriteBytes(fd, plan.head);
  if (dataOffset) *dataOffset = start + plan.DataOffset();
  // The sample data is left as a hole; the transcoder fills it as it decodes.
  if (lseek(fd, static_cast<off_t>(plan.dataSize), SEEK_CUR) < 0) throw std::runtime_error("could not write");
  WriteBytes(fd, plan.tail);
  // Seeking alone does not lengthen the file: make sure it reaches the image's end, also
  // when nothing follows the sample data.
  const off_t end = start + static_cast<off_t>(plan.Size());
  struct stat st;
  if (fstat(fd, &st) != 0 || (st.st_size < end && ftruncate(fd, end) != 0)) throw std::runtime_error("could not write");
  return plan.Size();
}

long long TranscodedSize(const std::string& path) {
  try {
    FLACDecoder decoder(path);
    return PlanImage(decoder).Size();
  } catch (...) {
    return 0;
  }
}

}  // namespace Vantor
