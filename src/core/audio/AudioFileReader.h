// Reads the audio of a sound file as interleaved 32-bit float frames, over libsndfile
// (which stays inside AudioFileReader.cpp). Integer samples arrive as value / 2^(d-1)
// (8-bit WAV as byte - 128), exactly, so that the FLAC encoder restores them.
//
// Calling order: Open, GetFileDataFormat, (GetClientDataFormat), GetNumberFrames,
// SetClientFormat, GetClientDataFormat, GetNumberFrames, Read..., Close/destroy.
// Every failure throws AudioFileError with a fixed text and libsndfile's error number.
// One reader is used by one thread.
#pragma once

#include <stdexcept>
#include <string>

namespace Vantor::Audio {

class AudioFileError : public std::runtime_error {
 public:
  AudioFileError(const std::string& text, int code) : std::runtime_error(text), code_(code) {}
  int Code() const { return code_; }

 private:
  int code_;
};

// Stream format record. formatFlags: bit 0 float, bit 3 packed (interleaved, native
// byte order). bitsPerChannel is 0 for a compressed encoding.
struct StreamFormat {
  double sampleRate = 0.0;
  unsigned int formatID = 0;  // FourCCValue("lpcm") for linear PCM
  unsigned int formatFlags = 0;
  unsigned int bytesPerPacket = 0;
  unsigned int framesPerPacket = 0;
  unsigned int bytesPerFrame = 0;
  unsigned int channelsPerFrame = 0;
  unsigned int bitsPerChannel = 0;
  unsigned int reserved = 0;
};

constexpr unsigned int kFormatFlagIsFloat = 1;
constexpr unsigned int kFormatFlagIsPacked = 8;

class AudioFileReader {
 public:
  AudioFileReader() = default;
  virtual ~AudioFileReader();
  AudioFileReader(const AudioFileReader&) = delete;
  AudioFileReader& operator=(const AudioFileReader&) = delete;

  void Open(const std::string& path);                  // "ExtAudioFileOpen failed"
  const StreamFormat& GetFileDataFormat();             // "Couldn't get file's data format"
  const StreamFormat& GetClientDataFormat();           // "Couldn't get client data format"
  void SetClientFormat(const StreamFormat& format);    // "Couldn't set client format"
  long long GetNumberFrames();                         // "Couldn't get file's length"
  // frames in: wanted; out: delivered (fewer at the end). out holds frames * channels.
  void Read(unsigned long& frames, float* out);        // "Couldn't read audio file"
  void Close();                                        // "ExtAudioFileClose failed"
  bool IsOpen() const { return file_ != nullptr; }

 private:
  void* file_ = nullptr;  // SNDFILE*
  int fileFormat_ = 0;    // libsndfile's SF_FORMAT_* of the open file
  int channels_ = 0;
  int sampleRate_ = 0;
  long long frames_ = 0;
  bool clientSet_ = false;
  StreamFormat fileDataFormat_;
  StreamFormat clientDataFormat_;
};

}  // namespace Vantor::Audio
