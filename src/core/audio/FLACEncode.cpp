// FLACEncoder over libFLAC++'s file encoder, and the encoding side's process-wide
// settings (compression level, count of running conversions).
#include "audio/FLACEncode.h"

#include <FLAC++/encoder.h>
#include <FLAC/metadata.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "audio/FLACFrames.h"
#include "audio/InfoTags.h"

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
// Beyond these the stream leaves FLAC's streamable subset, which libFLAC must be told.
constexpr int kSubsetBits = 24;
constexpr unsigned kSubsetRate = 655350;

// The Vorbis comment block for the tags of the chunk list's LIST/INFO chunk; null when
// the tags option is off or there are none.
FLAC__StreamMetadata* CommentsFor(const std::vector<std::string>& chunks) {
  if (!TagsEnabled()) return nullptr;
  Comments comments;
  for (const std::string& chunk : chunks) {
    for (auto& c : InfoComments(chunk)) comments.push_back(std::move(c));
  }
  if (comments.empty()) return nullptr;
  FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
  for (const auto& [name, value] : comments) {
    FLAC__StreamMetadata_VorbisComment_Entry entry;
    if (block && FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, name.c_str(), value.c_str()) &&
        FLAC__metadata_object_vorbiscomment_append_comment(block, entry, false)) {
      continue;
    }
    // Only when memory runs out: stored without tags rather than not at all.
    if (block) FLAC__metadata_object_delete(block);
    return nullptr;
  }
  return block;
}

}  // namespace

}  // namespace Vantor::Audio

// Exported by libFLAC (for its own tests) but declared only in its private headers: a
// part's encoder leaves the signature of the audio to the caller, who computes it once
// for the whole stream.
extern "C" FLAC__bool FLAC__stream_encoder_set_do_md5(FLAC__StreamEncoder* encoder, FLAC__bool value);

namespace Vantor::Audio {

namespace {

// The encoder of one part: its frames, renumbered, go to the sink; its metadata goes to
// head (the first part) or nowhere.
class PartStream : public FLAC::Encoder::Stream {
 public:
  PartStream(FLACEncoder::FrameSink sink, std::uint64_t add, std::string* head)
      : sink_(std::move(sink)), add_(add), head_(head) {}
  bool SkipSignature() { return FLAC__stream_encoder_set_do_md5(encoder_, false); }

 protected:
  ::FLAC__StreamEncoderWriteStatus write_callback(const FLAC__byte buffer[], size_t bytes, uint32_t samples,
                                                  uint32_t) override {
    // The library hands over one whole frame per call, with its sample count; metadata
    // comes with a count of 0, all of it before the first frame.
    try {
      if (samples == 0) {
        if (head_ && !framing_) head_->append(reinterpret_cast<const char*>(buffer), bytes);
        return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
      }
      framing_ = true;
      if (add_ == 0) {
        sink_(buffer, bytes, samples);
      } else {
        if (!RenumberFrame(buffer, bytes, add_, frame_)) return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
        sink_(frame_.data(), frame_.size(), samples);
      }
    } catch (...) {
      return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    }
    return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
  }

 private:
  FLACEncoder::FrameSink sink_;
  std::uint64_t add_;
  std::string* head_;
  bool framing_ = false;
  std::vector<FLAC__byte> frame_;
};

}  // namespace

struct FLACEncoder::Impl {
  int channels = 0;
  int bits = 0;
  // Owned; freed only after the encoder is gone, as the encoder points at them.
  std::vector<FLAC__StreamMetadata*> metadata;
  std::unique_ptr<FLAC::Encoder::Stream> file;  // a FLAC::Encoder::File or a PartStream

  ~Impl() {
    // Deleting an encoder that was never finished finishes it first; the blocks
    // must still exist then.
    file.reset();
    for (FLAC__StreamMetadata* block : metadata) FLAC__metadata_object_delete(block);
  }

  // The stream's format and level; every setter is called, whatever the others returned.
  bool Configure(int compression, double sampleRate) {
    bool ok = file->set_compression_level(static_cast<unsigned>(compression));
    ok = file->set_channels(static_cast<unsigned>(channels)) && ok;
    ok = file->set_bits_per_sample(static_cast<unsigned>(bits)) && ok;
    unsigned rate = sampleRate > 0.0 && sampleRate < 4294967296.0 ? static_cast<unsigned>(sampleRate) : 0;
    ok = file->set_sample_rate(rate) && ok;
    if (bits > kSubsetBits || rate > kSubsetRate) ok = file->set_streamable_subset(false) && ok;
    return ok;
  }

