// One opening of a transcoded file: the cache file with the WAV image, decoding on
// demand, and the conversion of written data back to FLAC.
#include "transcode/Transcoder.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "audio/FLACDecode.h"
#include "audio/FileIO.h"
#include "audio/WAVFile.h"
#include "transcode/Conversion.h"
#include "transcode/Events.h"
#include "transcode/NameMapping.h"
#include "transcode/WAVImage.h"

namespace Vantor {

namespace {

// Frames decoded and written at once; the two buffers are sized for this many frames.
constexpr int kPieceFrames = 4096;

// Creates a cache file from a template ending in ".wav": the six X before the suffix are
// replaced, the file is made exclusively with mode 0600 and opened for reading and writing.
int MakeCacheFile(std::string& path) {
  std::vector<char> name(path.begin(), path.end());
  name.push_back('\0');
  int fd = mkostemps(name.data(), 4, O_CLOEXEC);
  if (fd >= 0) path = name.data();
  return fd;
}

// The hidden cache file template beside the stored file: /dir/.name_XXXXXX.wav. A name
// too long to take the 12 added bytes is shortened (at a character boundary) rather
// than sending the cache file to /tmp, which would make the opening read-only.
std::string CacheTemplate(const std::string& path) {
  const std::string folder = path.find('/') == std::string::npos ? "." : Dirname(path);
  std::string stem = RemoveExt(Basename(path));
  const size_t room = NAME_MAX - std::string("._XXXXXX.wav").size();
  if (stem.size() > room) {
    size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
    stem.resize(cut);
  }
  return folder + "/." + stem + "_XXXXXX.wav";
}

// Turns interleaved float samples back into little-endian PCM in containers of `bits`:
// value * 2^(bits-1), truncated toward zero; 8-bit samples are unsigned around 128.
// The decoder's values are exact multiples of 2^-(bits-1), so float arithmetic gives
// the stored integers exactly; one loop per container keeps the hot path vectorisable.
void PackSamples(const float* in, long long count, int bits, char* out) {
  const float gain = std::ldexp(1.0f, bits - 1);
  if (bits == 8) {
    for (long long i = 0; i < count; ++i) {
      out[i] = static_cast<char>(static_cast<unsigned char>(static_cast<int>(in[i] * gain) - 128));
    }
  } else if (bits == 16) {
    for (long long i = 0; i < count; ++i) {
      const unsigned v = static_cast<unsigned>(static_cast<int>(in[i] * gain));
      out[2 * i] = static_cast<char>(v);
      out[2 * i + 1] = static_cast<char>(v >> 8);
    }
  } else {
    for (long long i = 0; i < count; ++i) {
      const unsigned v = static_cast<unsigned>(static_cast<int>(in[i] * gain));
      out[3 * i] = static_cast<char>(v);
      out[3 * i + 1] = static_cast<char>(v >> 8);
      out[3 * i + 2] = static_cast<char>(v >> 16);
    }
  }
}

}  // namespace

Transcoder::Transcoder(const std::string& path) : path_(path) {
  // A file being created is empty or missing: it simply has no decoder.
  try {
    decoder_ = std::make_unique<FLACDecoder>(path);
  } catch (...) {
    decoder_.reset();
  }

  cachePath_ = CacheTemplate(path);
  fd_ = MakeCacheFile(cachePath_);
  if (fd_ < 0) {
    canWrite_ = false;
    cachePath_ = "/tmp/Lyrebox_XXXXXX.wav";
    fd_ = MakeCacheFile(cachePath_);
    if (fd_ < 0) throw std::runtime_error("Transcoder::Transcoder(), mkstemp");
  }

  if (!decoder_) return;
  try {
    size_ = BuildWAV(fd_, *decoder_, &dataOffset_);
    // The sample area is a hole; give the file its full length so that its size is the
    // image size from the start.
    struct stat st;
    if (fstat(fd_, &st) == 0 && st.st_size < size_ && ftruncate(fd_, size_) != 0) {
      throw std::runtime_error("could not write");
    }
  } catch (...) {
    close(fd_);
    unlink(cachePath_.c_str());
    throw;
  }
}

Transcoder::Transcoder(const std::string& source, const std::string& destination)
    : canWrite_(false), path_(source) {
  // Throws before the destination is touched when the source cannot be decoded.
  decoder_ = std::make_unique<FLACDecoder>(source);

  fd_ = open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) throw std::runtime_error("Transcoder::Transcoder(), open");
  try {
    size_ = BuildWAV(fd_, *decoder_, &dataOffset_);
    // An export that returns normally has written every frame.
    ThrowUnlessAll(ProduceAll());
  } catch (...) {
    close(fd_);
    unlink(destination.c_str());
    throw;
  }
}

