// FLAC decoding through libFLAC++: MyFLACDecoder feeds the library from a descriptor,
// receives its callbacks and holds one decoded FLAC block with the frame position its
// header names; FLACDecoder is the facade the core uses.
#include "audio/FLACDecode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <FLAC++/decoder.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "audio/FileIO.h"

namespace Vantor {

namespace {

const FLAC__byte kRiffId[4] = {'r', 'i', 'f', 'f'};
const FLAC__byte kAiffId[4] = {'a', 'i', 'f', 'f'};

// The largest block a frame header can describe, and the longest frame header.
constexpr long long kMaxBlockFrames = 65536;
constexpr std::size_t kMaxHeaderBytes = 16;
// Bytes read at once while looking for the last frame from the end of the file.
constexpr long long kScanWindow = 64 * 1024;

// The fewest bytes a frame of this many channels can take: a 6-byte header (sync and
// codes, one byte of frame number, CRC-8), a subframe of at least 9 bits per channel
// (its 8-bit header and one bit of a constant value), and the 2-byte CRC-16.
long long MinFrameBytes(unsigned channels) { return 6 + (9 * static_cast<long long>(channels) + 7) / 8 + 2; }

// The most frames audioBytes of frames can hold even if every frame were the smallest
// possible one at the largest block size.
long long MaxFramesIn(long long audioBytes, unsigned channels) {
  if (audioBytes <= 0) return 0;
  const long long frames = (audioBytes + MinFrameBytes(channels) - 1) / MinFrameBytes(channels);
  return frames > (1LL << 46) ? 1LL << 62 : frames * kMaxBlockFrames;
}

unsigned char Crc8(const unsigned char* p, std::size_t n) {
  unsigned crc = 0;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 0x80) ? ((crc << 1) ^ 0x07) & 0xFF : (crc << 1) & 0xFF;
  }
  return static_cast<unsigned char>(crc);
}

// What the scan for the last frame needs of a frame header.
struct FrameHeader {
  bool variable = false;  // the number counts samples (variable block size), else frames
  unsigned long long number = 0;
  unsigned blockFrames = 0;
  unsigned channels = 0;
  unsigned bits = 0;  // 0: as STREAMINFO says
  unsigned rate = 0;  // 0: as STREAMINFO says
};

// Parses the frame header at p (n bytes available), checking its CRC-8. False when the
// bytes are not a frame header.
bool ParseFrameHeader(const unsigned char* p, std::size_t n, FrameHeader& h) {
  if (n < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8) return false;
  h.variable = p[1] & 1;
  const unsigned sizeCode = p[2] >> 4, rateCode = p[2] & 0x0F;
  const unsigned channelCode = p[3] >> 4, bitsCode = (p[3] >> 1) & 7;
  if (sizeCode == 0 || rateCode == 15 || channelCode > 10 || bitsCode == 3 || (p[3] & 1)) return false;
  static const unsigned kBits[8] = {0, 8, 12, 0, 16, 20, 24, 32};
  static const unsigned kRates[12] = {0, 88200, 176400, 192000, 8000, 16000, 22050, 24000, 32000, 44100, 48000, 96000};
  h.channels = channelCode < 8 ? channelCode + 1 : 2;
  h.bits = kBits[bitsCode];
  std::size_t at = 4;
  // The frame or sample number, UTF-8 style: up to 7 bytes.
  const unsigned lead = p[at++];
  int extra = 0;
  if (lead < 0x80) {
    h.number = lead;
  } else if (lead >= 0xC0 && lead < 0xFE) {
    extra = lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF8 ? 3 : lead < 0xFC ? 4 : 5;
    h.number = lead & (0x3F >> extra);
  } else if (lead == 0xFE) {
    extra = 6;
    h.number = 0;
  } else {
    return false;
  }
  for (int i = 0; i < extra; ++i) {
    if (at >= n || (p[at] & 0xC0) != 0x80) return false;
    h.number = (h.number << 6) | (p[at++] & 0x3F);
  }
  if (!h.variable && extra > 5) return false;  // frame numbers have at most 31 bits
  if (sizeCode == 1) {
    h.blockFrames = 192;
  } else if (sizeCode <= 5) {
    h.blockFrames = 576u << (sizeCode - 2);
  } else if (sizeCode <= 7) {
    const std::size_t bytes = sizeCode == 6 ? 1 : 2;
    if (at + bytes > n) return false;
    h.blockFrames = (bytes == 1 ? p[at] : (p[at] << 8 | p[at + 1])) + 1u;
    at += bytes;
  } else {
    h.blockFrames = 256u << (sizeCode - 8);
  }
  if (rateCode < 12) {
    h.rate = kRates[rateCode];
  } else {
    const std::size_t bytes = rateCode == 12 ? 1 : 2;
    if (at + bytes > n) return false;
    const unsigned v = bytes == 1 ? p[at] : (p[at] << 8 | p[at + 1]);
    h.rate = rateCode == 12 ? v * 1000 : rateCode == 13 ? v : v * 10;
    at += bytes;
  }
  return at < n && Crc8(p, at) == p[at];
}

}  // namespace

