// Reads the audio of a WAV file for encoding: its chunk list (from the chunk walk,
// WAVFile.h) and its samples as interleaved 32-bit integers, exactly as stored. Integer
// PCM only, plain or extensible, in containers of 1 to 4 bytes; the FLAC stream takes
// the container's depth (a 20-bit sample in 3 bytes is stored as the 24-bit value it is
// in the file), so that every bit comes back.
//
// One reader is used by one thread. Failures are std::runtime_error; a file refused
// here stays a WAV file, the message saying why.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/WAVFile.h"

namespace Vantor::Audio {

class AudioFileReader {
 public:
  // Walks the WAV file open on fd (read with pread; the caller keeps fd, which must stay
  // open while the reader is used). Throws the walk's messages, and "no fmt chunk",
  // "no audio data" (no data chunk, or no whole frame in it), "more than one data
  // chunk", "fmt chunk after data", "unsupported sample format: floating point",
  // "unsupported sample format: tag N" (N in hexadecimal), "unsupported sample format:
  // block align", "unsupported sample format: N channels", "unsupported sample format:
  // N Hz" (more than FLAC can state).
  explicit AudioFileReader(int fd);
  AudioFileReader(const AudioFileReader&) = delete;
  AudioFileReader& operator=(const AudioFileReader&) = delete;

  const std::vector<std::string>& Chunks() const { return layout_.chunks; }
  int Channels() const { return static_cast<int>(format_.channels); }
  unsigned SampleRate() const { return format_.sampleRate; }
  // The depth the samples are delivered in: the container's, 8, 16, 24 or 32.
  int BitsPerSample() const { return containerBytes_ * 8; }
  long long FrameCount() const { return frames_; }

  // The next frames, up to frames of them, into out (frames * Channels() values); fewer
  // only at the end of the audio. Throws "could not read".
  int Read(int32_t* out, int frames);
  // The next Read starts at frame (clamped to the audio).
  void Seek(long long frame);
  // Where the audio begins in the file, and the bytes of one frame there.
  long long DataOffset() const { return layout_.dataOffset; }
  int BlockAlign() const { return static_cast<int>(format_.blockAlign); }

 private:
  int fd_;
  WAVLayout layout_;
  WAVFormat format_;
  int containerBytes_ = 0;
  long long frames_ = 0;
  long long next_ = 0;  // the next frame to read
  std::string bytes_;   // one piece of the file, reused
};

}  // namespace Vantor::Audio
