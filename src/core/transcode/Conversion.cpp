// WAV to FLAC conversion: the audio file reader gives the chunk list and the frames as
// integers, and the FLAC encoder writes them.
#include "transcode/Conversion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include "audio/AudioFileReader.h"
#include "audio/FLACEncode.h"
#include "audio/FileIO.h"
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

}  // namespace

void EncodeWAV(int wavFd, int flacFd, const std::string& name) {
  EncodingCount count(name);
  UniqueFd fd = Reopen(wavFd, O_RDONLY);
  if (!fd) throw std::runtime_error("could not read");
  Audio::AudioFileReader reader(fd.Get());
  const int bits = reader.BitsPerSample();
  const unsigned long channels = static_cast<unsigned long>(reader.Channels());
  const double sampleRate = reader.SampleRate();
  const long long frames = reader.FrameCount();
  const std::vector<std::string>& chunks = reader.Chunks();

  if (ftruncate(flacFd, 0) != 0) throw std::runtime_error("could not write");
  {
    Audio::FLACEncoder encoder(flacFd, flacCompression.load(), bits, static_cast<int>(channels), sampleRate,
                               frames, chunks);
    std::vector<int32_t> buffer(kBlockFrames * channels);
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
      if (reader.Read(buffer.data(), static_cast<int>(n)) != static_cast<int>(n)) throw std::runtime_error("ToFLAC read");
      encoder.Encode(buffer.data(), static_cast<int>(n));
    }
    encoder.Finish();
  }
}

bool IsCompleteWAV(int fd) {
  try {
    UniqueFd own = Reopen(fd, O_RDONLY);
    struct stat st;
    if (!own || fstat(own.Get(), &st) != 0) return false;
    // The RIFF size of an RF64 file is in its ds64 chunk.
    const Audio::WAVLayout w = Audio::WalkWAV(own.Get());
    if (w.riffSize != static_cast<long long>(st.st_size) - 8) return false;
    bool fmt = false;
    for (const std::string& chunk : w.chunks) fmt = fmt || chunk.compare(0, 4, "fmt ") == 0;
    return fmt && w.dataOffset > 0 && w.dataOffset + w.dataSize <= static_cast<long long>(st.st_size);
  } catch (...) {
    return false;
  }
}

}  // namespace Vantor
