// flac_repeat IN OUT N: writes a FLAC file whose audio is the audio of IN, N times over,
// by copying IN's frames with new frame numbers (and their CRCs made again): hours of
// real audio, decoding at the cost of real audio, in a few seconds. IN must have a
// fixed block size and a whole number of blocks (its last frame as long as the others);
// OUT has IN's metadata (STREAMINFO's length changed, its MD5 cleared). Standard C++
// only, so that bench/long.sh can build it with one g++ call.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

unsigned Crc8(const unsigned char* p, size_t n) {
  unsigned crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1) & 0xFF;
  }
  return crc;
}

uint16_t Crc16Table(int i) {
  unsigned crc = static_cast<unsigned>(i) << 8;
  for (int b = 0; b < 8; ++b) crc = (crc & 0x8000 ? (crc << 1) ^ 0x8005 : crc << 1) & 0xFFFF;
  return static_cast<uint16_t>(crc);
}

unsigned Crc16(const unsigned char* p, size_t n) {
  static std::vector<uint16_t> table = [] {
    std::vector<uint16_t> t(256);
    for (int i = 0; i < 256; ++i) t[static_cast<size_t>(i)] = Crc16Table(i);
    return t;
  }();
  unsigned crc = 0;
  for (size_t i = 0; i < n; ++i) crc = ((crc << 8) ^ table[((crc >> 8) ^ p[i]) & 0xFF]) & 0xFFFF;
  return crc;
}

// The number's UTF-8 style coding, as frame headers hold it.
std::string Utf8Number(uint64_t v) {
  if (v < 0x80) return std::string(1, static_cast<char>(v));
  int extra = 1;
  while (v >> (6 + 5 * extra)) ++extra;
  std::string s(1, static_cast<char>(((0xFF00u >> (extra + 1)) & 0xFF) | (v >> (6 * extra))));
  for (int i = extra - 1; i >= 0; --i) s += static_cast<char>(0x80 | ((v >> (6 * i)) & 0x3F));
  return s;
}

// Length of the coded number at p.
size_t Utf8Length(unsigned char lead) {
  size_t n = 1;
  while (n < 8 && (lead & (0x80 >> (n - 1)))) ++n;
  return n == 1 ? 1 : n - 1;
}

struct Frame {
  size_t at, size;
};

int Fail(const char* message) {
  std::fprintf(stderr, "flac_repeat: %s\n", message);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return Fail("usage: flac_repeat IN OUT N");
  std::ifstream in(argv[1], std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const long long times = std::atoll(argv[3]);
  if (bytes.compare(0, 4, "fLaC") != 0 || times < 1) return Fail("IN is not a FLAC file, or N < 1");

  // The metadata blocks, then the frames: each ends where the next frame's header begins
  // and its CRC-16 over the bytes before that matches.
  size_t at = 4;
  for (bool last = false; !last && at + 4 <= bytes.size();) {
    last = b[at] & 0x80;
    at += 4 + (static_cast<size_t>(b[at + 1]) << 16 | b[at + 2] << 8 | b[at + 3]);
  }
  const size_t audio = at;
  std::vector<Frame> frames;
  size_t start = audio;
  for (size_t p = audio + 2; p <= bytes.size(); ++p) {
    const bool end = p == bytes.size();
    if (!end && !(b[p] == 0xFF && (b[p + 1] & 0xFE) == 0xF8)) continue;
    if (p - start < 4 || Crc16(b + start, p - start - 2) != static_cast<unsigned>(b[p - 2] << 8 | b[p - 1])) continue;
    frames.push_back({start, p - start});
    start = p;
    if (end) break;
  }
  if (frames.empty() || start != bytes.size()) return Fail("cannot find IN's frames");
  if (b[frames[0].at + 1] & 1) return Fail("IN has a variable block size");

  // STREAMINFO: block size, then the total (36 bits at body bytes 13 to 17).
  std::string head = bytes.substr(0, audio);
  const unsigned block = static_cast<unsigned char>(head[8]) << 8 | static_cast<unsigned char>(head[9]);
  const uint64_t total = static_cast<uint64_t>(block) * frames.size() * static_cast<uint64_t>(times);
  head[21] = static_cast<char>((head[21] & 0xF0) | ((total >> 32) & 0x0F));
  for (int i = 0; i < 4; ++i) head[22 + i] = static_cast<char>(total >> (24 - 8 * i));
  for (int i = 26; i < 42; ++i) head[i] = 0;  // the MD5 of the audio is unknown

  std::ofstream out(argv[2], std::ios::binary);
  out << head;
  std::string frame;
  uint64_t number = 0;
  for (long long k = 0; k < times; ++k) {
    for (const Frame& f : frames) {
      // Header: 4 fixed bytes, the number, optional size and rate bytes, CRC-8.
      const size_t old = Utf8Length(b[f.at + 4]);
      const size_t crcAt = [&] {
        size_t n = 4 + old;
        const unsigned size = b[f.at + 2] >> 4, rate = b[f.at + 2] & 0x0F;
        n += size == 6 ? 1 : size == 7 ? 2 : 0;
        n += rate == 12 ? 1 : rate == 13 || rate == 14 ? 2 : 0;
        return n;
      }();
      frame.assign(bytes, f.at, 4);
      frame += Utf8Number(number++);
      frame.append(bytes, f.at + 4 + old, crcAt - 4 - old);
      frame += static_cast<char>(Crc8(reinterpret_cast<const unsigned char*>(frame.data()), frame.size()));
      frame.append(bytes, f.at + crcAt + 1, f.size - crcAt - 1 - 2);
      const unsigned crc = Crc16(reinterpret_cast<const unsigned char*>(frame.data()), frame.size());
      frame += static_cast<char>(crc >> 8);
      frame += static_cast<char>(crc & 0xFF);
      out << frame;
    }
  }
  return out ? 0 : Fail("cannot write OUT");
}
