// Opening a FLAC stream and reading its WAV image on any bytes: no crash or hang, the
// image plan is well formed, and the audio read forward equals the audio read backward
// in other pieces (every block in its place) for every stream whose frames are in order.
// (Streams whose numbering goes back, two streams glued together or copies of frames,
// have no one right reading: a forward read keeps what comes first.) The custom mutator edits the bodies of metadata blocks
// (the "riff" elements among them) and mends their length fields, so that mutations
// reach the image layout rather than break the block structure.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "FuzzSupport.h"
#include "audio/FLACDecode.h"
#include "audio/PCM.h"
#include "audio/WAVFile.h"
#include "transcode/WAVImage.h"

namespace {

// Streams of more frames are only read forward, in part, so that one claiming hours of
// audio stays quick.
constexpr long long kMaxFrames = 1 << 16;

std::vector<int32_t> Audio(Vantor::FLACDecoder& d, long long frames, int piece, bool backward) {
  const int channels = d.ChannelCount();
  std::vector<int32_t> all(static_cast<size_t>(frames * channels), 0x55555555);
  std::vector<int32_t> buffer(static_cast<size_t>(piece * channels));
  const long long pieces = (frames + piece - 1) / piece;
  for (long long k = 0; k < pieces; ++k) {
    const long long start = (backward ? pieces - 1 - k : k) * piece;
    d.Seek(start);
    const int got = d.GetSamples(buffer.data(), static_cast<int>(std::min<long long>(piece, frames - start)));
    FUZZ_CHECK(got >= 0 && got <= piece);
    std::copy_n(buffer.begin(), got * channels, all.begin() + start * channels);
  }
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    Vantor::FLACDecoder d(Fuzz::MemoryFile(data, size));
    const Vantor::ImagePlan plan = Vantor::PlanImage(d);
    FUZZ_CHECK(plan.dataSize == Vantor::DataSize(d) && plan.Size() > 0);
    // The header is a WAV header a reader can follow to the data.
    FUZZ_CHECK(plan.head.size() >= 44 && plan.head.compare(8, 4, "WAVE") == 0);
    FUZZ_CHECK(plan.head.compare(plan.head.size() - 8, 4, "data") == 0);
    const long long frames = std::min(d.FrameCount(), kMaxFrames);
    const std::vector<int32_t> forward = Audio(d, frames, 4096, false);
    if (frames == d.FrameCount()) {
      Vantor::FLACDecoder again(Fuzz::MemoryFile(data, size));
      FUZZ_CHECK(Audio(again, frames, 1000, true) == forward || !d.FramesInOrder());
    }
    std::vector<char> packed(forward.size() * 4);
    Vantor::Audio::PackPCM(forward.data(), forward.size(), d.SampleSize(), Vantor::Audio::ContainerBits(d.SampleSize()),
                           packed.data());
  } catch (const std::runtime_error&) {
  }
  return 0;
}

#ifdef LYREBOX_LIBFUZZER
extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

// Mutates the body of one metadata block, keeping the blocks' framing intact.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned seed) {
  std::vector<size_t> blocks;  // offsets of block headers
  for (size_t at = 4; size >= 4 && std::memcmp(data, "fLaC", 4) == 0 && at + 4 <= size;) {
    blocks.push_back(at);
    const size_t length = static_cast<size_t>(data[at + 1]) << 16 | data[at + 2] << 8 | data[at + 3];
    if (data[at] & 0x80) break;
    at += 4 + length;
  }
  if (blocks.empty() || seed % 3 == 0) return LLVMFuzzerMutate(data, size, maxSize);
  const size_t header = blocks[seed / 3 % blocks.size()];
  const size_t length = static_cast<size_t>(data[header + 1]) << 16 | data[header + 2] << 8 | data[header + 3];
  const size_t body = header + 4, end = std::min(size, body + length);
  // The body is mutated in a copy and put back; whatever follows moves with it.
  std::vector<uint8_t> piece(data + body, data + end);
  const size_t room = maxSize > size ? maxSize - size + piece.size() : piece.size();
  piece.resize(std::max(piece.size(), room));
  const size_t newLength = LLVMFuzzerMutate(piece.data(), end - body, std::min(room, size_t{1} << 20));
  if (body + newLength + (size - end) > maxSize) return size;
  std::vector<uint8_t> rest(data + end, data + size);
  std::copy_n(piece.begin(), newLength, data + body);
  std::copy(rest.begin(), rest.end(), data + body + newLength);
  data[header + 1] = static_cast<uint8_t>(newLength >> 16);
  data[header + 2] = static_cast<uint8_t>(newLength >> 8);
  data[header + 3] = static_cast<uint8_t>(newLength);
  return body + newLength + rest.size();
}
#endif
