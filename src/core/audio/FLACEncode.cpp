// FLACEncoder over libFLAC++'s file encoder, and the encoding side's process-wide
// settings (compression level, count of running conversions).
#include "audio/FLACEncode.h"

#include <FLAC++/encoder.h>
#include <FLAC/metadata.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

std::atomic<int> flacCompression{5};
std::atomic<int> encoding{0};
// Guards every change of `encoding`; taken alone, never while another lock is held,
// and never across a conversion.
Vantor::Mutex encodingMutex_;

void SetCompression(int level) { flacCompression = level; }

bool IsEncoding() { return encoding.load() != 0; }

namespace Vantor::Audio {

namespace {

// A metadata block's length field has 24 bits; the block holds the 4-byte id too.
constexpr std::size_t kMaxApplicationData = (std::size_t{1} << 24) - 1 - 4;
constexpr int kMaxBits = 24;

}  // namespace

struct FLACEncoder::Impl {
  int channels = 0;
  int bits = 0;
  // Owned; freed only after the encoder is gone, as the encoder points at them.
  std::vector<FLAC__StreamMetadata*> metadata;
  std::unique_ptr<FLAC::Encoder::File> file;
  std::vector<FLAC__int32> samples;

  ~Impl() {
    // Deleting an encoder that was never finished finishes it first; the blocks
    // must still exist then.
    file.reset();
    for (FLAC__StreamMetadata* block : metadata) FLAC__metadata_object_delete(block);
  }
};

FLACEncoder::FLACEncoder(int fd, int compression, int bitsPerSample, int channels,
                         double sampleRate, long long totalFrames, const std::vector<std::string>& chunks)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.channels = channels;
  d.bits = bitsPerSample;
  d.file = std::make_unique<FLAC::Encoder::File>();
  if (!d.file->is_valid()) throw std::runtime_error("couldn't initialize flac encoder");

  // Every setter is called, whatever the others returned.
  bool ok = d.file->set_compression_level(static_cast<unsigned>(compression));
  ok = d.file->set_channels(static_cast<unsigned>(channels)) && ok;
  ok = d.file->set_bits_per_sample(static_cast<unsigned>(bitsPerSample)) && ok;
  unsigned rate = sampleRate > 0.0 && sampleRate < 4294967296.0 ? static_cast<unsigned>(sampleRate) : 0;
  ok = d.file->set_sample_rate(rate) && ok;
  ok = d.file->set_total_samples_estimate(totalFrames > 0 ? static_cast<FLAC__uint64>(totalFrames) : 0) && ok;
  if (!ok) throw std::runtime_error("couldn't setup flac encoder");

  d.metadata.reserve(chunks.size());
  for (const std::string& chunk : chunks) {
    // A longer element would overflow the block's length field and corrupt the file.
    if (chunk.size() > kMaxApplicationData) throw std::runtime_error("couldn't set flac metadata");
    FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_APPLICATION);
    if (!block) throw std::runtime_error("couldn't set flac metadata");
    d.metadata.push_back(block);
    std::memcpy(block->data.application.id, "riff", 4);
    // copy = true: the library copies the bytes and never writes through the pointer.
    auto* bytes = reinterpret_cast<FLAC__byte*>(const_cast<char*>(chunk.data()));
    if (!FLAC__metadata_object_application_set_data(block, bytes, static_cast<unsigned>(chunk.size()), true))
      throw std::runtime_error("couldn't set flac metadata");
  }
  if (!d.file->set_metadata(d.metadata.data(), static_cast<unsigned>(d.metadata.size())))
    throw std::runtime_error("couldn't set flac metadata");

  // Samples arrive as floats, whose 24-bit mantissa carries no deeper integer exactly;
  // refused as the library itself refuses a depth it cannot take.
  FLAC__StreamEncoderInitStatus status = FLAC__STREAM_ENCODER_INIT_STATUS_INVALID_BITS_PER_SAMPLE;
  if (bitsPerSample <= kMaxBits) {
    // init(FILE*) gives the stream to libFLAC, which closes it when the encoder finishes
    // (also after a failed init); the stream has a descriptor of its own, so the
    // caller's fd stays open.
    FILE* file = nullptr;
    const int copy = lseek(fd, 0, SEEK_SET) == 0 ? dup(fd) : -1;
    if (copy >= 0 && !(file = fdopen(copy, "w+b"))) close(copy);
    status = file ? d.file->init(file) : FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR;
  }
  if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
    std::fprintf(stderr, "ERROR: initializing encoder: %s\n", FLAC__StreamEncoderInitStatusString[status]);
    throw std::runtime_error("couldn't init flac encoder");
  }
}

FLACEncoder::~FLACEncoder() = default;

void FLACEncoder::Encode(float* samples, int frames) {
  Impl& d = *impl_;
  const double scale = static_cast<double>(1LL << (d.bits - 1));
  const std::size_t count = static_cast<std::size_t>(frames) * static_cast<std::size_t>(d.channels);
  d.samples.resize(count);
  // Integer sources arrive as value / 2^(bits-1), so each product is an exact integer.
  for (std::size_t i = 0; i < count; ++i)
    d.samples[i] = static_cast<FLAC__int32>(static_cast<double>(samples[i]) * scale);
  if (!d.file->process_interleaved(d.samples.data(), static_cast<unsigned>(frames)))
    throw std::runtime_error("failed encoding flac");
}

void FLACEncoder::Finish() {
  if (!impl_->file->finish()) throw std::runtime_error("failed finishing flac export");
}

}  // namespace Vantor::Audio