  // The Vorbis comments of chunks' tags, then each chunk as a "riff" block.
  void AddChunks(const std::vector<std::string>& chunks) {
    if (FLAC__StreamMetadata* comments = CommentsFor(chunks)) metadata.push_back(comments);
    for (const std::string& chunk : chunks) {
      // A longer element would overflow the block's length field and corrupt the file.
      if (chunk.size() > kMaxApplicationData) throw std::runtime_error("couldn't set flac metadata");
      FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_APPLICATION);
      if (!block) throw std::runtime_error("couldn't set flac metadata");
      metadata.push_back(block);
      std::memcpy(block->data.application.id, "riff", 4);
      // copy = true: the library copies the bytes and never writes through the pointer.
      auto* bytes = reinterpret_cast<FLAC__byte*>(const_cast<char*>(chunk.data()));
      if (!FLAC__metadata_object_application_set_data(block, bytes, static_cast<unsigned>(chunk.size()), true))
        throw std::runtime_error("couldn't set flac metadata");
    }
    if (!file->set_metadata(metadata.data(), static_cast<unsigned>(metadata.size())))
      throw std::runtime_error("couldn't set flac metadata");
  }
};

FLACEncoder::FLACEncoder(int fd, int compression, int bitsPerSample, int channels,
                         double sampleRate, long long totalFrames, const std::vector<std::string>& chunks)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.channels = channels;
  d.bits = bitsPerSample;
  auto own = std::make_unique<FLAC::Encoder::File>();
  FLAC::Encoder::File& f = *own;
  d.file = std::move(own);
  if (!d.file->is_valid()) throw std::runtime_error("couldn't initialize flac encoder");

  bool ok = d.Configure(compression, sampleRate);
  ok = d.file->set_total_samples_estimate(totalFrames > 0 ? static_cast<FLAC__uint64>(totalFrames) : 0) && ok;
  if (!ok) throw std::runtime_error("couldn't setup flac encoder");
  d.metadata.reserve(chunks.size() + 1);
  d.AddChunks(chunks);

  // init(FILE*) gives the stream to libFLAC, which closes it when the encoder finishes
  // (also after a failed init); the stream has a descriptor of its own, so the
  // caller's fd stays open.
  FILE* file = nullptr;
  const int copy = lseek(fd, 0, SEEK_SET) == 0 ? dup(fd) : -1;
  if (copy >= 0 && !(file = fdopen(copy, "w+b"))) close(copy);
  const FLAC__StreamEncoderInitStatus status = file ? f.init(file) : FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR;
  if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
    std::fprintf(stderr, "ERROR: initializing encoder: %s\n", FLAC__StreamEncoderInitStatusString[status]);
    throw std::runtime_error("couldn't init flac encoder");
  }
}

FLACEncoder::FLACEncoder(FrameSink sink, long long firstFrame, int compression, int bitsPerSample, int channels,
                         double sampleRate, const std::vector<std::string>& chunks, unsigned seekPoints,
                         std::string* head)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.channels = channels;
  d.bits = bitsPerSample;
  const int block = BlockSize(compression);
  if (firstFrame < 0 || block <= 0 || firstFrame % block != 0) throw std::runtime_error("couldn't setup flac encoder");
  auto part = std::make_unique<PartStream>(std::move(sink), static_cast<std::uint64_t>(firstFrame / block), head);
  PartStream& stream = *part;
  d.file = std::move(part);
  if (!d.file->is_valid()) throw std::runtime_error("couldn't initialize flac encoder");

  // The settings of the single stream, so that every frame comes out as it would there.
  bool ok = d.Configure(compression, sampleRate);
  ok = stream.SkipSignature() && ok;
  if (!ok) throw std::runtime_error("couldn't setup flac encoder");

  if (head) {
    FLAC__StreamMetadata* table = FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE);
    if (!table) throw std::runtime_error("couldn't set flac metadata");
    d.metadata.push_back(table);
    if (!FLAC__metadata_object_seektable_template_append_placeholders(table, seekPoints))
      throw std::runtime_error("couldn't set flac metadata");
    d.AddChunks(chunks);
  }
  const FLAC__StreamEncoderInitStatus status = stream.init();
  if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
    std::fprintf(stderr, "ERROR: initializing encoder: %s\n", FLAC__StreamEncoderInitStatusString[status]);
    throw std::runtime_error("couldn't init flac encoder");
  }
}

FLACEncoder::~FLACEncoder() = default;

int FLACEncoder::BlockSize(int compression) {
  FLAC__StreamEncoder* probe = FLAC__stream_encoder_new();
  if (!probe) return 0;
  int block = 0;
  if (FLAC__stream_encoder_set_compression_level(probe, static_cast<unsigned>(compression))) {
    block = static_cast<int>(FLAC__stream_encoder_get_blocksize(probe));
    // 0 leaves the choice to init, which takes 1152 without LPC and 4096 with it.
    if (block == 0) block = FLAC__stream_encoder_get_max_lpc_order(probe) == 0 ? 1152 : 4096;
  }
  FLAC__stream_encoder_delete(probe);
  return block;
}

void FLACEncoder::Encode(const int32_t* samples, int frames) {
  Impl& d = *impl_;
  if (!d.file->process_interleaved(samples, static_cast<unsigned>(frames)))
    throw std::runtime_error("failed encoding flac");
}

void FLACEncoder::Finish() {
  if (!impl_->file->finish()) throw std::runtime_error("failed finishing flac export");
}

}  // namespace Vantor::Audio
