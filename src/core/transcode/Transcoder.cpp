// The shared content of an open transcoded file: the cache file with the WAV image,
// decoded on demand, and what is written into it.
#include "transcode/Transcoder.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "audio/FLACDecode.h"
#include "audio/FileIO.h"
#include "audio/PCM.h"
#include "audio/WAVFile.h"
#include "transcode/WAVImage.h"

namespace Vantor {

namespace {

// Frames decoded and written at once; the two buffers are sized for this many frames.
constexpr int kPieceFrames = 4096;

// A descriptor of its own (its own offset) for reading the file open on fd, without
// changing its access time where this process may ask for that.
UniqueFd OpenForReading(int fd) {
  UniqueFd own = Reopen(fd, O_RDONLY | O_NOATIME);
  if (!own && errno == EPERM) own = Reopen(fd, O_RDONLY);
  return own;
}

}  // namespace

Transcoder::Transcoder(UniqueFd source, int cacheDir, int fallbackDir) : source_(std::move(source)) {
  struct stat st;
  const bool empty = !source_ || (fstat(source_.Get(), &st) == 0 && st.st_size == 0);
  if (!empty) {
    UniqueFd own = OpenForReading(source_.Get());
    if (!own) throw std::system_error(errno, std::generic_category(), "could not read");
    decoder_ = std::make_unique<FLACDecoder>(std::move(own));
  }

  cache_ = std::make_unique<UnnamedFile>(cacheDir);
  if (!cache_->Valid() && fallbackDir >= 0) {
    canWrite_ = false;
    cache_ = std::make_unique<UnnamedFile>(fallbackDir);
  }
  if (!cache_->Valid()) throw std::system_error(cache_->Error(), std::generic_category(), "could not make a cache file");
  fd_ = cache_->Fd();
  if (!decoder_) return;

  frames_ = decoder_->FrameCount();
  channels_ = decoder_->ChannelCount();
  sampleSize_ = decoder_->SampleSize();
  const long long size = BuildWAV(fd_, *decoder_, &dataOffset_);
  // The sample area is a hole; the file gets its full length so that its size is the
  // image size from the start.
  if (fstat(fd_, &st) != 0 || (st.st_size < size && ftruncate(fd_, size) != 0)) {
    throw std::system_error(errno, std::generic_category(), "could not write");
  }
  filled_.Add(RangeT<long long>(0, size));
}

Transcoder::~Transcoder() = default;

std::unique_ptr<FLACDecoder> Transcoder::OpenDecoder() const {
  try {
    UniqueFd own = OpenForReading(source_.Get());
    if (!own) return nullptr;
    auto fresh = std::make_unique<FLACDecoder>(std::move(own));
    // The same stream it was opened on, or nothing.
    if (fresh->ChannelCount() == channels_ && fresh->SampleSize() == sampleSize_ && fresh->FrameCount() == frames_) {
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
  const long long frameSize = static_cast<long long>(Audio::ContainerBits(sampleSize_) / 8) * channels_;
  if (size == 0 || offset < 0 || frameSize <= 0 || frames_ <= 0) return false;
  const long long count =
      size > static_cast<unsigned long long>(LLONG_MAX - offset) ? LLONG_MAX - offset : static_cast<long long>(size);
  // Division truncates toward zero: a request ending in the bytes just in front of the
  // sample data still touches frame 0, which costs one frame and is harmless.
  const long long first = (offset - dataOffset_) / frameSize;
  const long long last = (offset + count - dataOffset_ - 1) / frameSize + 1;
  start = std::max(first, 0LL);
  end = std::min(last, frames_);
  return start < end;
}

Transcoder::Produced Transcoder::ProduceLocked(long long start, long long end) {
  EnsembleT<long long> needed(RangeT<long long>(start, end));
  needed.Remove(decoded_);
  if (needed.Count() == 0) return Produced::kAll;
  if (!decoder_) decoder_ = OpenDecoder();
  if (!decoder_) return Produced::kUndecodable;

  const int bits = Audio::ContainerBits(sampleSize_);
  const long long frameSize = static_cast<long long>(channels_) * (bits / 8);
  std::vector<int32_t> samples(static_cast<size_t>(kPieceFrames) * channels_);
  std::vector<char> packed(static_cast<size_t>(kPieceFrames * frameSize));

  // Each piece is recorded as soon as it is in the cache file, so a later failure never
  // makes it decode again over bytes that were written since. A piece the decoder cannot
  // deliver in full keeps the frames it did deliver and ends the production.
  Produced result = Produced::kAll;
  for (size_t k = 0; k < needed.Count() && result == Produced::kAll; ++k) {
    long long s = needed[k].begin;
    while (s < needed[k].end) {
      const int n = static_cast<int>(std::min<long long>(kPieceFrames, needed[k].end - s));
      decoder_->Seek(s);
      int got = decoder_->GetSamples(samples.data(), n);
      if (got < 0 || got > n) got = 0;
      if (got > 0) {
        Audio::PackPCM(samples.data(), static_cast<size_t>(got) * channels_, sampleSize_, bits, packed.data());
        const size_t length = static_cast<size_t>(got * frameSize);
        if (pwrite(fd_, packed.data(), length, dataOffset_ + s * frameSize) != static_cast<ssize_t>(length)) {
          result = Produced::kUnwritable;
          break;
        }
        decoded_.Add(RangeT<long long>(s, s + got));
        framesDecoded_ += got;
        s += got;
      }
      if (got != n) {
        result = Produced::kUndecodable;
        break;
      }
    }
  }

  if (decoded_ == EnsembleT<long long>(RangeT<long long>(0, frames_))) {
    // Everything is in the cache: nothing will be decoded again.
    decoder_.reset();
  } else if (result == Produced::kUndecodable) {
    // A decoder that failed may be stuck (a seek past a cut stream leaves libFLAC in an
    // error state): the next production starts from a fresh one.
    decoder_.reset();
  }
  return result;
}

long long Transcoder::Read(void* buffer, unsigned long size, long long offset) {
  {
    Lock lock(mutex_);
    long long start = 0, end = 0;
    if (FramesUnder(size, offset, start, end)) {
      const Produced produced = ProduceLocked(start, end);
      // What cannot be decoded or kept is an error, never silence in its place.
      if (produced != Produced::kAll) return -EIO;
    }
  }
  const ssize_t n = pread(fd_, buffer, size, offset);
  return n < 0 ? -errno : n;
}

long long Transcoder::Write(const void* buffer, unsigned long size, long long offset) {
  if (!canWrite_) return -EACCES;
  // Marked first, so that a write that fails below still leads to a conversion.
  modified_ = true;
  {
    Lock lock(mutex_);
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
  Lock lock(mutex_);
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
  // The cache is the whole content now: frames behind the cut are gone for good.
  decoder_.reset();
  frames_ = 0;
  decoded_ = EnsembleT<long long>();
  return 0;
}

int Transcoder::ProduceAll() {
  Lock lock(mutex_);
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
  return decoder_ != nullptr;
}

}  // namespace Vantor
