// FLAC decoding through libFLAC++: MyFLACDecoder receives the library's callbacks and
// holds one decoded FLAC block as floats; FLACDecoder is the facade the core uses.
#include "audio/FLACDecode.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <FLAC++/decoder.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace Vantor {

namespace {

// The float form carries integer samples exactly only up to 24 bits.
constexpr unsigned kMaxSampleSize = 24;

const FLAC__byte kRiffId[4] = {'r', 'i', 'f', 'f'};
const FLAC__byte kAiffId[4] = {'a', 'i', 'f', 'f'};

}  // namespace

class MyFLACDecoder : public FLAC::Decoder::File {
 public:
  MyFLACDecoder() = default;
  ~MyFLACDecoder() override = default;
  MyFLACDecoder(const MyFLACDecoder&) = delete;
  MyFLACDecoder& operator=(const MyFLACDecoder&) = delete;

  // Up to frames sample frames into out; fewer at the end of the stream, on a decoding
  // error, and none at all while the decoder is lost after a failed seek.
  int GetSamples(float* out, int frames);
  // Decodes until one FLAC block is buffered or nothing more can be decoded.
  void FillBuffer();
  // Drops the buffered block and moves the library decoder to frame. On failure the
  // decoder is lost: it delivers nothing until a later seek succeeds.
  void SeekTo(long long frame);
  bool Lost() const { return lost_; }

  unsigned channels_ = 0;
  double sampleRate_ = 0.0;
  long long frameCount_ = 0;
  unsigned sampleSize_ = 0;
  double scale_ = 1.0;
  std::vector<float> samples_;
  unsigned available_ = 0;
  const float* cursor_ = nullptr;
  std::vector<std::string> chunks_;

 protected:
  ::FLAC__StreamDecoderWriteStatus write_callback(const ::FLAC__Frame* frame,
                                                  const FLAC__int32* const buffer[]) override;
  void metadata_callback(const ::FLAC__StreamMetadata* metadata) override;
  void error_callback(::FLAC__StreamDecoderErrorStatus status) override;

 private:
  bool lost_ = false;
};

::FLAC__StreamDecoderWriteStatus MyFLACDecoder::write_callback(const ::FLAC__Frame* frame,
                                                               const FLAC__int32* const buffer[]) {
  const unsigned n = frame->header.blocksize;
  // One process_single can deliver two blocks (libFLAC replaces a damaged block with
  // silence and then delivers the block it resynchronised on): frames not yet handed
  // out are kept in front of the new block, so none is lost and positions stay right.
  const size_t kept = static_cast<size_t>(available_) * channels_;
  if (kept > 0 && cursor_ != samples_.data()) std::copy_n(cursor_, kept, samples_.data());
  const size_t needed = kept + static_cast<size_t>(n) * channels_;
  if (samples_.size() < needed) samples_.resize(needed, 0.0f);
  float* const block = samples_.data() + kept;

  // A block whose layout disagrees with STREAMINFO (only in a damaged stream) cannot be
  // placed in the frame layout everyone else relies on; it is delivered as silence so
  // that frame positions stay right, as libFLAC itself does for a block that fails its CRC.
  if (frame->header.channels != channels_ || frame->header.bits_per_sample != sampleSize_) {
    std::fill_n(block, needed - kept, 0.0f);
  } else {
    for (unsigned c = 0; c < channels_; ++c) {
      const FLAC__int32* in = buffer[c];
      float* out = block + c;
      // Samples of up to 24 bits and a power-of-two scale are exact in float, so the
      // product needs no double precision (this loop is the decoder's hot path).
      const float scale = static_cast<float>(scale_);
      for (unsigned f = 0; f < n; ++f, out += channels_) {
        *out = static_cast<float>(in[f]) * scale;
      }
    }
  }

  available_ += n;
  if (available_ > 0) cursor_ = samples_.data();
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void MyFLACDecoder::metadata_callback(const ::FLAC__StreamMetadata* metadata) {
  if (metadata->type == FLAC__METADATA_TYPE_STREAMINFO) {
    const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
    frameCount_ = static_cast<long long>(info.total_samples);
    sampleRate_ = static_cast<double>(info.sample_rate);
    channels_ = info.channels;
    sampleSize_ = info.bits_per_sample;
    // 1 << 31 does not fit; such depths are refused after the metadata anyway.
    if (sampleSize_ >= 1 && sampleSize_ <= kMaxSampleSize) {
      scale_ = 1.0 / static_cast<double>(1 << (sampleSize_ - 1));
    }
  } else if (metadata->type == FLAC__METADATA_TYPE_APPLICATION) {
    const FLAC__StreamMetadata_Application& app = metadata->data.application;
    if (std::memcmp(app.id, kRiffId, sizeof kRiffId) != 0) return;
    const unsigned idBytes = sizeof app.id;
    const unsigned length = metadata->length > idBytes ? metadata->length - idBytes : 0;
    if (length == 0 || app.data == nullptr) {
      chunks_.emplace_back();
    } else {
      chunks_.emplace_back(reinterpret_cast<const char*>(app.data), length);
    }
  }
}

void MyFLACDecoder::error_callback(::FLAC__StreamDecoderErrorStatus) {
  // Not recorded: a decoding error shows as fewer frames delivered.
}

void MyFLACDecoder::FillBuffer() {
  for (;;) {
    const bool ok = process_single();
    if (available_ > 0 || !ok) return;
    // The library answers true without progress once it has stopped (end of stream,
    // or aborted on a read error), so every state but the decoding ones ends the loop.
    switch (static_cast<::FLAC__StreamDecoderState>(get_state())) {
      case FLAC__STREAM_DECODER_SEARCH_FOR_METADATA:
      case FLAC__STREAM_DECODER_READ_METADATA:
      case FLAC__STREAM_DECODER_SEARCH_FOR_FRAME_SYNC:
      case FLAC__STREAM_DECODER_READ_FRAME:
        break;
      default:
        return;
    }
  }
}

int MyFLACDecoder::GetSamples(float* out, int frames) {
  int got = 0;
  if (lost_) return got;
  while (got < frames) {
    if (available_ == 0) FillBuffer();
    if (available_ == 0) break;
    const int k = static_cast<int>(std::min<long long>(frames - got, available_));
    const size_t count = static_cast<size_t>(k) * channels_;
    std::copy_n(cursor_, count, out);
    cursor_ += count;
    out += count;
    available_ -= static_cast<unsigned>(k);
    got += k;
  }
  return got;
}

void MyFLACDecoder::SeekTo(long long frame) {
  available_ = 0;
  lost_ = frame < 0 || frame >= frameCount_ || !seek_absolute(static_cast<FLAC__uint64>(frame));
  // A failed seek leaves the library in its seek-error state, in which it refuses every
  // later seek; a flush makes it seekable again.
  if (static_cast<::FLAC__StreamDecoderState>(get_state()) == FLAC__STREAM_DECODER_SEEK_ERROR) flush();
  // The library may have decoded the target block and then failed; nothing of it counts.
  if (lost_) available_ = 0;
}

namespace {

// Only regular files: opening a FIFO for reading would block until a writer appears.
UniqueFd OpenRegular(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!fd || fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    throw std::runtime_error("error initializing FLAC decoder");
  }
  return fd;
}

}  // namespace

