// The content of one open transcoded file (shown as name.wav, stored as name.flac),
// shared by all its openings: an unnamed cache file holding the WAV image (the header
// and chunks at once, sample frames decoded on demand, each frame only once) or, once
// written to, the data written. It knows nothing of names: where the content ends up
// (encoded, kept as a WAV file, discarded) is decided by whoever holds it.
//
// Thread-safe: Read, Write and the queries may run on several threads at once; mutex_
// serialises everything that uses the decoder or the record of frames produced.
// Truncate, ProduceAll and using the cache for a conversion must not overlap Read or
// Write: the owner excludes them (the volume's gate per open file).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "transcode/Commit.h"
#include "transcode/Mutex.h"
#include "transcode/RangeSet.h"
#include "transcode/UniqueFd.h"

namespace Vantor {

class FLACDecoder;

class Transcoder {
 public:
  // The content of the stored file open on source (owned; read-only is enough), or of a
  // new, empty file when source is invalid. A stored file of 0 bytes is empty content
  // too. The cache is an unnamed file in cacheDir (the stored file's folder); where none
  // can be made there, in fallbackDir, and the content cannot be written.
  // Throws "could not decode" for a stored file that is neither empty nor a FLAC stream
  // that can be decoded, and std::system_error when no cache file can be made.
  Transcoder(UniqueFd source, int cacheDir, int fallbackDir = -1);
  ~Transcoder();
  Transcoder(const Transcoder&) = delete;
  Transcoder& operator=(const Transcoder&) = delete;

  // Bytes of the content now: the image size, or what was written since.
  long long Size() const;
  // size bytes at offset: the count read (0 at the end), or -errno (-EIO when the frames
  // under them cannot be decoded or put into the cache: never silence in their place).
  long long Read(void* buffer, unsigned long size, long long offset);
  // Count written, or -errno (-EACCES when the content cannot be written).
  long long Write(const void* buffer, unsigned long size, long long offset);
  // Cuts or extends the content to length bytes; frames below length are produced first
  // so that nothing below it is lost. 0 or -errno.
  int Truncate(long long length);
  // Puts every frame not yet produced into the cache, so that the cache file holds the
  // whole content. 0 or -errno.
  int ProduceAll();

  // Whether some bytes below Size() were never written since the content was emptied (a
  // writer that has not finished, or that skipped over them). Decoded bytes count as
  // written, and so do bytes a truncation added.
  bool HasHoles() const;

  bool CanWrite() const { return canWrite_; }
  // True when written (or truncated) since construction or the last SetModified(false).
  bool IsModified() const { return modified_; }
  void SetModified(bool modified) { modified_ = modified; }
  // The cache file; a conversion reads it, a fallback keeps it as the file itself.
  UnnamedFile& Cache() { return *cache_; }
  // The stored file's descriptor (invalid for a new file).
  int Source() const { return source_.Get(); }

  // For tests: whether a decoder is still held, and how many frames were decoded.
  bool HasDecoder() const;
  long long FramesDecoded() const { return framesDecoded_; }

 private:
  // How a production of frames ended.
  enum class Produced { kAll, kUndecodable, kUnwritable };

  // With mutex_ held and a decoder: the frames under [offset, offset + size), clamped to
  // the stream; false when there are none.
  bool FramesUnder(unsigned long size, long long offset, long long& start, long long& end) const;
  // With mutex_ held and a decoder: decodes the frames of [start, end) never produced.
  Produced ProduceLocked(long long start, long long end);
  // A fresh decoder on the stored file, or null when there is none to be had.
  std::unique_ptr<FLACDecoder> OpenDecoder() const;

  UniqueFd source_;
  std::unique_ptr<UnnamedFile> cache_;
  int fd_ = -1;  // cache_'s descriptor
  bool canWrite_ = true;
  std::atomic<bool> modified_ = false;
  std::atomic<long long> framesDecoded_ = 0;

  mutable Mutex mutex_;  // guards the members below; taken alone
  EnsembleT<long long> filled_;  // bytes of the content that hold what they should
  std::unique_ptr<FLACDecoder> decoder_;
  long long dataOffset_ = 0;
  long long frames_ = 0;
  int channels_ = 0;
  int sampleSize_ = 0;
  EnsembleT<long long> decoded_;
};

}  // namespace Vantor
