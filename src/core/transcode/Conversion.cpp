// WAV to FLAC conversion: the chunk walk gives the chunk list, the audio file reader the
// frames as floats, and the FLAC encoder writes them.
#include "transcode/Conversion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include "audio/AudioFileReader.h"
#include "audio/FLACEncode.h"
#include "audio/FileIO.h"
#include "audio/FourCC.h"
#include "audio/WAVFile.h"
#include "transcode/Events.h"
#include "transcode/Mutex.h"
#include "transcode/UniqueFd.h"

namespace Vantor {

namespace {

constexpr unsigned long kBlockFrames = 4096;

// Lowers the encoding counter when a conversion ends, whatever the outcome.
class EncodingCount {
 public:
  explicit EncodingCount(std::string name) : name_(std::move(name)) {
    Lock lock(encodingMutex_);
    ++encoding;
  }
  ~EncodingCount() {
    ConversionEvent ended;
    ended.kind = ConversionEvent::Kind::kEnded;
    ended.name = name_;
    ReportConversion(ended);
    try {
      Lock lock(encodingMutex_);
      --encoding;
    } catch (const std::exception&) {
      // The mutex is not held by this thread and is intact; nothing can be done here.
    }
  }
  EncodingCount(const EncodingCount&) = delete;
  EncodingCount& operator=(const EncodingCount&) = delete;

 private:
  std::string name_;
};

// The descriptor's own name, by which libsndfile opens it with an offset of its own.
std::string SelfPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

void EncodeWAV(int wavFd, int flacFd, const std::string& name) {
  EncodingCount count(name);
  std::vector<std::string> chunks;
  {
    UniqueFd fd = Reopen(wavFd, O_RDONLY);
    if (!fd) throw std::runtime_error("could not read");
    unsigned long dataOffset = 0;
    unsigned long dataSize = 0;
    chunks = Audio::ParseWAVFile(fd.Get(), dataOffset, dataSize);
    // A data chunk that promises more audio than the file holds: the reader would
    // deliver only what is there, and the stored chunk would no longer match.
    struct stat st;
    if (fstat(fd.Get(), &st) != 0) throw std::runtime_error("could not read");
    if (dataOffset + dataSize > static_cast<unsigned long long>(st.st_size)) throw std::runtime_error("ToFLAC read");
  }

  Audio::AudioFileReader reader;
  reader.Open(SelfPath(wavFd));
  Audio::StreamFormat format = reader.GetFileDataFormat();
  if (format.channelsPerFrame == 0) format = reader.GetClientDataFormat();

  int bits = static_cast<int>(format.bitsPerChannel);
  if (bits == 0) bits = 16;  // a compressed encoding decodes to 16 bits
  else if (bits == 20) bits = 24;

  if (format.channelsPerFrame == 0 || format.sampleRate == 0.0 || reader.GetNumberFrames() == 0)
    throw std::runtime_error("no audio data");
  // The float frames carry integers of up to 24 bits exactly; anything else would be
  // stored with lost precision or wrapped, so it is refused and stays a WAV file.
  if (format.formatFlags & Audio::kFormatFlagIsFloat)
    throw std::runtime_error("unsupported sample format: floating point");
  if (bits > 24) throw std::runtime_error("unsupported sample format: more than 24 bits");

  Audio::StreamFormat client = format;
  client.formatID = FourCCValue("lpcm");
  client.formatFlags = Audio::kFormatFlagIsFloat | Audio::kFormatFlagIsPacked;
  client.bitsPerChannel = 32;
  client.framesPerPacket = 1;
  client.bytesPerFrame = 4 * client.channelsPerFrame;
  client.bytesPerPacket = client.bytesPerFrame;
  reader.SetClientFormat(client);

  const Audio::StreamFormat& delivered = reader.GetClientDataFormat();
  const double sampleRate = delivered.sampleRate;
  const unsigned long channels = delivered.channelsPerFrame;
  const long long frames = reader.GetNumberFrames();

  if (ftruncate(flacFd, 0) != 0) throw std::runtime_error("could not write");
  {
    Audio::FLACEncoder encoder(flacFd, flacCompression.load(), bits, static_cast<int>(channels), sampleRate,
                               frames, chunks);
    std::vector<float> buffer(kBlockFrames * channels);
    long long remaining = frames;
    ConversionEvent progress;
    progress.name = name;
    int reported = -1;  // in percent, so that a long file reports at most 101 times
    while (remaining != 0) {
      const int percent = static_cast<int>(100 * (frames - remaining) / frames);
      if (percent != reported) {
        reported = percent;
        progress.fraction = percent / 100.0;
        ReportConversion(progress);
      }
      unsigned long n = remaining < static_cast<long long>(kBlockFrames) ? static_cast<unsigned long>(remaining)
                                                                          : kBlockFrames;
      remaining -= static_cast<long long>(n);
      unsigned long got = n;
      reader.Read(got, buffer.data());
      if (got != n) throw std::runtime_error("ToFLAC read");
      encoder.Encode(buffer.data(), static_cast<int>(n));
    }
    encoder.Finish();
  }
}

bool IsCompleteWAV(int fd) {
  try {
    UniqueFd own = Reopen(fd, O_RDONLY);
    struct stat st;
    if (!own || fstat(own.Get(), &st) != 0 || st.st_size < 12) return false;
    char header[8];
    if (pread(own.Get(), header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) return false;
    const char* p = header + 4;
    if (ReadLE32(p) != static_cast<unsigned long long>(st.st_size) - 8) return false;
    unsigned long dataOffset = 0, dataSize = 0;
    const std::vector<std::string> chunks = Audio::ParseWAVFile(own.Get(), dataOffset, dataSize);
    bool fmt = false;
    for (const std::string& chunk : chunks) fmt = fmt || chunk.compare(0, 4, "fmt ") == 0;
    return fmt && dataOffset > 0 && dataOffset + dataSize <= static_cast<unsigned long long>(st.st_size);
  } catch (...) {
    return false;
  }
}

}  // namespace Vantor
