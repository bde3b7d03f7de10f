// Writes one FLAC file from interleaved 32-bit integer frames (each sample right-justified
// at the stream's depth, 4 to 32 bits), storing a WAV file's chunk list as APPLICATION
// blocks with id "riff", one per element, in order, and, while the tags option is on
// (InfoTags.h), the tags of its LIST/INFO chunk as Vorbis comments. Also holds the
// encoding side's process-wide settings: the compression level and the count of
// conversions in progress.
//
// libFLAC++ stays inside FLACEncode.cpp. One encoder is used by one thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transcode/Mutex.h"

namespace Vantor::Audio {

class FLACEncoder {
 public:
  // Writes the FLAC stream into the file open (for reading and writing) on fd, from its
  // start; the caller keeps fd, which the encoder writes through a duplicate of its own.
  // Writes the FLAC header and metadata now. Throws "couldn't initialize flac encoder",
  // "couldn't setup flac encoder", "couldn't set flac metadata", "couldn't init flac
  // encoder".
  FLACEncoder(int fd, int compression, int bitsPerSample, int channels,
              double sampleRate, long long totalFrames, const std::vector<std::string>& chunks);
  // One part of a stream encoded in parts (EncodeWAV). Each frame, numbered as if the
  // part began at sample frame firstFrame of the whole stream (a multiple of
  // BlockSize(compression)), goes to sink whole, with the count of sample frames it
  // holds; a sink that throws fails the Encode or Finish that called it. The first part
  // (head given) writes into *head, at construction, the metadata the single stream
  // would have for chunks, with a seek table of seekPoints placeholders; the caller
  // fills in STREAMINFO and the seek table once every part is done. Later parts write no
  // metadata. No part computes the signature of the audio: the caller does, once.
  using FrameSink = std::function<void(const unsigned char* frame, std::size_t bytes, unsigned frames)>;
  FLACEncoder(FrameSink sink, long long firstFrame, int compression, int bitsPerSample, int channels,
              double sampleRate, const std::vector<std::string>& chunks, unsigned seekPoints, std::string* head);
  ~FLACEncoder();
  FLACEncoder(const FLACEncoder&) = delete;
  FLACEncoder& operator=(const FLACEncoder&) = delete;

  // frames * channels interleaved values. Throws "failed encoding flac".
  void Encode(const int32_t* samples, int frames);
  // Throws "failed finishing flac export".
  void Finish();

  // The sample frames of every frame but the last at the compression level.
  static int BlockSize(int compression);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace Vantor::Audio

// The level (0..8) for every new conversion; read without a lock by conversions.
extern std::atomic<int> flacCompression;
// Conversions in progress; changed with encodingMutex_ held, read without it.
extern std::atomic<int> encoding;
extern Vantor::Mutex encodingMutex_;

void SetCompression(int level);
bool IsEncoding();
