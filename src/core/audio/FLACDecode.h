// Opens one FLAC stream and offers its format, the foreign RIFF chunks it carries
// (APPLICATION blocks with id "riff"), its Vorbis comments, and its audio as interleaved
// 32-bit integer frames (each sample right-justified, as FLAC stores it) from any frame
// position.
//
// Every block goes to the place its frame header names, whatever order the stream is
// read in: a block the stream cannot deliver (damaged or missing) is silence in its own
// place, and nothing is delivered past the stream's last block (a file cut short). The
// length is STREAMINFO's, or, when STREAMINFO states none or one the file cannot
// physically hold, the end of the last frame in the file.
//
// The libFLAC++ decoder (MyFLACDecoder) lives in FLACDecode.cpp; nothing else includes
// FLAC++. Not thread-safe: one object is used by one thread at a time (its Transcoder
// serialises it).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "transcode/UniqueFd.h"

namespace Vantor {

class MyFLACDecoder;

class FLACDecoder {
 public:
  // Reads all metadata of the FLAC stream open on fd, which the decoder owns from now on
  // (the stream begins at the descriptor's current offset; the decoder reads with pread
  // and never moves it). Throws std::runtime_error: "error allocating FLAC decoder",
  // "set_metadata_respond returned false", "error initializing FLAC decoder" (also for
  // anything but a regular file), "error processing FLAC metadata", "FLAC metadata not
  // found", "no FLAC frame found" (the length had to be found and the file holds audio
  // bytes but no frame that decodes).
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
  int SampleSize() const;  // bits per sample as stored (20 for a 20-bit stream, up to 32)
  unsigned CountChunks() const;
  const std::string& Chunk(int i) const;  // i < CountChunks(), not validated
  // The Vorbis comments as (field name, value) pairs, in stream order.
  const std::vector<std::pair<std::string, std::string>>& Comments() const;

  // The frames from the current position on, up to frames of them and never past
  // FrameCount(), interleaved into out (frames * ChannelCount() values). Fewer than that
  // only past the stream's last block or when reading the file fails.
  int GetSamples(int32_t* out, int frames);
  // The next GetSamples starts at frame; free when frame is where the decoder stands.
  void Seek(long long frame);
  // Whether the frame headers of the file (damaged frames' too) follow one another in
  // order, each beginning at or after the end of the one before (not so for two streams
  // glued together, or copies of frames): the same bytes whatever the order of reading
  // are promised for such streams. Reads the whole file.
  bool FramesInOrder() const;
  // The frame the next GetSamples starts at.
  long long Position() const;

 private:
  std::unique_ptr<MyFLACDecoder> decoder_;
};

}  // namespace Vantor