Transcoder::~Transcoder() {
  const bool convert = modified_ && !keptAsWAV_;
  Produced produced = Produced::kAll;
  if (convert) {
    // Stored audio that was never produced must be in the cache file before the cache
    // file replaces the stored file.
    try {
      produced = ProduceAll();
    } catch (...) {
      produced = Produced::kUnwritable;
    }
  }
  close(fd_);
  decoder_.reset();
  try {
    if (convert) {
      if (produced != Produced::kUnwritable && Convert()) {
        unlink(cachePath_.c_str());
      } else {
        KeepAsWAV(produced != Produced::kUnwritable);
      }
    } else if (!keptAsWAV_ && !cachePath_.empty()) {
      unlink(cachePath_.c_str());
    }
  } catch (...) {
    // Destructors never throw.
  }
}

long long Transcoder::GetSize() const {
  Lock lock(mutex_);
  return size_;
}

long long Transcoder::Read(void* buffer, unsigned long size, long long offset) {
  try {
    ValidateRange(size, offset);
  } catch (...) {
    // What could not be decoded reads as zeros.
  }
  return pread(fd_, buffer, size, offset);
}

bool Transcoder::FramesUnder(unsigned long size, long long offset, long long& start, long long& end) const {
  const long long frameSize = BytesPerSample(*decoder_);
  const long long frames = decoder_->FrameCount();
  if (size == 0 || offset < 0 || frameSize <= 0) return false;
  const long long count =
      size > static_cast<unsigned long long>(LLONG_MAX - offset) ? LLONG_MAX - offset : static_cast<long long>(size);
  // Division truncates toward zero: a request ending in the bytes just in front of the
  // sample data still touches frame 0, which costs one frame and is harmless.
  const long long first = (offset - dataOffset_) / frameSize;
  const long long last = (offset + count - dataOffset_ - 1) / frameSize + 1;
  start = std::max(first, 0LL);
  end = std::min(last, frames);
  return start < end;
}

void Transcoder::ValidateRange(unsigned long size, long long offset) {
  Lock lock(mutex_);
  if (!decoder_) return;
  long long start = 0, end = 0;
  if (!FramesUnder(size, offset, start, end)) return;
  ThrowUnlessAll(ProduceLocked(start, end));
}

void Transcoder::ThrowUnlessAll(Produced produced) {
  if (produced == Produced::kUndecodable) throw std::runtime_error("could not decode");
  if (produced == Produced::kUnwritable) throw std::runtime_error("could not write");
}

Transcoder::Produced Transcoder::ProduceLocked(long long start, long long end) {
  EnsembleT<long long> needed(RangeT<long long>(start, end));
  needed.Remove(decoded_);

  const int channels = decoder_->ChannelCount();
  const int bits = Audio::ContainerBits(decoder_->SampleSize());
  const long long frameSize = static_cast<long long>(channels) * (bits / 8);
  const long long frames = decoder_->FrameCount();
  std::vector<float> samples(static_cast<size_t>(kPieceFrames) * channels);
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
        PackSamples(samples.data(), static_cast<long long>(got) * channels, bits, packed.data());
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

  if (decoded_ == EnsembleT<long long>(RangeT<long long>(0, frames))) {
    decoder_.reset();
  } else if (result == Produced::kUndecodable) {
    // A decoder that failed may be stuck (a seek past a cut stream leaves libFLAC in an
    // error state): start the next production from a fresh one on the same stream.
    const int sampleSize = decoder_->SampleSize();
    decoder_.reset();
    try {
      auto fresh = std::make_unique<FLACDecoder>(path_);
      if (fresh->ChannelCount() == channels && fresh->SampleSize() == sampleSize && fresh->FrameCount() == frames) {
        decoder_ = std::move(fresh);
      }
    } catch (...) {
      // Nothing more can be decoded; what was not produced reads as zeros.
    }
  }
  return result;
}

