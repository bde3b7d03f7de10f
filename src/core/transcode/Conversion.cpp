// WAV to FLAC conversion: the audio file reader gives the chunk list and the frames as
// integers, and the FLAC encoder writes them: in one stream, or, for a long file, in
// parts at once on several threads, joined into one stream.
#include "transcode/Conversion.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <exception>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "audio/AudioFileReader.h"
#include "audio/FLACEncode.h"
#include "audio/FLACFrames.h"
#include "audio/MD5.h"
#include "audio/FileIO.h"
#include "audio/WAVFile.h"
#include "transcode/Commit.h"
#include "transcode/Events.h"
#include "transcode/Mutex.h"
#include "transcode/UniqueFd.h"

namespace Vantor {

namespace {

constexpr unsigned long kBlockFrames = 4096;

// Lowers the encoding counter when a conversion ends, whatever the outcome.
class EncodingCount {
 public:
  explicit EncodingCount(std::string name) : name_(std::move(name)) {
    Lock lock(encodingMutex_);
    ++encoding;
  }
  ~EncodingCount() {
    ConversionEvent ended;
    ended.kind = ConversionEvent::Kind::kEnded;
    ended.name = name_;
    ReportConversion(ended);
    try {
      Lock lock(encodingMutex_);
      --encoding;
    } catch (const std::exception&) {
      // The mutex is not held by this thread and is intact; nothing can be done here.
    }
  }
  EncodingCount(const EncodingCount&) = delete;
  EncodingCount& operator=(const EncodingCount&) = delete;

 private:
  std::string name_;
};

// How files are split for encoding (SetEncodeSplit).
std::atomic<int> splitParts{0};
std::atomic<long long> splitMinFrames{-1};
constexpr int kMaxParts = 8;
// Seconds of audio from which a file is encoded in parts, and between two seek points.
constexpr long long kSplitSeconds = 5;
constexpr long long kSeekSeconds = 10;

// Progress of one conversion, reported in whole percents from any of its threads.
class Progress {
 public:
  Progress(const std::string& name, long long frames) : name_(name), frames_(frames) { Add(0); }
  void Add(long long n) {
    const long long done = done_ += n;
    const int percent = static_cast<int>(100 * std::min(done, frames_) / std::max(frames_, 1LL));
    int reported = reported_.load();
    while (percent > reported) {
      if (reported_.compare_exchange_weak(reported, percent)) {
        ConversionEvent progress;
        progress.name = name_;
        progress.fraction = percent / 100.0;
        ReportConversion(progress);
        return;
      }
    }
  }

