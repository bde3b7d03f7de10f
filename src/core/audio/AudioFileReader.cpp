// The WAV reader of the encoding side, built on the chunk walk.
#include "audio/AudioFileReader.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "audio/FileIO.h"
#include "audio/PCM.h"

namespace Vantor::Audio {

namespace {

// FLAC carries at most 8 channels, and rates that fit STREAMINFO's 20 bits.
constexpr unsigned kMaxChannels = 8;
constexpr unsigned kMaxSampleRate = (1u << 20) - 1;

bool Is(const std::string& chunk, const char (&id)[5]) { return chunk.compare(0, 4, id, 4) == 0; }

}  // namespace

AudioFileReader::AudioFileReader(int fd) : fd_(fd), layout_(WalkWAV(fd)) {
  const std::string* fmt = nullptr;
  bool dataSeen = false;
  for (size_t i = 1; i < layout_.chunks.size(); ++i) {
    const std::string& chunk = layout_.chunks[i];
    if (Is(chunk, "data")) dataSeen = true;
    if (!Is(chunk, "fmt ")) continue;
    // The image lays the chunks out again around the audio with fmt in front of it.
    if (dataSeen) throw std::runtime_error("fmt chunk after data");
    if (!fmt) fmt = &chunk;
  }
  if (!fmt || !ParseFormat(*fmt, format_)) throw std::runtime_error("no fmt chunk");
  if (layout_.dataChunks == 0) throw std::runtime_error("no audio data");
  if (layout_.dataChunks > 1) throw std::runtime_error("more than one data chunk");
  if (format_.floatingPoint) throw std::runtime_error("unsupported sample format: floating point");
  if (!format_.integerPCM) {
    char tag[8];
    std::snprintf(tag, sizeof tag, "%04X", format_.formatTag);
    throw std::runtime_error(std::string("unsupported sample format: tag ") + tag);
  }
  if (format_.channels == 0 || format_.channels > kMaxChannels)
    throw std::runtime_error("unsupported sample format: " + std::to_string(format_.channels) + " channels");
  containerBytes_ = static_cast<int>(format_.blockAlign / format_.channels);
  if (format_.blockAlign % format_.channels != 0 || containerBytes_ < 1 || containerBytes_ > 4 ||
      format_.bitsPerSample == 0 || format_.bitsPerSample > 8u * static_cast<unsigned>(containerBytes_)) {
    throw std::runtime_error("unsupported sample format: block align");
  }
  // A partial frame at the end (a cut file) has no place in a FLAC stream: the file stays
  // a WAV file, byte for byte, rather than lose it.
  if (layout_.dataSize % format_.blockAlign != 0) throw std::runtime_error("partial frame at the end of the audio");
  frames_ = layout_.dataSize / format_.blockAlign;
  if (frames_ == 0 || format_.sampleRate == 0) throw std::runtime_error("no audio data");
  if (format_.sampleRate > kMaxSampleRate)
    throw std::runtime_error("unsupported sample format: " + std::to_string(format_.sampleRate) + " Hz");
}

void AudioFileReader::Seek(long long frame) { next_ = std::clamp(frame, 0LL, frames_); }

int AudioFileReader::Read(int32_t* out, int frames) {
  const long long n = std::clamp<long long>(frames_ - next_, 0, std::max(frames, 0));
  const size_t samples = static_cast<size_t>(n) * format_.channels;
  const long long at = layout_.dataOffset + next_ * format_.blockAlign;
  bytes_.resize(samples * static_cast<size_t>(containerBytes_));
  ReadAt(fd_, at, bytes_.data(), bytes_.size());
  UnpackPCM(bytes_.data(), samples, containerBytes_, out);
  next_ += n;
  return static_cast<int>(n);
}

}  // namespace Vantor::Audio