Transcoder::Produced Transcoder::ProduceAll() {
  Lock lock(mutex_);
  if (!decoder_) return Produced::kAll;
  return ProduceLocked(0, decoder_->FrameCount());
}

bool Transcoder::CanWrite() const { return canWrite_; }

long long Transcoder::Write(const void* buffer, unsigned long size, long long offset) {
  if (!canWrite_) return 0;
  // Marked first, so that a write that fails below still leads to a conversion.
  modified_ = true;
  try {
    Lock lock(mutex_);
    long long start = 0, end = 0;
    if (decoder_ && FramesUnder(size, offset, start, end) && ProduceLocked(start, end) != Produced::kAll) {
      // The written bytes win over anything decoded later: record their frames even
      // though the decoder could not deliver them.
      decoded_.Add(RangeT<long long>(start, end));
      if (decoder_ && decoded_ == EnsembleT<long long>(RangeT<long long>(0, decoder_->FrameCount()))) {
        decoder_.reset();
      }
    }
  } catch (...) {
    // The write goes on.
  }
  return pwrite(fd_, buffer, size, offset);
}

bool Transcoder::Convert() {
  try {
    ToFLAC(cachePath_, path_);
    return true;
  } catch (...) {
    return false;
  }
}

void Transcoder::KeepAsWAV(bool removeFLAC) {
  bool changed = false;
  const std::string wavPath = TranscodeFilename(path_, changed, false);
  // The kept file gets the stored file's permission bits rather than the cache's 0600.
  struct stat st;
  if (stat(path_.c_str(), &st) == 0) chmod(cachePath_.c_str(), st.st_mode & 07777);
  if (removeFLAC) {
    unlink(path_.c_str());
  } else if (wavPath == path_) {
    // No WAV name to move to without replacing the stored file: keep the hidden file.
    keptAsWAV_ = true;
    return;
  }
  if (rename(cachePath_.c_str(), wavPath.c_str()) == 0) cachePath_ = wavPath;
  keptAsWAV_ = true;
  ConversionEvent kept;
  kept.kind = ConversionEvent::Kind::kKeptAsWAV;
  kept.name = Basename(wavPath);
  kept.reason = "not a WAV file that can be encoded";
  ReportConversion(kept);
}

void Transcoder::Flush() {
  try {
    if (!modified_ || keptAsWAV_) return;
    const Produced produced = ProduceAll();
    {
      // From here the cache file is the content of this opening.
      Lock lock(mutex_);
      decoder_.reset();
    }
    if (produced != Produced::kUnwritable && Convert()) {
      modified_ = false;
    } else {
      KeepAsWAV(produced != Produced::kUnwritable);
    }
  } catch (...) {
    // Never throws; a failed conversion already fell back to the WAV file.
  }
}

int Transcoder::Truncate(long long length) {
  if (length < 0) return -EINVAL;
  try {
    Lock lock(mutex_);
    if (length == 0) {
      decoder_.reset();
      decoded_ = EnsembleT<long long>();
      size_ = 0;
      dataOffset_ = 0;
      if (ftruncate(fd_, 0) != 0) return -errno;
      return 0;
    }
    if (!canWrite_) return -EACCES;
    long long start = 0, end = 0;
    if (decoder_ && FramesUnder(static_cast<unsigned long>(length), 0, start, end) &&
        ProduceLocked(start, end) == Produced::kUnwritable) {
      return -EIO;
    }
    if (ftruncate(fd_, length) != 0) return -errno;
    // Frames behind the cut must never be decoded back into the file.
    decoder_.reset();
    modified_ = true;
    return 0;
  } catch (...) {
    return -EIO;
  }
}

bool Transcoder::IsModified() const { return modified_; }

long long Transcoder::CurrentSize() const {
  struct stat st;
  if (fstat(fd_, &st) == 0) return st.st_size;
  return GetSize();
}

bool Transcoder::HasDecoder() const {
  Lock lock(mutex_);
  return decoder_ != nullptr;
}

long long Transcoder::FramesDecoded() const { return framesDecoded_; }

}  // namespace Vantor
