// FLAC streams built byte by byte, for files no encoder makes quickly or at all: hours
// of audio in a few hundred kilobytes (constant frames), a short tail of known samples,
// a stated length that is missing or false, and damaged frames at chosen places. The
// flac tool and libFLAC read them like any other stream (flac -t passes).
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace TestUtil {

struct StreamShape {
  unsigned rate = 44100, channels = 2, bits = 16;
  unsigned blockFrames = 4096;  // every frame's size but the last one's (at most 65535)
  long long frames = 0;         // frames in the stream
  long long statedFrames = -1;  // STREAMINFO's total: -1 the true one, 0 none
};

// Fields of given widths, most significant bit first, padded with zero bits to a byte.
class BitWriter {
 public:
  void Put(std::initializer_list<std::pair<uint64_t, int>> fields) {
    for (const auto& [value, bits] : fields) {
      for (int i = bits - 1; i >= 0; --i) {
        acc_ = static_cast<uint8_t>(acc_ << 1 | ((value >> i) & 1));
        if (++n_ % 8 == 0) bytes_ += static_cast<char>(acc_);
      }
    }
  }
  std::string Take() {
    while (n_ % 8 != 0) Put({{0, 1}});
    return std::move(bytes_);
  }

 private:
  std::string bytes_;
  uint8_t acc_ = 0;
  long long n_ = 0;
};

// FLAC's CRC-8 (polynomial 0x07) and CRC-16 (0x8005), no reflection, starting at 0.
inline unsigned FlacCrc(const std::string& s, int width, unsigned polynomial) {
  const unsigned top = 1u << (width - 1), mask = (1u << width) - 1;
  unsigned crc = 0;
  for (char c : s) {
    crc ^= static_cast<unsigned>(static_cast<unsigned char>(c)) << (width - 8);
    for (int b = 0; b < 8; ++b) crc = (crc & top ? (crc << 1) ^ polynomial : crc << 1) & mask;
  }
  return crc;
}

// "fLaC" and STREAMINFO (the only metadata block), with the sizes of the smallest and
// largest frame (0: unknown), which libFLAC's seeking estimates positions from.
inline std::string FlacHead(const StreamShape& s, unsigned minFrameBytes = 0, unsigned maxFrameBytes = 0) {
  BitWriter w;
  // "fLaC"; the last metadata block, STREAMINFO, of 34 bytes: block sizes, frame sizes,
  // rate, channels, depth, length, and no MD5.
  w.Put({{0x664C6143, 32}, {1, 1}, {0, 7}, {34, 24}, {s.blockFrames, 16}, {s.blockFrames, 16}, {minFrameBytes, 24},
         {maxFrameBytes, 24}, {s.rate, 20}, {s.channels - 1, 3}, {s.bits - 1, 5},
         {static_cast<uint64_t>(s.statedFrames < 0 ? s.frames : s.statedFrames), 36}, {0, 64}, {0, 64}});
  return w.Take();
}

// Frame `number` of the stream (fixed block size), of n frames: silence in every
// channel, or the interleaved samples when given (verbatim subframes).
inline std::string FlacFrame(const StreamShape& s, uint64_t number, unsigned n,
                             const std::vector<int32_t>* samples = nullptr) {
  BitWriter h;
  // Sync and fixed block size; the block size in 16 bits at the end of the header; rate
  // and depth as STREAMINFO says; independent channels; two reserved bits.
  h.Put({{0xFFF8, 16}, {7, 4}, {0, 4}, {s.channels - 1, 4}, {0, 4}});
  // The frame number, UTF-8 style.
  if (number < 0x80) {
    h.Put({{number, 8}});
  } else {
    int extra = 1;
    while (number >> (6 * extra + 6 - extra) != 0) ++extra;
    h.Put({{((1u << (extra + 1)) - 1) << 1, extra + 2}, {number >> (6 * extra), 6 - extra}});  // extra + 1 ones, a 0
    for (int i = extra - 1; i >= 0; --i) h.Put({{0x80 | ((number >> (6 * i)) & 0x3F), 8}});
  }
  h.Put({{n - 1, 16}});
  std::string frame = h.Take();
  frame += static_cast<char>(FlacCrc(frame, 8, 0x07));
  BitWriter b;
  const uint64_t mask = (1ull << s.bits) - 1;
  for (unsigned c = 0; c < s.channels; ++c) {
    b.Put({{samples ? 2 : 0, 8}});  // verbatim or constant, no wasted bits
    if (!samples) b.Put({{0, static_cast<int>(s.bits)}});
    for (unsigned f = 0; samples && f < n; ++f)
      b.Put({{static_cast<uint32_t>((*samples)[f * s.channels + c]) & mask, static_cast<int>(s.bits)}});
  }
  frame += b.Take();
  const unsigned crc = FlacCrc(frame, 16, 0x8005);
  return frame + static_cast<char>(crc >> 8) + static_cast<char>(crc & 0xFF);
}

// The whole stream: silence, then the interleaved tail samples (if any) as the last
// frame (at most blockFrames of them).
inline std::string SyntheticFLAC(const StreamShape& s, const std::vector<int32_t>& tail = {}) {
  std::string frames;
  unsigned smallest = ~0u, largest = 0;
  auto add = [&](const std::string& frame) {
    frames += frame;
    smallest = std::min(smallest, static_cast<unsigned>(frame.size()));
    largest = std::max(largest, static_cast<unsigned>(frame.size()));
  };
  const long long tailFrames = static_cast<long long>(tail.size() / s.channels), silent = s.frames - tailFrames;
  uint64_t number = 0;
  for (long long f = 0; f < silent; f += s.blockFrames)
    add(FlacFrame(s, number++, static_cast<unsigned>(std::min<long long>(s.blockFrames, silent - f))));
  // A frame number counts blocks of the fixed size, so the tail starts a block of its own.
  if (tailFrames > 0) {
    if (silent % s.blockFrames != 0) return "";
    add(FlacFrame(s, number, static_cast<unsigned>(tailFrames), &tail));
  }
  return FlacHead(s, largest ? smallest : 0, largest) + frames;
}

}  // namespace TestUtil
