// The shared content of an open transcoded file: the cache file with the WAV image,
// decoded on demand, and what is written into it.
#include "transcode/Transcoder.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/falloc.h>

#include <algorithm>
#include <utility>
#include <climits>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "audio/FLACDecode.h"
#include "audio/FileIO.h"
#include "audio/PCM.h"
#include "audio/WAVFile.h"
#include "transcode/CacheBudget.h"
#include "transcode/WAVImage.h"

namespace Vantor {

namespace {

// Frames decoded and written at once; the two buffers are sized for this many frames.
constexpr int kPieceFrames = 4096;
// Image bytes of one unit: decoding ahead and giving back work in units of frames.
constexpr long long kUnitBytes = 1LL << 20;
// How far the helper decodes ahead of the reader, in units.
constexpr long long kAheadUnits = 4;
// Decoders kept for one content: the reader's, the helper's and one for a second reader.
constexpr int kMaxDecoders = 3;
// The helper ends after this long without a read.
constexpr long kAheadIdleMs = 1000;

// Helpers running in this process: a helper only pays where a processor would idle, so
// there are at most one fewer than processors (and at least one).
std::atomic<int> helpers{0};
int MaxHelpers() {
  static const int most = std::max(1, static_cast<int>(std::thread::hardware_concurrency()) - 1);
  return most;
}

// The index of the first range of set that ends after x (set's ranges are ordered and
// disjoint); Count() when there is none.
size_t EndingAfter(const EnsembleT<long long>& set, long long x) {
  size_t lo = 0, hi = set.Count();
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (set[mid].end <= x) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

// The range of set holding x, or null.
const RangeT<long long>* Holding(const EnsembleT<long long>& set, long long x) {
  const size_t k = EndingAfter(set, x);
  return k < set.Count() && set[k].begin <= x ? &set[k] : nullptr;
}

// The first position of set above x, or LLONG_MAX.
long long NextBegin(const EnsembleT<long long>& set, long long x) {
  size_t lo = 0, hi = set.Count();
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (set[mid].begin <= x) lo = mid + 1;
    else hi = mid;
  }
  return lo < set.Count() ? set[lo].begin : LLONG_MAX;
}

// Whether set has a position in [a, b).
bool Meets(const EnsembleT<long long>& set, long long a, long long b) {
  return a < b && (Holding(set, a) || NextBegin(set, a) < b);
}


// A descriptor of its own (its own offset) for reading the file open on fd, without
// changing its access time where this process may ask for that.
UniqueFd OpenForReading(int fd) {
  UniqueFd own = Reopen(fd, O_RDONLY | O_NOATIME);
  if (!own && errno == EPERM) own = Reopen(fd, O_RDONLY);
  return own;
}

}  // namespace

// The buffers of one decoding: the decoder's samples and their bytes in the image.
struct Transcoder::Piece {
  std::vector<int32_t> samples;
  std::vector<char> packed;
};

Transcoder::Transcoder(UniqueFd source, int cacheDir, int fallbackDir) : source_(std::move(source)) {
  struct stat st;
  const bool empty = !source_ || (fstat(source_.Get(), &st) == 0 && st.st_size == 0);
  std::unique_ptr<FLACDecoder> decoder;
  if (!empty) {
    UniqueFd own = OpenForReading(source_.Get());
    if (!own) throw std::system_error(errno, std::generic_category(), "could not read");
    decoder = std::make_unique<FLACDecoder>(std::move(own));
  }

  cache_ = std::make_unique<UnnamedFile>(cacheDir);
  if (!cache_->Valid() && fallbackDir >= 0) {
    canWrite_ = false;
    cache_ = std::make_unique<UnnamedFile>(fallbackDir);
  }
  if (!cache_->Valid()) throw std::system_error(cache_->Error(), std::generic_category(), "could not make a cache file");
  fd_ = cache_->Fd();
  if (!decoder) return;

  frames_ = decoder->FrameCount();
  channels_ = decoder->ChannelCount();
  sampleSize_ = decoder->SampleSize();
  frameSize_ = static_cast<long long>(Audio::ContainerBits(sampleSize_) / 8) * channels_;
  const long long size = BuildWAV(fd_, *decoder, &dataOffset_);
  // The sample area is a hole; the file gets its full length so that its size is the
  // image size from the start.
  if (fstat(fd_, &st) != 0 || (st.st_size < size && ftruncate(fd_, size) != 0)) {
    throw std::system_error(errno, std::generic_category(), "could not write");
  }
  if (st.st_blksize > 0) block_ = st.st_blksize;
  filled_.Add(RangeT<long long>(0, size));
  idle_.push_back(std::move(decoder));
  decoders_ = 1;

  if (frameSize_ > 0 && frames_ > 0) {
    unitFrames_ = std::max<long long>(kPieceFrames, kUnitBytes / frameSize_ / kPieceFrames * kPieceFrames);
    unitStamp_.assign(static_cast<size_t>((frames_ + unitFrames_ - 1) / unitFrames_), 0);
    unitBlocks_.assign(unitStamp_.size(), 0);
    counted_ = true;
    // Last: a content that failed to construct must never be known to the budget.
    CacheBudget::Process().Join(this);
    member_ = true;
  }
}

Transcoder::~Transcoder() {
  // Leaving first: once Leave returns no eviction is at work here.
  if (member_) CacheBudget::Process().Leave(this);
  StopAhead();
  try {
    Lock lock(mutex_);
    ExemptLocked();
  } catch (...) {
  }
}

std::unique_ptr<FLACDecoder> Transcoder::OpenDecoder(int channels, int sampleSize, long long frames) const {
  try {
    UniqueFd own = OpenForReading(source_.Get());
    if (!own) return nullptr;
    auto fresh = std::make_unique<FLACDecoder>(std::move(own));
    // The same stream it was opened on, or nothing.
    if (fresh->ChannelCount() == channels && fresh->SampleSize() == sampleSize && fresh->FrameCount() == frames) {
      return fresh;
    }
  } catch (...) {
  }
  return nullptr;
}

long long Transcoder::Size() const {
  struct stat st;
  return fstat(fd_, &st) == 0 ? static_cast<long long>(st.st_size) : -errno;
}

bool Transcoder::FramesUnder(unsigned long size, long long offset, long long& start, long long& end) const {
  if (size == 0 || offset < 0 || frameSize_ <= 0 || frames_ <= 0) return false;
  const long long count =
      size > static_cast<unsigned long long>(LLONG_MAX - offset) ? LLONG_MAX - offset : static_cast<long long>(size);
  // Division truncates toward zero: a request ending in the bytes just in front of the
  // sample data still touches frame 0, which costs one frame and is harmless.
  const long long first = (offset - dataOffset_) / frameSize_;
  const long long last = (offset + count - dataOffset_ - 1) / frameSize_ + 1;
  start = std::max(first, 0LL);
  end = std::min(last, frames_);
  return start < end;
}

// ---------------------------------------------------------------------------------------
// Producing frames

bool Transcoder::AllDecodedLocked() const {
  return decoded_.Count() == 1 && decoded_[0].begin <= 0 && decoded_[0].end >= frames_;
}

std::unique_ptr<FLACDecoder> Transcoder::TakeDecoderLocked(long long frame) {
  if (idle_.empty()) return nullptr;
  // One standing at frame goes on without a seek; else any one (a seek is cheaper than
  // opening the file again).
  auto it = std::find_if(idle_.begin(), idle_.end(), [&](const auto& d) { return d->Position() == frame; });
  if (it == idle_.end()) it = idle_.end() - 1;
  std::unique_ptr<FLACDecoder> decoder = std::move(*it);
  idle_.erase(it);
  return decoder;
}

void Transcoder::ReturnDecoderLocked(std::unique_ptr<FLACDecoder> decoder, bool usable) {
  if (!decoder) return;
  // A decoder that failed may be stuck (a seek past a cut stream leaves libFLAC in an
  // error state): the next production starts from a fresh one.
  if (usable && !AllDecodedLocked() && static_cast<int>(idle_.size()) < kMaxDecoders) {
    idle_.push_back(std::move(decoder));
  } else {
    decoder.reset();
    --decoders_;
  }
  if (AllDecodedLocked()) {
    // Everything is in the cache: nothing is decoded again unless given back.
    decoders_ -= static_cast<int>(idle_.size());
    idle_.clear();
  }
}

void Transcoder::TouchLocked(long long a, long long b) {
  if (unitFrames_ <= 0 || a >= b) return;
  const std::uint64_t now = CacheBudget::Stamp();
  const long long last = std::min<long long>((b - 1) / unitFrames_, static_cast<long long>(unitStamp_.size()) - 1);
  for (long long u = a / unitFrames_; u <= last; ++u) unitStamp_[static_cast<size_t>(u)] = now;
}

long long Transcoder::BlocksOfLocked(long long u) const {
  const long long a = u * unitFrames_, b = std::min((u + 1) * unitFrames_, frames_);
  long long blocks = 0, last = -1;
  for (size_t k = EndingAfter(decoded_, a); k < decoded_.Count() && decoded_[k].begin < b; ++k) {
    long long first = (dataOffset_ + std::max(a, decoded_[k].begin) * frameSize_) / block_;
    const long long end = (dataOffset_ + std::min(b, decoded_[k].end) * frameSize_ - 1) / block_;
    first = std::max(first, last + 1);
    if (end >= first) blocks += end - first + 1;
    last = std::max(last, end);
  }
  return blocks;
}

void Transcoder::RecountLocked(long long a, long long b, long long reserved) {
  if (!counted_ || a >= b) {
    if (reserved) CacheBudget::Process().Add(-reserved);
    return;
  }
  const long long last = std::min<long long>((b - 1) / unitFrames_, static_cast<long long>(unitBlocks_.size()) - 1);
  long long change = 0;
  for (long long u = std::max(a / unitFrames_, 0LL); u <= last; ++u) {
    const long long blocks = BlocksOfLocked(u);
    change += (blocks - unitBlocks_[static_cast<size_t>(u)]) * block_;
    unitBlocks_[static_cast<size_t>(u)] = blocks;
  }
  held_ += change;
  CacheBudget::Process().Add(change - reserved);
}

void Transcoder::MarkDecodedLocked(long long a, long long b, long long reserved) {
  decoded_.Add(RangeT<long long>(a, b));
  framesDecoded_ += b - a;
  RecountLocked(a, b, reserved);
  if (counted_) TouchLocked(a, b);
}

void Transcoder::ExemptLocked() {
  if (!counted_) return;
  counted_ = false;
  CacheBudget::Process().Add(-held_);
  held_ = 0;
}

int Transcoder::DecodePiece(FLACDecoder& decoder, long long at, int n, Piece& piece) const {
  const int bits = Audio::ContainerBits(sampleSize_);
  piece.samples.resize(static_cast<size_t>(kPieceFrames) * channels_);
  piece.packed.resize(static_cast<size_t>(kPieceFrames * frameSize_));
  decoder.Seek(at);
  int got = decoder.GetSamples(piece.samples.data(), n);
  if (got < 0 || got > n) got = 0;
  if (got == 0) return 0;
  Audio::PackPCM(piece.samples.data(), static_cast<size_t>(got) * channels_, sampleSize_, bits, piece.packed.data());
  const size_t length = static_cast<size_t>(got * frameSize_);
  if (pwrite(fd_, piece.packed.data(), length, dataOffset_ + at * frameSize_) != static_cast<ssize_t>(length)) {
    return -1;
  }
  return got;
}

Transcoder::Produced Transcoder::DecodeRunLocked(long long s, long long e) {
  std::unique_ptr<FLACDecoder> decoder = TakeDecoderLocked(s);
  Produced result = Produced::kAll;
  long long at = s;
  try {
    Piece piece;
    if (!decoder) {
      const int channels = channels_, sampleSize = sampleSize_;
      const long long frames = frames_;
      {
        Unlocked unlocked(mutex_);
        decoder = OpenDecoder(channels, sampleSize, frames);
      }
      if (decoder) ++decoders_;
    }
    if (!decoder) result = Produced::kUndecodable;
    // Each piece is recorded as soon as it is in the cache file, so a later failure never
    // makes it decode again over bytes that were written since. A piece the decoder cannot
    // deliver in full keeps the frames it did deliver and ends the production.
    while (result == Produced::kAll && at < e) {
      const int n = static_cast<int>(std::min<long long>(kPieceFrames, e - at));
      // Room for the piece's bytes, the partly filled blocks at both of its ends and a
      // block shared by two units (counted for both), held until the piece is counted in
      // its place (or given back when it is not written).
      struct Reservation {
        long long bytes;
        ~Reservation() {
          if (bytes) CacheBudget::Process().Add(-bytes);
        }
      } reserved{counted_ ? n * frameSize_ + 3 * block_ : 0};
      int got;
      {
        Unlocked unlocked(mutex_);
        if (reserved.bytes) CacheBudget::Process().Reserve(reserved.bytes);
        got = DecodePiece(*decoder, at, n, piece);
      }
      if (got > 0) {
        MarkDecodedLocked(at, at + got, std::exchange(reserved.bytes, 0));
        at += got;
      }
      if (got < 0) result = Produced::kUnwritable;
      else if (got != n) result = Produced::kUndecodable;
    }
  } catch (const std::exception&) {
    result = Produced::kUndecodable;
  }
  claimed_.Remove(EnsembleT<long long>(RangeT<long long>(s, e)));
  changed_.NotifyAll();
  ReturnDecoderLocked(std::move(decoder), result == Produced::kAll);
  return result;
}

Transcoder::Produced Transcoder::ProduceLocked(long long start, long long end) {
  for (;;) {
    const RangeT<long long>* present = Holding(decoded_, start);
    if (present && present->end >= end) return Produced::kAll;
    const long long at = present ? present->end : start;
    if (Holding(claimed_, at)) {
      // Another thread is decoding it: its end is announced.
      changed_.Wait(mutex_);
      continue;
    }
    const long long e = std::min({end, NextBegin(decoded_, at), NextBegin(claimed_, at)});
    claimed_.Add(RangeT<long long>(at, e));
    const Produced produced = DecodeRunLocked(at, e);
    if (produced != Produced::kAll) return produced;
  }
}

// ---------------------------------------------------------------------------------------
// Decoding ahead

void Transcoder::NoteReadLocked(long long offset, unsigned long size, long long end) {
  ++reads_;
  const long long count = static_cast<long long>(std::min<unsigned long>(size, LLONG_MAX / 2));
  // Reads may arrive a little out of order (the kernel reads ahead on several threads).
  const long long slack = unitFrames_ * frameSize_;
  if (readEnd_ >= 0 && offset >= readEnd_ - slack && offset <= readEnd_ + slack) {
    ++sequential_;
    readEnd_ = std::max(readEnd_, offset + count);
  } else {
    sequential_ = 0;
    readEnd_ = offset + count;
    readerFrame_ = -1;
  }
  if (sequential_ < 2 || aheadStop_ || unitFrames_ <= 0) return;
  if (readerFrame_ < 0) aheadParity_ = static_cast<int>((end / unitFrames_ + 1) & 1);
  readerFrame_ = std::max(readerFrame_, end);
  changed_.NotifyAll();
  if (aheadRunning_) return;
  // Other readers keep every processor busy already; asked again at the next read.
  if (++helpers > MaxHelpers()) {
    --helpers;
    return;
  }
  // A helper that ended for want of work is gone by now, or about to be.
  if (ahead_.joinable()) ahead_.join();
  try {
    ahead_ = std::thread(&Transcoder::AheadLoop, this);
    aheadRunning_ = true;
  } catch (const std::system_error&) {
    // No thread to be had: the reader decodes alone.
    --helpers;
  }
}

bool Transcoder::NextAheadLocked(long long& s, long long& e) const {
  if (readerFrame_ < 0 || readerFrame_ >= frames_ || unitFrames_ <= 0) return false;
  const long long first = readerFrame_ / unitFrames_;
  for (long long u = first; u <= first + kAheadUnits && u * unitFrames_ < frames_; ++u) {
    if ((u & 1) != aheadParity_) continue;
    long long at = std::max(u * unitFrames_, readerFrame_);
    const long long unitEnd = std::min((u + 1) * unitFrames_, frames_);
    // The first frame from `at` that is neither present nor being decoded.
    for (;;) {
      const RangeT<long long>* r = Holding(decoded_, at);
      if (!r) r = Holding(claimed_, at);
      if (!r) break;
      at = r->end;
    }
    if (at >= unitEnd) continue;
    s = at;
    e = std::min({unitEnd, s + kPieceFrames, NextBegin(decoded_, at), NextBegin(claimed_, at)});
    return true;
  }
  return false;
}

void Transcoder::AheadLoop() {
  try {
    Lock lock(mutex_);
    std::uint64_t seen = reads_;
    while (!aheadStop_) {
      long long s = 0, e = 0;
      if (NextAheadLocked(s, e)) {
        claimed_.Add(RangeT<long long>(s, e));
        // A failure is met again by the reader, who reports it.
        if (DecodeRunLocked(s, e) != Produced::kAll) break;
        continue;
      }
      // Nothing within reach of the reader: wait for it to move on; end once it has not
      // read for a while.
      if (!changed_.WaitFor(mutex_, kAheadIdleMs)) {
        if (reads_ == seen) break;
        seen = reads_;
      }
    }
    aheadRunning_ = false;
  } catch (const std::exception&) {
    // Only a broken mutex gets here; the reader decodes alone from now on.
  }
  --helpers;
}

void Transcoder::StopAhead() {
  std::thread helper;
  {
    Lock lock(mutex_);
    aheadStop_ = true;
    changed_.NotifyAll();
    helper = std::move(ahead_);
  }
  if (helper.joinable()) helper.join();
}

bool Transcoder::DecodingAhead() const {
  Lock lock(mutex_);
  return aheadRunning_;
}

// ---------------------------------------------------------------------------------------
// Giving back

bool Transcoder::UnitSpanLocked(long long u, long long& fa, long long& fb, long long& p0, long long& p1) const {
  if (u < 0 || u >= static_cast<long long>(unitStamp_.size()) || frames_ <= 0) return false;
  const long long a = dataOffset_ + u * unitFrames_ * frameSize_;
  const long long b = dataOffset_ + std::min((u + 1) * unitFrames_, frames_) * frameSize_;
  const long long dataEnd = dataOffset_ + frames_ * frameSize_;
  // Whole blocks only, and never a byte outside the sample data.
  p0 = std::max(a / block_ * block_, (dataOffset_ + block_ - 1) / block_ * block_);
  p1 = std::min((b + block_ - 1) / block_ * block_, dataEnd / block_ * block_);
  if (p1 <= p0) return false;
  fa = (p0 - dataOffset_) / frameSize_;
  fb = std::min((p1 - dataOffset_ + frameSize_ - 1) / frameSize_, frames_);
  return fa < fb;
}

bool Transcoder::BusyLocked(long long a, long long b) const {
  if (Meets(claimed_, a, b)) return true;
  return std::any_of(pins_.begin(), pins_.end(), [&](const RangeT<long long>& p) { return p.begin < b && a < p.end; });
}

bool Transcoder::OldestUnit(std::uint64_t& stamp, long long& unit) const {
  Lock lock(mutex_);
  if (!counted_) return false;
  bool found = false;
  for (size_t u = 0; u < unitStamp_.size(); ++u) {
    const std::uint64_t s = unitStamp_[u];
    if (s == 0 || (found && s >= stamp)) continue;
    long long fa, fb, p0, p1;
    if (UnitSpanLocked(static_cast<long long>(u), fa, fb, p0, p1) && BusyLocked(fa, fb)) continue;
    stamp = s;
    unit = static_cast<long long>(u);
    found = true;
  }
  return found;
}

void Transcoder::EvictUnit(long long u) {
  Lock lock(mutex_);
  if (!counted_ || u < 0 || u >= static_cast<long long>(unitStamp_.size())) return;
  // Marked first: a unit that cannot be given back is not chosen again and again.
  unitStamp_[static_cast<size_t>(u)] = 0;
  long long fa, fb, p0, p1;
  if (!UnitSpanLocked(u, fa, fb, p0, p1) || BusyLocked(fa, fb) || !Meets(decoded_, fa, fb)) return;
  // Every frame with a byte in the hole leaves the record, also those of a neighbouring
  // unit sharing a block: none is ever served from zeros.
  if (fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, p0, p1 - p0) != 0) return;
  decoded_.Remove(EnsembleT<long long>(RangeT<long long>(fa, fb)));
  RecountLocked(fa, fb);
}