 private:
  const std::string name_;
  const long long frames_;
  std::atomic<long long> done_{0};
  std::atomic<int> reported_{-1};  // so that a long file reports at most 101 times
};

// What one encoding needs to know of its source.
struct Source {
  int fd = -1;  // the WAV file, read with pread by every part
  int bits = 0;
  int channels = 0;
  double sampleRate = 0;
  long long frames = 0;
  long long dataOffset = 0;  // of the audio in the WAV file
  bool rawPCM = false;  // whether its data bytes are the samples FLAC's signature covers
};

// Feeds count frames from the reader to the encoder.
void Pump(Audio::AudioFileReader& reader, Audio::FLACEncoder& encoder, long long count, int channels,
          Progress& progress) {
  std::vector<int32_t> buffer(kBlockFrames * static_cast<unsigned long>(channels));
  for (long long remaining = count; remaining != 0;) {
    const int n = static_cast<int>(std::min<long long>(remaining, static_cast<long long>(kBlockFrames)));
    remaining -= n;
    if (reader.Read(buffer.data(), n) != n) throw std::runtime_error("ToFLAC read");
    encoder.Encode(buffer.data(), n);
    progress.Add(n);
  }
}

// Writes all of size bytes at offset.
void WriteAt(int fd, const void* data, size_t size, long long offset) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = pwrite(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("could not write");
    p += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
}

// The signature of the audio as FLAC computes it (each sample little-endian in whole
// bytes, 8-bit ones signed), from the WAV file's data bytes.
std::array<std::uint8_t, 16> AudioSignature(const Source& source) {
  Audio::MD5 md5;
  std::vector<unsigned char> buffer(1 << 20);
  const long long size = source.frames * source.channels * (source.bits / 8);
  for (long long at = 0; at < size;) {
    const size_t want = static_cast<size_t>(std::min<long long>(static_cast<long long>(buffer.size()), size - at));
    const ssize_t n = pread(source.fd, buffer.data(), want, static_cast<off_t>(source.dataOffset + at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("ToFLAC read");
    // 8-bit WAV samples are unsigned.
    if (source.bits == 8) {
      for (ssize_t i = 0; i < n; ++i) buffer[static_cast<size_t>(i)] ^= 0x80;
    }
    md5.Update(buffer.data(), static_cast<size_t>(n));
    at += n;
  }
  return md5.Finish();
}

// One part of a split encoding: its frames go to its own file (the first part's straight
// into the FLAC file, behind the room kept for the metadata).
struct Part {
  long long first = 0;   // sample frame
  long long count = 0;   // sample frames
  int fd = -1;           // where its frames go
  long long base = 0;    // offset of its first frame in fd
  long long bytes = 0;   // frame bytes written
  long long frames = 0;  // sample frames in the frames written
  std::vector<unsigned> sizes;  // bytes of each frame
  std::string head;             // the first part's: the stream's metadata
  std::unique_ptr<UnnamedFile> scratch;
  std::exception_ptr error;
};

void EncodePart(const Source& source, const std::vector<std::string>& chunks, unsigned points, int level, Part& part,
                Progress& progress) {
  try {
    Audio::AudioFileReader reader(source.fd);
    reader.Seek(part.first);
    const bool first = part.first == 0;
    Audio::FLACEncoder encoder(
        [&](const unsigned char* frame, size_t bytes, unsigned frames) {
          WriteAt(part.fd, frame, bytes, part.base + part.bytes);
          part.bytes += static_cast<long long>(bytes);
          part.frames += frames;
          part.sizes.push_back(static_cast<unsigned>(bytes));
        },
        part.first, level, source.bits, source.channels, source.sampleRate, chunks, points,
        first ? &part.head : nullptr);
    // The frames of the first part follow its metadata.
    if (first) part.base = static_cast<long long>(part.head.size());
    Pump(reader, encoder, part.count, source.channels, progress);
    encoder.Finish();
    if (part.frames != part.count) throw std::runtime_error("failed encoding flac");
  } catch (...) {
    part.error = std::current_exception();
  }
}

// Puts the whole stream's STREAMINFO and seek table into the metadata the first part
// wrote, in place of what its encoder knew; false when the metadata is not as expected.
bool CompleteHead(std::string& head, const Audio::StreamInfo& info, const std::vector<Audio::SeekPoint>& points) {
  if (head.size() < 8 || head.compare(0, 4, "fLaC") != 0) return false;
  bool info_done = false, table_done = false;
  for (size_t at = 4; at + 4 <= head.size();) {
    const unsigned char flags = static_cast<unsigned char>(head[at]);
    const size_t length = static_cast<size_t>(static_cast<unsigned char>(head[at + 1])) << 16 |
                          static_cast<size_t>(static_cast<unsigned char>(head[at + 2])) << 8 |
                          static_cast<unsigned char>(head[at + 3]);
    if (at + 4 + length > head.size()) return false;
    const bool last = flags & 0x80;
    std::string block;
    if ((flags & 0x7F) == 0) {
      block = Audio::StreamInfoBlock(info, last);
      info_done = true;
    } else if ((flags & 0x7F) == 3) {
      block = Audio::SeekTableBlock(points, last);
      table_done = true;
    }
    if (!block.empty()) {
      if (block.size() != 4 + length) return false;
      head.replace(at, block.size(), block);
    }
    at += 4 + length;
    if (last) break;
  }
  return info_done && table_done;
}

// The seek points of the joined stream: the frame holding every kSeekSeconds-th second.
std::vector<Audio::SeekPoint> SeekPoints(const Source& source, const std::vector<Part>& parts, long long block,
                                         long long points) {
  std::vector<Audio::SeekPoint> out;
  const long long step = std::max(1LL, static_cast<long long>(source.sampleRate) * kSeekSeconds);
  long long target = 0, frame = 0, offset = 0;
  for (const Part& part : parts) {
    for (size_t k = 0; k < part.sizes.size(); ++k) {
      const long long length = std::min<long long>(block, source.frames - frame);
      if (target < frame + length && static_cast<long long>(out.size()) < points) {
        out.push_back({static_cast<std::uint64_t>(frame), static_cast<std::uint64_t>(offset),
                       static_cast<unsigned>(length)});
        while (target < frame + length) target += step;
      }
      frame += length;
      offset += part.sizes[k];
    }
  }
  // The room kept is filled with placeholders.
  while (static_cast<long long>(out.size()) < points) out.push_back({~std::uint64_t{0}, 0, 0});
  return out;
}

// Encodes the source in parts on as many threads, computes the signature of the audio on
// one more, and joins the parts into one stream with the metadata for the whole.
void EncodeInParts(int flacFd, int scratchDir, const Source& source, int level, const std::vector<std::string>& chunks,
                   int count, Progress& progress) {
  const long long block = Audio::FLACEncoder::BlockSize(level);
  if (block <= 0) throw std::runtime_error("couldn't setup flac encoder");
  // As the single stream refuses them: a metadata block's length has 24 bits.
  for (const std::string& chunk : chunks) {
    if (chunk.size() > (std::size_t{1} << 24) - 1 - 4) throw std::runtime_error("couldn't set flac metadata");
  }
  const long long blocks = (source.frames + block - 1) / block;
  count = static_cast<int>(std::min<long long>(count, blocks));
  // One seek point every kSeekSeconds; the first part's metadata keeps room for them.
  const long long step = std::max(1LL, static_cast<long long>(source.sampleRate) * kSeekSeconds);
  const long long points = std::clamp((source.frames + step - 1) / step, 1LL, ((1LL << 24) - 1) / 18);

  std::vector<Part> parts(static_cast<size_t>(count));
  UniqueFd tmp;
  if (scratchDir < 0) {
    const char* dir = getenv("TMPDIR");
    tmp.Reset(open(dir && *dir ? dir : "/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC));
    scratchDir = tmp.Get();
  }
  for (int k = 0; k < count; ++k) {
    Part& part = parts[static_cast<size_t>(k)];
    part.first = blocks * k / count * block;
    part.count = std::min(blocks * (k + 1) / count * block, source.frames) - part.first;
    if (k == 0) {
      part.fd = flacFd;
    } else {
      part.scratch = std::make_unique<UnnamedFile>(scratchDir);
      if (!part.scratch->Valid()) throw std::runtime_error("could not write");
      part.fd = part.scratch->Fd();
    }
  }

  std::array<std::uint8_t, 16> signature{};
  std::exception_ptr signatureError;
  std::vector<std::thread> threads;
  auto joinAll = [&] {
    for (std::thread& t : threads) t.join();
    threads.clear();
  };
  const unsigned seekPoints = static_cast<unsigned>(points);
  try {
    for (int k = 1; k < count; ++k) {
      threads.emplace_back(EncodePart, std::cref(source), std::cref(chunks), seekPoints, level,
                           std::ref(parts[static_cast<size_t>(k)]), std::ref(progress));
    }
    threads.emplace_back([&] {
      try {
        signature = AudioSignature(source);
      } catch (...) {
        signatureError = std::current_exception();
      }
    });
  } catch (...) {
    joinAll();
    throw;
  }
  EncodePart(source, chunks, seekPoints, level, parts[0], progress);
  joinAll();
  for (const Part& part : parts) {
    if (part.error) std::rethrow_exception(part.error);
  }
  if (signatureError) std::rethrow_exception(signatureError);

  // The later parts follow the first.
  long long end = parts[0].base + parts[0].bytes;
  for (size_t k = 1; k < parts.size(); ++k) {
    off_t in = 0, out = static_cast<off_t>(end);
    for (long long left = parts[k].bytes; left > 0;) {
      ssize_t n = copy_file_range(parts[k].fd, &in, flacFd, &out, static_cast<size_t>(left), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // Across file systems, or where the call is not to be had: through a buffer.
        std::vector<char> buffer(static_cast<size_t>(std::min<long long>(left, 1 << 20)));
        const ssize_t r = pread(parts[k].fd, buffer.data(), buffer.size(), in);
        if (r <= 0) throw std::runtime_error("could not write");
        WriteAt(flacFd, buffer.data(), static_cast<size_t>(r), out);
        in += r;
        out += r;
        n = r;
      }
      left -= n;
    }
    end += parts[k].bytes;
    parts[k].scratch.reset();
  }

  Audio::StreamInfo info;
  info.minBlock = info.maxBlock = static_cast<unsigned>(block);
  info.minFrame = ~0u;
  for (const Part& part : parts) {
    for (unsigned size : part.sizes) {
      info.minFrame = std::min(info.minFrame, size);
      info.maxFrame = std::max(info.maxFrame, size);
    }
  }
  if (info.minFrame == ~0u || info.maxFrame >= (1u << 24)) info.minFrame = info.maxFrame = 0;
  info.sampleRate = static_cast<unsigned>(source.sampleRate);
  info.channels = static_cast<unsigned>(source.channels);
  info.bits = static_cast<unsigned>(source.bits);
  info.totalFrames = static_cast<std::uint64_t>(source.frames);
  info.md5 = signature;
  std::string& head = parts[0].head;
  if (static_cast<long long>(head.size()) != parts[0].base ||
      !CompleteHead(head, info, SeekPoints(source, parts, block, points))) {
    throw std::runtime_error("couldn't set flac metadata");
  }
  WriteAt(flacFd, head.data(), head.size(), 0);
  if (ftruncate(flacFd, end) != 0) throw std::runtime_error("could not write");
}

}  // namespace

void SetEncodeSplit(int parts, long long minFrames) {
  splitParts = parts;
  splitMinFrames = minFrames;
}

void EncodeWAV(int wavFd, int flacFd, const std::string& name, int scratchDir) {
  EncodingCount count(name);
  UniqueFd fd = Reopen(wavFd, O_RDONLY);
  if (!fd) throw std::runtime_error("could not read");
  Audio::AudioFileReader reader(fd.Get());
  Source source;
  source.fd = fd.Get();
  source.bits = reader.BitsPerSample();
  source.channels = reader.Channels();
  source.sampleRate = reader.SampleRate();
  source.frames = reader.FrameCount();
  source.dataOffset = reader.DataOffset();
  // Frames of whole samples, packed: the data bytes are the samples as encoded.
  source.rawPCM = reader.BlockAlign() == source.channels * (source.bits / 8);
  const std::vector<std::string>& chunks = reader.Chunks();
  const int level = flacCompression.load();

  if (ftruncate(flacFd, 0) != 0) throw std::runtime_error("could not write");
  Progress progress(name, source.frames);

  // A long file is encoded in parts, one per processor, when its bytes give the
  // signature of the audio directly.
  const int processors = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int parts = splitParts.load() > 0 ? splitParts.load() : std::min(processors, kMaxParts);
  const long long minFrames =
      splitMinFrames.load() >= 0 ? splitMinFrames.load() : static_cast<long long>(source.sampleRate) * kSplitSeconds;
  if (source.rawPCM && source.frames >= minFrames && (parts >= 2 || splitParts.load() > 0)) {
    EncodeInParts(flacFd, scratchDir, source, level, chunks, parts, progress);
    return;
  }

  Audio::FLACEncoder encoder(flacFd, level, source.bits, source.channels, source.sampleRate, source.frames, chunks);
  Pump(reader, encoder, source.frames, source.channels, progress);
  encoder.Finish();
}

bool IsCompleteWAV(int fd) {
  try {
    UniqueFd own = Reopen(fd, O_RDONLY);
    struct stat st;
    if (!own || fstat(own.Get(), &st) != 0) return false;
    // The RIFF size of an RF64 file is in its ds64 chunk.
    const Audio::WAVLayout w = Audio::WalkWAV(own.Get());
    if (w.riffSize != static_cast<long long>(st.st_size) - 8) return false;
    bool fmt = false;
    for (const std::string& chunk : w.chunks) fmt = fmt || chunk.compare(0, 4, "fmt ") == 0;
    return fmt && w.dataOffset > 0 && w.dataOffset + w.dataSize <= static_cast<long long>(st.st_size);
  } catch (...) {
    return false;
  }
}

}  // namespace Vantor