class MyFLACDecoder : public FLAC::Decoder::Stream {
 public:
  explicit MyFLACDecoder(UniqueFd fd) : fd_(std::move(fd)) {}
  ~MyFLACDecoder() override = default;
  MyFLACDecoder(const MyFLACDecoder&) = delete;
  MyFLACDecoder& operator=(const MyFLACDecoder&) = delete;

  // Reads the metadata and settles the length; throws the facade's messages.
  void Open();
  int GetSamples(int32_t* out, int frames);
  void Seek(long long frame);
  long long Position() const { return position_; }
  bool FramesInOrder();

  unsigned channels_ = 0;
  unsigned sampleRate_ = 0;
  unsigned sampleSize_ = 0;
  long long frameCount_ = 0;
  unsigned minBlock_ = 0, maxBlock_ = 0;
  std::vector<std::string> chunks_;
  std::vector<std::pair<std::string, std::string>> comments_;

 protected:
  ::FLAC__StreamDecoderReadStatus read_callback(FLAC__byte buffer[], size_t* bytes) override;
  ::FLAC__StreamDecoderSeekStatus seek_callback(FLAC__uint64 absolute_byte_offset) override;
  ::FLAC__StreamDecoderTellStatus tell_callback(FLAC__uint64* absolute_byte_offset) override;
  ::FLAC__StreamDecoderLengthStatus length_callback(FLAC__uint64* stream_length) override;
  bool eof_callback() override;
  ::FLAC__StreamDecoderWriteStatus write_callback(const ::FLAC__Frame* frame,
                                                  const FLAC__int32* const buffer[]) override;
  void metadata_callback(const ::FLAC__StreamMetadata* metadata) override;
  void error_callback(::FLAC__StreamDecoderErrorStatus status) override;

 private:
  long long StreamLength() const;
  // Reads every metadata block, from the start of the stream.
  void ReadMetadata();
  // The end of the last frame of the file that decodes; 0 when the file holds no audio
  // bytes. Throws "no FLAC frame found".
  long long FindLength();
  // The end of the last frame in the file that decodes, found from the end; -1 when
  // none does. Leaves the library anywhere.
  long long LastFrameEnd();
  // What one process_single call came to.
  enum class Step { kBlock, kEnd, kDamaged, kFailed };
  Step DecodeStep();
  // The frame header at p when it could belong to this stream.
  bool HeaderAt(const unsigned char* p, std::size_t n, FrameHeader& h) const;
  // The first sample frame of the frame whose header is h: its sample number, or its
  // frame number times the stream's fixed block size; -1 when that size is unknown.
  long long StartOf(const FrameHeader& h);
  // Places the block just decoded from the frame at byte offset where its header says,
  // and goes on behind it; false when the header there does not describe the block.
  bool Accept(long long offset);
  // Decodes the frame at byte offset, and nothing else: true when it decodes cleanly (the
  // block is then buffered and placed).
  bool DecodeAt(long long offset);
  // Goes on decoding from byte offset of the stream.
  void RestartAt(long long offset);
  // Decodes the next block in file order into the buffer, or learns that the stream has
  // none left (streamEnd_). False when reading the file failed.
  bool DecodeBlock();
  // Finds the next frame that decodes from byte offset from on, by its header.
  bool Resync(long long from);
  // The frame header nearest to byte offset at, searching towards bound (forward when
  // bound lies above at, else backward; bound itself excluded), whose frame starts
  // between the given samples; its offset, or -1.
  long long FindHeader(long long at, long long bound, long long lowSample, long long highSample, FrameHeader& h,
                       long long& start);
  // Finds the frame that holds frame by bisection over the frame headers and decodes it.
  // False when no header holds frame or that frame does not decode.
  bool SeekByHeaders(long long frame);

