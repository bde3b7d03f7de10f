// Opens one FLAC file and offers its stream format, the foreign RIFF chunks it carries
// (APPLICATION blocks with id "riff"), and its audio as interleaved float frames
// (integer sample / 2^(bits-1)) from any frame position.
//
// The libFLAC++ decoder (MyFLACDecoder) lives in FLACDecode.cpp; nothing else includes
// FLAC++. Not thread-safe: one object is used by one thread at a time (its Transcoder
// serialises it).
#pragma once

#include <memory>
#include <string>

#include "transcode/UniqueFd.h"

namespace Vantor {

class MyFLACDecoder;

class FLACDecoder {
 public:
  // Reads all metadata of the FLAC stream open on fd, which the decoder owns from now on
  // (it reads from the descriptor's current offset on). Throws std::runtime_error:
  // "error allocating FLAC decoder", "set_metadata_respond returned false",
  // "error initializing FLAC decoder", "error processing FLAC metadata",
  // "FLAC metadata not found" (also for streams deeper than 24 bits, which the float
  // path cannot carry exactly).
  explicit FLACDecoder(UniqueFd fd);
  // Opens path (read-only, following links) and reads as above; "error initializing
  // FLAC decoder" when it cannot be opened or is not a regular file.
  explicit FLACDecoder(const std::string& path);
  ~FLACDecoder();
  FLACDecoder(const FLACDecoder&) = delete;
  FLACDecoder& operator=(const FLACDecoder&) = delete;

  int ChannelCount() const;
  double FrameRate() const;
  long long FrameCount() const;
  int SampleSize() const;  // bits per sample as stored (20 for a 20-bit stream)
  unsigned CountChunks() const;
  const std::string& Chunk(int i) const;  // i < CountChunks(), not validated

  // Up to frames sample frames, interleaved, into out (frames * ChannelCount() floats).
  // Fewer only at the end of the stream or on a decoding error.
  int GetSamples(float* out, int frames);
  // The next GetSamples starts at frame; free when frame is where the decoder stands.
  // When the seek fails (past the end, damaged stream) GetSamples delivers nothing until
  // a later Seek succeeds.
  void Seek(long long frame);

 private:
  long long position_ = 0;
  std::unique_ptr<MyFLACDecoder> decoder_;
};

}  // namespace Vantor
