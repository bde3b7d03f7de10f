// The object behind one opening of a transcoded file (shown as name.wav, stored as
// name.flac). It keeps a private cache file holding the WAV image: the header and
// chunks at construction, sample frames decoded on demand, only frames never produced
// before. Written data goes into the cache file and is encoded back to FLAC when the
// opening is flushed or destroyed; when encoding fails the data is kept as a real WAV
// file under the shown name, so nothing written is lost.
//
// The export form decodes a whole FLAC file into a real WAV file at a given path.
//
// Thread-safe: Read, Write, Truncate and the queries may run on several threads at once;
// mutex_ serialises everything that uses the decoder, decoded_ or the file position.
// Flush must not race with Read/Write on the same opening (the host does not do that).
// The destructor runs only after every other call has returned.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "transcode/Mutex.h"
#include "transcode/RangeSet.h"

namespace Vantor {

class FLACDecoder;

class Transcoder {
 public:
  // Opens a transcoder on the stored FLAC path, which need not hold a decodable file
  // (a file being created is empty). Throws "Transcoder::Transcoder(), mkstemp" or
  // "could not write"; on failure nothing is left behind (no descriptor, no cache file).
  explicit Transcoder(const std::string& path);
  // Export: writes the complete WAV image of source into destination. Throws when the
  // source cannot be decoded (before destination is opened), "Transcoder::Transcoder(),
  // open", "could not decode", "could not write"; on failure after destination was
  // opened, destination is removed.
  Transcoder(const std::string& source, const std::string& destination);
  ~Transcoder();
  Transcoder(const Transcoder&) = delete;
  Transcoder& operator=(const Transcoder&) = delete;

  long long GetSize() const;
  // Reads size bytes at offset of the image; count read, or -1 with errno set.
  long long Read(void* buffer, unsigned long size, long long offset);
  // Makes the frames under [offset, offset + size) present in the cache file.
  // Throws "could not decode" / "could not write".
  void ValidateRange(unsigned long size, long long offset);

  bool CanWrite() const;
  // Writes size bytes at offset; count written, -1 with errno set, or 0 when the
  // transcoder does not accept writes.
  long long Write(const void* buffer, unsigned long size, long long offset);

  // Linux close() semantics: when written since the last conversion, encodes the cache
  // file to the stored FLAC path now (or falls back to the real WAV file) so that the
  // result is in place when close() returns. The opening stays usable; a later write
  // leads to another conversion. Never throws.
  void Flush();
  // Cuts the opening's content to length bytes (0 resets it to an empty new file).
  // Frames are produced first so that nothing below length is lost. Returns 0 or -errno.
  int Truncate(long long length);

  const std::string& Path() const { return path_; }
  // True when written since construction or the last conversion.
  bool IsModified() const;
  // Current size of what a reader of this opening sees: the image size, or the cache
  // file's size once it was written to.
  long long CurrentSize() const;
  // For tests: whether a decoder is still held, and how many frames were decoded.
  bool HasDecoder() const;
  long long FramesDecoded() const;

 private:
  // How a production of frames ended.
  enum class Produced { kAll, kUndecodable, kUnwritable };

  // With mutex_ held and a decoder: the frames under [offset, offset + size), clamped
  // to the stream; false when there are none.
  bool FramesUnder(unsigned long size, long long offset, long long& start, long long& end) const;
  // With mutex_ held and a decoder: decodes the frames of [start, end) never produced.
  Produced ProduceLocked(long long start, long long end);
  // Produces every frame still missing; kUnwritable when stored audio could not be
  // put into the cache file.
  Produced ProduceAll();
  // Throws "could not decode" / "could not write" for an incomplete production.
  static void ThrowUnlessAll(Produced produced);
  // Encodes the cache file over path_; false when that failed. Never throws.
  bool Convert();
  // Keeps the cache file as the real WAV file under the shown name (and removes the
  // stored FLAC file when removeFLAC). Never throws.
  void KeepAsWAV(bool removeFLAC);

  std::unique_ptr<FLACDecoder> decoder_;
  bool canWrite_ = true;
  int fd_ = -1;
  long long size_ = 0;
  long long dataOffset_ = 0;
  EnsembleT<long long> decoded_;
  std::atomic<bool> modified_ = false;
  std::string path_;
  std::string cachePath_;
  mutable Mutex mutex_;
  // Set when a failed conversion kept the data as a real WAV file: the cache file is
  // that file now and must not be removed.
  bool keptAsWAV_ = false;
  std::atomic<long long> framesDecoded_ = 0;
};

}  // namespace Vantor