// ---------------------------------------------------------------------------------------
// Reading and writing

long long Transcoder::Read(void* buffer, unsigned long size, long long offset) {
  long long start = 0, end = 0;
  bool pinned = false;
  {
    Lock lock(mutex_);
    if (FramesUnder(size, offset, start, end)) {
      NoteReadLocked(offset, size, end);
      const Produced produced = ProduceLocked(start, end);
      // What cannot be decoded or kept is an error, never silence in its place.
      if (produced != Produced::kAll) return -EIO;
      // Pinned until copied out: nothing under the read is given back meanwhile.
      pins_.emplace_back(start, end);
      pinned = true;
      TouchLocked(start, end);
    }
  }
  const ssize_t n = pread(fd_, buffer, size, offset);
  const int error = errno;
  if (pinned) {
    Lock lock(mutex_);
    auto it = std::find_if(pins_.begin(), pins_.end(),
                           [&](const RangeT<long long>& p) { return p.begin == start && p.end == end; });
    if (it != pins_.end()) pins_.erase(it);
  }
  return n < 0 ? -error : n;
}

long long Transcoder::Write(const void* buffer, unsigned long size, long long offset) {
  if (!canWrite_) return -EACCES;
  // Marked first, so that a write that fails below still leads to a conversion.
  modified_ = true;
  // A content being written is no longer read front to back.
  StopAhead();
  {
    Lock lock(mutex_);
    ExemptLocked();
    long long start = 0, end = 0;
    // The frames under the write are produced first, so that the bytes of them the write
    // does not cover keep their values; the written bytes win over anything decoded later,
    // so their frames count as produced even where the decoder could not deliver them.
    if (FramesUnder(size, offset, start, end) && ProduceLocked(start, end) != Produced::kAll) {
      decoded_.Add(RangeT<long long>(start, end));
    }
  }
  const ssize_t n = pwrite(fd_, buffer, size, offset);
  if (n < 0) return -errno;
  Lock lock(mutex_);
  filled_.Add(RangeT<long long>(offset, offset + n));
  return n;
}

