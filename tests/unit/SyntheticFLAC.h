// FLAC streams built byte by byte, for files no encoder makes quickly or at all: hours
// of audio in a few hundred kilobytes (constant frames), a short tail of known samples,
// a stated length that is missing or false, and damaged frames at chosen places. The
// flac tool and libFLAC read them like any other stream (flac -t passes).
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace TestUtil {

struct StreamShape {
  unsigned rate = 44100, channels = 2, bits = 16;
  unsigned blockFrames = 4096;  // every frame's size but the last one's (at most 65535)
  long long frames = 0;         // frames in the stream
  long long statedFrames = -1;  // STREAMINFO's total: -1 the true one, 0 none
};

class BitWriter {
 public:
  void Put(uint64_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      acc_ = static_cast<uint8_t>(acc_ << 1 | ((value >> i) & 1));
      if (++n_ == 8) Flush();
    }
  }
  std::string Take() {
    while (n_ != 0) Put(0, 1);
    return std::move(bytes_);
  }

 private:
  void Flush() {
    bytes_ += static_cast<char>(acc_);
    acc_ = 0;
    n_ = 0;
  }
  std::string bytes_;
  uint8_t acc_ = 0;
  int n_ = 0;
};

inline uint8_t FlacCrc8(const std::string& s) {
  unsigned crc = 0;
  for (char c : s) {
    crc ^= static_cast<unsigned char>(c);
    for (int b = 0; b < 8; ++b) crc = (crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1) & 0xFF;
  }
  return static_cast<uint8_t>(crc);
}

inline uint16_t FlacCrc16(const std::string& s) {
  unsigned crc = 0;
  for (char c : s) {
    crc ^= static_cast<unsigned>(static_cast<unsigned char>(c)) << 8;
    for (int b = 0; b < 8; ++b) crc = (crc & 0x8000 ? (crc << 1) ^ 0x8005 : crc << 1) & 0xFFFF;
  }
  return static_cast<uint16_t>(crc);
}

// "fLaC" and STREAMINFO (the only metadata block), with the sizes of the smallest and
// largest frame (0: unknown), which libFLAC's seeking estimates positions from.
inline std::string FlacHead(const StreamShape& s, unsigned minFrameBytes = 0, unsigned maxFrameBytes = 0) {
  BitWriter w;
  w.Put(0x664C6143, 32);  // "fLaC"
  w.Put(1, 1);            // last metadata block
  w.Put(0, 7);            // STREAMINFO
  w.Put(34, 24);
  w.Put(s.blockFrames, 16);
  w.Put(s.blockFrames, 16);
  w.Put(minFrameBytes, 24);
  w.Put(maxFrameBytes, 24);
  w.Put(s.rate, 20);
  w.Put(s.channels - 1, 3);
  w.Put(s.bits - 1, 5);
  w.Put(static_cast<uint64_t>(s.statedFrames < 0 ? s.frames : s.statedFrames), 36);
  for (int i = 0; i < 4; ++i) w.Put(0, 32);  // no MD5
  return w.Take();
}

// Frame `number` of the stream (fixed block size), of n frames: constant `value` in
// every channel, or the interleaved samples when given (verbatim subframes).
inline std::string FlacFrame(const StreamShape& s, uint64_t number, unsigned n, int32_t value = 0,
                             const std::vector<int32_t>* samples = nullptr) {
  BitWriter h;
  h.Put(0xFFF8, 16);  // sync, fixed block size
  h.Put(7, 4);        // block size: 16 bits at the end of the header
  h.Put(0, 4);        // rate, depth: as STREAMINFO says
  h.Put(s.channels - 1, 4);
  h.Put(0, 3);
  h.Put(0, 1);
  // The frame number, UTF-8 style.
  if (number < 0x80) {
    h.Put(number, 8);
  } else {
    int extra = 1;
    while (number >> (6 * extra + 6 - extra) != 0) ++extra;
    h.Put(((1u << (extra + 1)) - 1) << 1, extra + 2);  // extra + 1 ones, then a zero
    h.Put(number >> (6 * extra), 6 - extra);
    for (int i = extra - 1; i >= 0; --i) h.Put(0x80 | ((number >> (6 * i)) & 0x3F), 8);
  }
  h.Put(n - 1, 16);
  std::string frame = h.Take();
  frame += static_cast<char>(FlacCrc8(frame));
  BitWriter b;
  for (unsigned c = 0; c < s.channels; ++c) {
    b.Put(samples ? 2 : 0, 8);  // verbatim or constant, no wasted bits
    if (!samples) {
      b.Put(static_cast<uint32_t>(value) & ((1ull << s.bits) - 1), static_cast<int>(s.bits));
      continue;
    }
    for (unsigned f = 0; f < n; ++f)
      b.Put(static_cast<uint32_t>((*samples)[f * s.channels + c]) & ((1ull << s.bits) - 1), static_cast<int>(s.bits));
  }
  frame += b.Take();
  const uint16_t crc = FlacCrc16(frame);
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
  const long long tailFrames = static_cast<long long>(tail.size() / s.channels);
  const long long silent = s.frames - tailFrames;
  uint64_t number = 0;
  for (long long f = 0; f < silent; f += s.blockFrames)
    add(FlacFrame(s, number++, static_cast<unsigned>(std::min<long long>(s.blockFrames, silent - f))));
  // A frame number counts blocks of the fixed size, so the tail starts a block of its own.
  if (tailFrames > 0) {
    if (silent % s.blockFrames != 0) return "";
    add(FlacFrame(s, number, static_cast<unsigned>(tailFrames), 0, &tail));
  }
  return FlacHead(s, largest ? smallest : 0, largest) + frames;
}

}  // namespace TestUtil
