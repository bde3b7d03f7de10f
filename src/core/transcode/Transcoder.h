// The content of one open transcoded file (shown as name.wav, stored as name.flac),
// shared by all its openings: an unnamed cache file holding the WAV image (the header
// and chunks at once, sample frames decoded on demand, each frame only once) or, once
// written to, the data written. It knows nothing of names: where the content ends up
// (encoded, kept as a WAV file, discarded) is decided by whoever holds it.
//
// Decoding: a read decodes the frames under it that are not in the cache, with a decoder
// of its own while other threads decode elsewhere (each range being decoded is claimed,
// so that no frame is decoded twice at once). While the content is read sequentially, a
// thread of the content's own decodes ahead of the reader, every other unit of frames,
// so that reader and helper share the work; it stops when the reader stops, when the
// content is written and when the content is destroyed.
//
// The cache holds decoded frames within the process-wide budget (CacheBudget), counted in
// the file system blocks they take: units not
// read recently are given back (holes punched) and decoded again when read. A content
// that was written, truncated or produced whole (ProduceAll) leaves the budget: its
// cache is data, never given back.
//
// Thread-safe: Read, Write and the queries may run on several threads at once; mutex_
// guards the records of frames and decoders, never a decoding. Truncate, ProduceAll and
// using the cache for a conversion must not overlap Read or Write: the owner excludes
// them (the volume's gate per open file).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

  // For tests: whether a decoder is still held, how many frames were decoded (by any
  // thread), and whether the thread decoding ahead is running.
  bool HasDecoder() const;
  long long FramesDecoded() const { return framesDecoded_; }
  bool DecodingAhead() const;

  // For the cache budget (CacheBudget), which holds its own mutex_ when it calls these:
  // the unit used longest ago that may be given back, and its last use; false when there
  // is none. EvictUnit gives the unit's frames back to the file system.
  bool OldestUnit(std::uint64_t& stamp, long long& unit) const;
  void EvictUnit(long long unit);

 private:
  // How a production of frames ended.
  enum class Produced { kAll, kUndecodable, kUnwritable };
  struct Piece;

  // With mutex_ held: the frames under [offset, offset + size), clamped to the stream;
  // false when there are none.
  bool FramesUnder(unsigned long size, long long offset, long long& start, long long& end) const;
  // With mutex_ held: makes every frame of [start, end) present in the cache, decoding
  // what is not and waiting for what other threads are decoding. Lets go of mutex_
  // while it decodes; on kAll every frame is present with mutex_ held.
  Produced ProduceLocked(long long start, long long end);
  // With mutex_ held and [s, e) claimed by the caller: decodes it, records what was
  // decoded, and ends the claim.
  Produced DecodeRunLocked(long long s, long long e);
  // Decodes n frames from frame at into the cache: the count decoded, -1 when the cache
  // could not take them. Without mutex_: touches no guarded member.
  int DecodePiece(FLACDecoder& decoder, long long at, int n, Piece& piece) const;
  // A fresh decoder on the stored file, or null when there is none to be had.
  std::unique_ptr<FLACDecoder> OpenDecoder(int channels, int sampleSize, long long frames) const;
  // With mutex_ held: an idle decoder, preferably one standing at frame; null for none.
  std::unique_ptr<FLACDecoder> TakeDecoderLocked(long long frame);
  void ReturnDecoderLocked(std::unique_ptr<FLACDecoder> decoder, bool usable);
  bool AllDecodedLocked() const;
  // With mutex_ held: records [a, b) as decoded; reserved: bytes reserved in the budget
  // for it, given back as it is counted.
  void MarkDecodedLocked(long long a, long long b, long long reserved);
  // With mutex_ held: file system blocks that the decoded frames of unit u take (a block
  // shared with a neighbour counts for both), and the count of the units under [a, b)
  // brought up to date in held_ and the budget (with the bytes reserved for them given
  // back in the same step).
  long long BlocksOfLocked(long long u) const;
  void RecountLocked(long long a, long long b, long long reserved = 0);
  // With mutex_ held: stamps the units under [a, b) as used now.
  void TouchLocked(long long a, long long b);
  // With mutex_ held: the content leaves the budget for good.
  void ExemptLocked();
  // With mutex_ held: the frames that giving back unit u would take, and its bytes in
  // the cache (whole blocks of the file system); false when there are none.
  bool UnitSpanLocked(long long u, long long& fa, long long& fb, long long& p0, long long& p1) const;
  // With mutex_ held: whether a read or a decoding is at work on a frame of [a, b).
  bool BusyLocked(long long a, long long b) const;

  // Decoding ahead. With mutex_ held: notes a read of frames up to `end` and starts the
  // helper when reading is sequential; the next piece for the helper.
  void NoteReadLocked(long long offset, unsigned long size, long long end);
  bool NextAheadLocked(long long& s, long long& e) const;
  void AheadLoop();
  // Stops decoding ahead for good and waits for the helper to end. Without mutex_.
  void StopAhead();

  UniqueFd source_;
  std::unique_ptr<UnnamedFile> cache_;
  int fd_ = -1;  // cache_'s descriptor
  bool canWrite_ = true;
  std::atomic<bool> modified_ = false;
  std::atomic<long long> framesDecoded_ = 0;
  // Set at construction, then constant.
  long long dataOffset_ = 0;
  int channels_ = 0;
  int sampleSize_ = 0;
  long long frameSize_ = 0;  // bytes of one sample frame in the image
  long long unitFrames_ = 0;  // frames of one unit (decoding ahead, giving back)
  long long block_ = 4096;    // the cache's file system block
  bool member_ = false;       // whether it joined the budget

  mutable Mutex mutex_;  // guards the members below; taken after CacheBudget's mutex_
  CondVar changed_;      // a decoding ended, the reader moved, or decoding ahead stops
  EnsembleT<long long> filled_;  // bytes of the content that hold what they should
  long long frames_ = 0;
  EnsembleT<long long> decoded_;  // frames in the cache
  EnsembleT<long long> claimed_;  // frames a thread is decoding now
  std::vector<RangeT<long long>> pins_;  // frames reads are copying out of the cache now
  std::vector<std::unique_ptr<FLACDecoder>> idle_;  // decoders not in use
  int decoders_ = 0;  // decoders in existence, idle or in use

  bool counted_ = false;  // whether the budget counts (and may give back) this cache
  long long held_ = 0;    // bytes counted: the blocks that decoded frames take
  std::vector<std::uint64_t> unitStamp_;  // last use of each unit; 0: nothing to give back
  std::vector<long long> unitBlocks_;     // blocks counted for each unit

  std::thread ahead_;  // the helper; joined by StopAhead or when started again
  bool aheadRunning_ = false;
  bool aheadStop_ = false;
  int aheadParity_ = 1;       // the helper decodes the units of this parity
  long long readEnd_ = -1;    // byte where the last read ended
  int sequential_ = 0;        // reads in a row that followed on the one before
  long long readerFrame_ = -1;  // frame a sequential reader has reached; -1: none
  std::uint64_t reads_ = 0;
};

}  // namespace Vantor