int Transcoder::Truncate(long long length) {
  if (length < 0) return -EINVAL;
  if (!canWrite_) return -EACCES;
  StopAhead();
  Lock lock(mutex_);
  ExemptLocked();
  long long start = 0, end = 0;
  if (length > 0 && FramesUnder(static_cast<unsigned long>(length), 0, start, end) &&
      ProduceLocked(start, end) != Produced::kAll) {
    return -EIO;
  }
  struct stat st;
  if (fstat(fd_, &st) != 0) return -errno;
  if (ftruncate(fd_, length) != 0) return -errno;
  modified_ = true;
  // What a cut leaves is as filled as before; what an extension adds are zeros asked for.
  filled_.Remove(EnsembleT<long long>(RangeT<long long>(length, LLONG_MAX)));
  filled_.Add(RangeT<long long>(st.st_size, length));
  // The cache is the whole content now: frames behind the cut are gone for good. No
  // decoder is in use: the helper has ended and the owner excludes reads and writes.
  decoders_ -= static_cast<int>(idle_.size());
  idle_.clear();
  frames_ = 0;
  decoded_ = EnsembleT<long long>();
  return 0;
}

int Transcoder::ProduceAll() {
  Lock lock(mutex_);
  // The cache is to hold the whole content from now on: nothing of it is given back.
  ExemptLocked();
  if (frames_ <= 0) return 0;
  const Produced produced = ProduceLocked(0, frames_);
  return produced == Produced::kAll ? 0 : -EIO;
}

bool Transcoder::HasHoles() const {
  const long long size = Size();
  Lock lock(mutex_);
  return !(filled_ == EnsembleT<long long>(RangeT<long long>(0, size)));
}

bool Transcoder::HasDecoder() const {
  Lock lock(mutex_);
  return decoders_ > 0;
}

}  // namespace Vantor