  UniqueFd fd_;
  long long base_ = 0;     // where the stream begins in the file
  long long pos_ = 0;      // the library's read position in the stream
  bool ioError_ = false;   // a read of the file failed
  bool streamInfo_ = false;
  long long firstFrame_ = 0;  // stream offset of the first frame

  // The buffered block: blockFrames_ frames from frame blockStart_ on (none when 0).
  std::vector<int32_t> block_;
  long long blockStart_ = 0;
  long long blockFrames_ = 0;
  bool newBlock_ = false;
  int errors_ = 0;         // errors the library reported since the last step began
  long long resume_ = 0;   // the byte offset where the frame after the last accepted one begins
  long long lastEnd_ = 0;  // where the last block read in file order ends
  // Where the stream's last block ends, once decoding has reached the end of the file
  // (-1 until then): nothing is delivered from there on.
  long long streamEnd_ = -1;
  static constexpr long long kUnknown = -2;
  long long lastFrameEnd_ = kUnknown;  // LastFrameEnd(), once asked
  long long fixedBlock_ = kUnknown;    // the fixed block size of frame numbers, once asked
  long long position_ = 0;             // the frame the next GetSamples delivers
};

long long MyFLACDecoder::StreamLength() const {
  struct stat st;
  if (fstat(fd_.Get(), &st) != 0) return 0;
  return std::max(0LL, static_cast<long long>(st.st_size) - base_);
}