FLACDecoder::FLACDecoder(const std::string& path) : FLACDecoder(OpenRegular(path)) {}

FLACDecoder::FLACDecoder(UniqueFd fd) : position_(0), decoder_(std::make_unique<MyFLACDecoder>()) {
  if (!decoder_->is_valid()) throw std::runtime_error("error allocating FLAC decoder");
  if (!decoder_->set_metadata_respond_application(kRiffId) || !decoder_->set_metadata_respond_application(kAiffId)) {
    throw std::runtime_error("set_metadata_respond returned false");
  }
  // init(FILE*) gives the stream to libFLAC, which closes it when the decoder finishes
  // (also after a failed init).
  FILE* file = fd ? fdopen(fd.Get(), "rb") : nullptr;
  if (!file) throw std::runtime_error("error initializing FLAC decoder");
  fd.Release();
  if (decoder_->init(file) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
    throw std::runtime_error("error initializing FLAC decoder");
  }
  if (!decoder_->process_until_end_of_metadata()) throw std::runtime_error("error processing FLAC metadata");
  if (decoder_->channels_ == 0 || decoder_->frameCount_ == 0 || decoder_->sampleRate_ == 0.0 ||
      decoder_->sampleSize_ == 0 || decoder_->sampleSize_ > kMaxSampleSize) {
    throw std::runtime_error("FLAC metadata not found");
  }
}

FLACDecoder::~FLACDecoder() = default;

int FLACDecoder::ChannelCount() const { return static_cast<int>(decoder_->channels_); }

double FLACDecoder::FrameRate() const { return decoder_->sampleRate_; }

long long FLACDecoder::FrameCount() const { return decoder_->frameCount_; }

int FLACDecoder::SampleSize() const { return static_cast<int>(decoder_->sampleSize_); }

unsigned FLACDecoder::CountChunks() const { return static_cast<unsigned>(decoder_->chunks_.size()); }

const std::string& FLACDecoder::Chunk(int i) const { return decoder_->chunks_[static_cast<size_t>(i)]; }

int FLACDecoder::GetSamples(float* out, int frames) {
  const int got = decoder_->GetSamples(out, frames);
  position_ += got;
  return got;
}

void FLACDecoder::Seek(long long frame) {
  if (frame == position_ && !decoder_->Lost()) return;
  position_ = frame;
  decoder_->SeekTo(frame);
}

}  // namespace Vantor