::FLAC__StreamDecoderReadStatus MyFLACDecoder::read_callback(FLAC__byte buffer[], size_t* bytes) {
  ssize_t got;
  do {
    got = pread(fd_.Get(), buffer, *bytes, static_cast<off_t>(base_ + pos_));
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    ioError_ = true;
    *bytes = 0;
    return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
  }
  if (got == 0) {
    *bytes = 0;
    return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
  }
  pos_ += got;
  *bytes = static_cast<size_t>(got);
  return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

::FLAC__StreamDecoderSeekStatus MyFLACDecoder::seek_callback(FLAC__uint64 absolute_byte_offset) {
  pos_ = static_cast<long long>(absolute_byte_offset);
  return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

::FLAC__StreamDecoderTellStatus MyFLACDecoder::tell_callback(FLAC__uint64* absolute_byte_offset) {
  *absolute_byte_offset = static_cast<FLAC__uint64>(pos_);
  return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

::FLAC__StreamDecoderLengthStatus MyFLACDecoder::length_callback(FLAC__uint64* stream_length) {
  *stream_length = static_cast<FLAC__uint64>(StreamLength());
  return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

bool MyFLACDecoder::eof_callback() { return pos_ >= StreamLength(); }

::FLAC__StreamDecoderWriteStatus MyFLACDecoder::write_callback(const ::FLAC__Frame* frame,
                                                               const FLAC__int32* const buffer[]) {
  // One process_single can deliver several blocks (libFLAC puts silence where frames
  // went missing before the block it resynchronised on): the last one is kept, as the
  // places in between are silence here anyway.
  const unsigned n = frame->header.blocksize;
  block_.resize(static_cast<std::size_t>(n) * channels_);
  if (frame->header.channels != channels_ || frame->header.bits_per_sample != sampleSize_) {
    // A block whose layout disagrees with STREAMINFO (only in a damaged stream) cannot
    // be placed in the frame layout everyone else relies on: silence in its place.
    std::fill(block_.begin(), block_.end(), 0);
  } else {
    for (unsigned c = 0; c < channels_; ++c) {
      const FLAC__int32* in = buffer[c];
      int32_t* out = block_.data() + c;
      for (unsigned f = 0; f < n; ++f, out += channels_) *out = in[f];
    }
  }
  // Placed by Accept(), from the frame's own header.
  blockStart_ = static_cast<long long>(frame->header.number.sample_number);
  blockFrames_ = n;
  newBlock_ = true;
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void MyFLACDecoder::metadata_callback(const ::FLAC__StreamMetadata* metadata) {
  if (metadata->type == FLAC__METADATA_TYPE_STREAMINFO) {
    const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
    frameCount_ = static_cast<long long>(info.total_samples);
    sampleRate_ = info.sample_rate;
    channels_ = info.channels;
    sampleSize_ = info.bits_per_sample;
    minBlock_ = info.min_blocksize;
    maxBlock_ = info.max_blocksize;
    streamInfo_ = true;
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
  } else if (metadata->type == FLAC__METADATA_TYPE_VORBIS_COMMENT) {
    const FLAC__StreamMetadata_VorbisComment& vc = metadata->data.vorbis_comment;
    for (FLAC__uint32 i = 0; i < vc.num_comments; ++i) {
      const FLAC__StreamMetadata_VorbisComment_Entry& e = vc.comments[i];
      if (!e.entry) continue;
      const std::string text(reinterpret_cast<const char*>(e.entry), e.length);
      const std::string::size_type eq = text.find('=');
      if (eq != std::string::npos && eq > 0) comments_.emplace_back(text.substr(0, eq), text.substr(eq + 1));
    }
  }
}

void MyFLACDecoder::error_callback(::FLAC__StreamDecoderErrorStatus) {
  // What libFLAC does after an error (resynchronising, standing silence in for what it
  // skipped) depends on where it began to read; the step is redone by Resync instead.
  ++errors_;
}

void MyFLACDecoder::ReadMetadata() {
  chunks_.clear();
  comments_.clear();
  streamInfo_ = false;
  if (!process_until_end_of_metadata()) throw std::runtime_error("error processing FLAC metadata");
  FLAC__uint64 at = 0;
  if (!get_decode_position(&at)) throw std::runtime_error("error processing FLAC metadata");
  firstFrame_ = static_cast<long long>(at);
  resume_ = firstFrame_;
}

void MyFLACDecoder::RestartAt(long long offset) {
  pos_ = offset;
  resume_ = offset;
  ioError_ = false;
  flush();
}

MyFLACDecoder::Step MyFLACDecoder::DecodeStep() {
  // A call that reads neither a frame nor an error (none is known to) is tried again a
  // few times before it counts as damage.
  for (int tries = 0; tries < 4; ++tries) {
    errors_ = 0;
    newBlock_ = false;
    const bool ok = process_single();
    const auto state = static_cast<::FLAC__StreamDecoderState>(get_state());
    if (ioError_ || state == FLAC__STREAM_DECODER_MEMORY_ALLOCATION_ERROR) return Step::kFailed;
    // libFLAC also fails, without an error of its own, on a frame whose damage makes it
    // read past the end of the file.
    if (errors_ > 0 || !ok) return Step::kDamaged;
    if (newBlock_) return Step::kBlock;
    if (state == FLAC__STREAM_DECODER_END_OF_STREAM) return Step::kEnd;
  }
  return Step::kDamaged;
}

bool MyFLACDecoder::HeaderAt(const unsigned char* p, std::size_t n, FrameHeader& h) const {
  return ParseFrameHeader(p, n, h) && h.channels == channels_ && (h.bits == 0 || h.bits == sampleSize_) &&
         (h.rate == 0 || h.rate == sampleRate_);
}

long long MyFLACDecoder::StartOf(const FrameHeader& h) {
  if (h.variable) return static_cast<long long>(h.number);
  if (fixedBlock_ == kUnknown) {
    // By STREAMINFO's block size when it states one, else by the size of the first frame.
    fixedBlock_ = -1;
    FrameHeader first;
    if (minBlock_ == maxBlock_ && minBlock_ > 0) {
      fixedBlock_ = minBlock_;
    } else if (StreamLength() > firstFrame_) {
      const std::string head = ReadAt(fd_.Get(), base_ + firstFrame_,
                                      static_cast<std::size_t>(std::min<long long>(kMaxHeaderBytes, StreamLength() - firstFrame_)));
      if (HeaderAt(reinterpret_cast<const unsigned char*>(head.data()), head.size(), first)) fixedBlock_ = first.blockFrames;
    }
  }
  return fixedBlock_ < 0 ? -1 : static_cast<long long>(h.number) * fixedBlock_;
}

bool MyFLACDecoder::Accept(long long offset) {
  // The block's place comes from its own header, read here rather than taken from
  // libFLAC, which numbers the frames of a stream by what it happened to read before.
  const std::size_t n = static_cast<std::size_t>(std::clamp<long long>(StreamLength() - offset, 0, kMaxHeaderBytes));
  const std::string head = ReadAt(fd_.Get(), base_ + offset, n);
  FrameHeader h;
  if (!HeaderAt(reinterpret_cast<const unsigned char*>(head.data()), head.size(), h) || h.blockFrames != blockFrames_)
    return false;
  const long long start = StartOf(h);
  if (start < 0) return false;
  blockStart_ = start;
  FLAC__uint64 at = 0;
  if (get_decode_position(&at)) resume_ = static_cast<long long>(at);
  lastEnd_ = blockStart_ + blockFrames_;
  return true;
}

bool MyFLACDecoder::DecodeAt(long long offset) {
  RestartAt(offset);
  return DecodeStep() == Step::kBlock && Accept(offset);
}

bool MyFLACDecoder::Resync(long long from) {
  const long long end = StreamLength();
  std::string window;
  for (long long lo = from; lo < end; lo += kScanWindow) {
    const long long stop = std::min(end, lo + kScanWindow + static_cast<long long>(kMaxHeaderBytes));
    window = ReadAt(fd_.Get(), base_ + lo, static_cast<std::size_t>(stop - lo));
    const auto* bytes = reinterpret_cast<const unsigned char*>(window.data());
    for (long long p = lo; p < std::min(end, lo + kScanWindow); ++p) {
      FrameHeader h;
      const std::size_t at = static_cast<std::size_t>(p - lo);
      if (bytes[at] != 0xFF || !HeaderAt(bytes + at, window.size() - at, h)) continue;
      if (DecodeAt(p)) return true;
      if (ioError_) return false;
    }
  }
  blockFrames_ = 0;
  streamEnd_ = lastEnd_;
  return true;
}

bool MyFLACDecoder::DecodeBlock() {
  const long long at = resume_;
  try {
    switch (DecodeStep()) {
      case Step::kBlock:
        if (Accept(at)) return true;
        break;
      case Step::kEnd:
        streamEnd_ = lastEnd_;
        return true;
      case Step::kFailed:
        return false;
      case Step::kDamaged:
        break;
    }
    // The frame at `at` is damaged (or not a frame): the next one is looked for from the
    // byte behind where it begins, so that every frame that decodes is found.
    return Resync(at + 1);
  } catch (const std::runtime_error&) {
    return false;  // the file could not be read
  }
}

long long MyFLACDecoder::LastFrameEnd() {
  if (lastFrameEnd_ != kUnknown) return lastFrameEnd_;
  const long long end = StreamLength();
  std::string window;
  for (long long hi = end; hi > firstFrame_;) {
    const long long lo = std::max(firstFrame_, hi - kScanWindow);
    const long long stop = std::min(end, hi + static_cast<long long>(kMaxHeaderBytes));
    window = ReadAt(fd_.Get(), base_ + lo, static_cast<std::size_t>(stop - lo));
    const auto* bytes = reinterpret_cast<const unsigned char*>(window.data());
    for (long long p = hi - 1; p >= lo; --p) {
      FrameHeader h;
      const std::size_t at = static_cast<std::size_t>(p - lo);
      if (bytes[at] != 0xFF || !HeaderAt(bytes + at, window.size() - at, h)) continue;
      if (DecodeAt(p)) return lastFrameEnd_ = blockStart_ + blockFrames_;
    }
    hi = lo;
  }
  return lastFrameEnd_ = -1;
}

long long MyFLACDecoder::FindLength() {
  if (StreamLength() <= firstFrame_) return 0;
  const long long end = LastFrameEnd();
  if (end < 0) throw std::runtime_error("no FLAC frame found");
  return end;
}

void MyFLACDecoder::Open() {
  struct stat st;
  if (!fd_ || fstat(fd_.Get(), &st) != 0 || !S_ISREG(st.st_mode)) throw std::runtime_error("error initializing FLAC decoder");
  base_ = std::max<long long>(0, lseek(fd_.Get(), 0, SEEK_CUR));
  if (!is_valid()) throw std::runtime_error("error allocating FLAC decoder");
  if (!set_metadata_respond_application(kRiffId) || !set_metadata_respond_application(kAiffId) ||
      !set_metadata_respond(FLAC__METADATA_TYPE_VORBIS_COMMENT)) {
    throw std::runtime_error("set_metadata_respond returned false");
  }
  // init() hands the library the callbacks above, which read the descriptor with pread.
  if (init() != FLAC__STREAM_DECODER_INIT_STATUS_OK) throw std::runtime_error("error initializing FLAC decoder");
  ReadMetadata();
  if (!streamInfo_ || channels_ == 0 || sampleRate_ == 0 || sampleSize_ < 4 || sampleSize_ > 32) {
    throw std::runtime_error("FLAC metadata not found");
  }
  // A stream written to a pipe states no length; a damaged or hostile STREAMINFO may
  // state more frames than the file could hold even as the smallest frames there are.
  if (frameCount_ > 0 && frameCount_ <= MaxFramesIn(StreamLength() - firstFrame_, channels_)) return;
  frameCount_ = FindLength();
  // Back to the first frame; the scan's restarts said nothing about the end of the stream.
  RestartAt(firstFrame_);
  blockFrames_ = 0;
  lastEnd_ = 0;
  streamEnd_ = -1;
}

int MyFLACDecoder::GetSamples(int32_t* out, int frames) {
  const long long want = std::clamp<long long>(frameCount_ - position_, 0, std::max(frames, 0));
  long long done = 0;
  while (done < want) {
    const long long at = position_ + done;
    int32_t* to = out + done * channels_;
    if (blockFrames_ > 0 && blockStart_ <= at && at < blockStart_ + blockFrames_) {
      const long long k = std::min(want - done, blockStart_ + blockFrames_ - at);
      std::copy_n(block_.data() + (at - blockStart_) * channels_, k * channels_, to);
      done += k;
    } else if (blockFrames_ > 0 && blockStart_ > at) {
      // Frames the stream skipped (damaged or missing): silence in their place.
      const long long k = std::min(want - done, blockStart_ - at);
      std::fill_n(to, k * channels_, 0);
      done += k;
    } else if ((streamEnd_ >= 0 && at >= streamEnd_) || !DecodeBlock()) {
      break;
    }
  }
  position_ += done;
  return static_cast<int>(done);
}

long long MyFLACDecoder::FindHeader(long long at, long long bound, long long lowSample, long long highSample,
                                    FrameHeader& h, long long& start) {
  // A frame is at most a few megabytes long; beyond that the search gives up.
  const bool forward = bound > at;
  const long long limit = forward ? std::min(bound, at + 64 * kScanWindow) : std::max(bound + 1, at - 64 * kScanWindow);
  std::string window;
  for (long long edge = at; forward ? edge < limit : edge >= limit; edge += forward ? kScanWindow : -kScanWindow) {
    // The positions [first, last] of this window, and the bytes to read for them.
    const long long first = forward ? edge : std::max(limit, edge - kScanWindow + 1);
    const long long last = forward ? std::min(limit, edge + kScanWindow) - 1 : edge;
    const long long stop = std::min(StreamLength(), last + 1 + static_cast<long long>(kMaxHeaderBytes));
    if (stop <= first) break;
    window = ReadAt(fd_.Get(), base_ + first, static_cast<std::size_t>(stop - first));
    const auto* bytes = reinterpret_cast<const unsigned char*>(window.data());
    for (long long p = forward ? first : last; forward ? p <= last : p >= first; p += forward ? 1 : -1) {
      const std::size_t i = static_cast<std::size_t>(p - first);
      if (i >= window.size() || bytes[i] != 0xFF || !HeaderAt(bytes + i, window.size() - i, h)) continue;
      start = StartOf(h);
      if (start >= lowSample && start <= highSample) return p;
    }
  }
  return -1;
}

bool MyFLACDecoder::SeekByHeaders(long long frame) {
  long long lo = firstFrame_, hi = StreamLength(), loSample = 0, hiSample = frameCount_;
  for (int step = 0; step < 64 && lo < hi; ++step) {
    // Where frame would lie if the frames between the bounds were all alike; halfway
    // after a few steps, so that the search ends whatever the frame sizes.
    double share = 0.5;
    if (step < 16 && hiSample > loSample)
      share = static_cast<double>(frame - loSample) / static_cast<double>(hiSample - loSample);
    const long long at = std::clamp(lo + static_cast<long long>(share * static_cast<double>(hi - lo)), lo, hi - 1);
    // The frame there: the nearest header at or before it, else the next one.
    FrameHeader h;
    long long start = 0;
    long long p = FindHeader(at, lo - 1, loSample, hiSample, h, start);
    if (p < 0) p = FindHeader(at, hi, loSample, hiSample, h, start);
    if (p < 0) return false;
    if (start > frame) {
      hi = p;
      hiSample = start;
    } else if (frame < start + h.blockFrames) {
      // A damaged frame may also stand in for one the forward read found elsewhere (a
      // copy): only that read can say what is there.
      return DecodeAt(p);
    } else {
      lo = p + 1;
      loSample = start + h.blockFrames;
    }
  }
  return false;
}

void MyFLACDecoder::Seek(long long frame) {
  if (frame == position_) return;
  position_ = frame;
  if (frame < 0 || frame >= frameCount_ || (streamEnd_ >= 0 && frame >= streamEnd_)) return;
  // Inside the buffered block, or a little ahead of it: reading on gets there.
  if (blockFrames_ > 0 && frame >= blockStart_ && frame < blockStart_ + blockFrames_ + 2 * kMaxBlockFrames &&
      !ioError_) {
    return;
  }
  blockFrames_ = 0;
  ioError_ = false;
  // The frame's own header, found by bisection; past the last frame that decodes (a file
  // cut short) there is nothing to read; else reading on from the first frame puts every
  // block where a read from the start puts it (a damaged stream).
  try {
    if (SeekByHeaders(frame)) return;
    const long long last = LastFrameEnd();
    if (last >= 0 && frame >= last) {
      streamEnd_ = last;
      return;
    }
  } catch (const std::runtime_error&) {
    // The file could not be read here: reading on fails the same way.
  }
  RestartAt(firstFrame_);
  blockFrames_ = 0;
  lastEnd_ = 0;
}

bool MyFLACDecoder::FramesInOrder() {
  // Every frame header of the file, damaged frames' included, in file order.
  long long end = 0;
  try {
    std::string window;
    for (long long lo = firstFrame_; lo < StreamLength(); lo += kScanWindow) {
      const long long stop = std::min(StreamLength(), lo + kScanWindow + static_cast<long long>(kMaxHeaderBytes));
      window = ReadAt(fd_.Get(), base_ + lo, static_cast<std::size_t>(stop - lo));
      const auto* bytes = reinterpret_cast<const unsigned char*>(window.data());
      for (long long p = lo; p < std::min(StreamLength(), lo + kScanWindow); ++p) {
        FrameHeader h;
        const std::size_t at = static_cast<std::size_t>(p - lo);
        if (bytes[at] != 0xFF || !HeaderAt(bytes + at, window.size() - at, h)) continue;
        const long long start = StartOf(h);
        if (start < end) return false;
        end = start + h.blockFrames;
      }
    }
  } catch (const std::runtime_error&) {
    return false;
  }
  return true;
}

FLACDecoder::FLACDecoder(UniqueFd fd) : decoder_(std::make_unique<MyFLACDecoder>(std::move(fd))) { decoder_->Open(); }

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

FLACDecoder::~FLACDecoder() = default;

int FLACDecoder::ChannelCount() const { return static_cast<int>(decoder_->channels_); }

double FLACDecoder::FrameRate() const { return decoder_->sampleRate_; }

long long FLACDecoder::FrameCount() const { return decoder_->frameCount_; }

int FLACDecoder::SampleSize() const { return static_cast<int>(decoder_->sampleSize_); }

unsigned FLACDecoder::CountChunks() const { return static_cast<unsigned>(decoder_->chunks_.size()); }

const std::string& FLACDecoder::Chunk(int i) const { return decoder_->chunks_[static_cast<size_t>(i)]; }

const std::vector<std::pair<std::string, std::string>>& FLACDecoder::Comments() const { return decoder_->comments_; }

int FLACDecoder::GetSamples(int32_t* out, int frames) { return decoder_->GetSamples(out, frames); }

void FLACDecoder::Seek(long long frame) { decoder_->Seek(frame); }

long long FLACDecoder::Position() const { return decoder_->Position(); }

bool FLACDecoder::FramesInOrder() const { return decoder_->FramesInOrder(); }

}  // namespace Vantor
