// Frame checksums, renumbering and metadata blocks of the FLAC format (RFC 9639).
#include "audio/FLACFrames.h"

#include <stdexcept>

namespace Vantor::Audio {

namespace {

struct Tables {
  std::uint8_t crc8[256];
  std::uint16_t crc16[256];
  Tables() {
    for (unsigned i = 0; i < 256; ++i) {
      unsigned c = i;
      for (int k = 0; k < 8; ++k) c = (c & 0x80) ? ((c << 1) ^ 0x07) : (c << 1);
      crc8[i] = static_cast<std::uint8_t>(c);
      unsigned d = i << 8;
      for (int k = 0; k < 8; ++k) d = (d & 0x8000) ? ((d << 1) ^ 0x8005) : (d << 1);
      crc16[i] = static_cast<std::uint16_t>(d);
    }
  }
};

const Tables& Crc() {
  static const Tables tables;
  return tables;
}

// The header's layout: where the coded number starts and ends, where the header ends
// (its CRC-8 byte). False when the bytes are no frame header.
bool ParseHeader(const std::uint8_t* f, std::size_t size, std::size_t& numberEnd, std::size_t& headerEnd,
                 std::uint64_t& number) {
  if (size < 6 || f[0] != 0xFF || (f[1] & 0xFE) != 0xF8) return false;
  const unsigned blockCode = f[2] >> 4, rateCode = f[2] & 0x0F;
  if (blockCode == 0 || rateCode == 15) return false;
  // The number in FLAC's extension of UTF-8: 1 to 7 bytes.
  const std::uint8_t lead = f[4];
  std::size_t length;
  if (lead < 0x80) length = 1;
  else if ((lead & 0xE0) == 0xC0) length = 2;
  else if ((lead & 0xF0) == 0xE0) length = 3;
  else if ((lead & 0xF8) == 0xF0) length = 4;
  else if ((lead & 0xFC) == 0xF8) length = 5;
  else if ((lead & 0xFE) == 0xFC) length = 6;
  else if (lead == 0xFE) length = 7;
  else return false;
  number = length == 1 ? lead : length == 7 ? 0 : (lead & (0x7F >> length));
  for (std::size_t k = 1; k < length; ++k) {
    if (4 + k >= size || (f[4 + k] & 0xC0) != 0x80) return false;
    number = (number << 6) | (f[4 + k] & 0x3F);
  }
  numberEnd = 4 + length;
  std::size_t extra = 0;
  if (blockCode == 6) extra += 1;
  else if (blockCode == 7) extra += 2;
  if (rateCode == 12) extra += 1;
  else if (rateCode == 13 || rateCode == 14) extra += 2;
  headerEnd = numberEnd + extra;
  // The header's CRC-8, and room for the CRC-16 after it.
  if (headerEnd + 3 > size) return false;
  return FLACCrc8(f, headerEnd) == f[headerEnd];
}

// a * b modulo the CRC-16 polynomial x^16 + x^15 + x^2 + 1, over GF(2).
std::uint16_t MulMod(std::uint16_t a, std::uint16_t b) {
  std::uint16_t r = 0;
  for (int i = 15; i >= 0; --i) {
    r = static_cast<std::uint16_t>((r & 0x8000) ? (r << 1) ^ 0x8005 : r << 1);
    if (b & (1u << i)) r ^= a;
  }
  return r;
}

// The CRC-16 register c after n more zero bytes: c * x^(8n) modulo the polynomial.
std::uint16_t AfterZeros(std::uint16_t c, std::size_t n) {
  std::uint16_t power = 1, base = 0x0100;  // x^0, and x^8 for one byte
  for (; n > 0; n >>= 1) {
    if (n & 1) power = MulMod(power, base);
    base = MulMod(base, base);
  }
  return MulMod(c, power);
}

void PutNumber(std::uint64_t v, std::vector<std::uint8_t>& out) {
  if (v < 0x80) {
    out.push_back(static_cast<std::uint8_t>(v));
    return;
  }
  int length = 2;
  while (length < 7 && v >= (std::uint64_t{1} << (5 * length + 1))) ++length;
  const std::uint8_t lead = length == 7 ? 0xFE : static_cast<std::uint8_t>((0xFF00 >> length) & 0xFF);
  out.push_back(static_cast<std::uint8_t>(lead | (length == 7 ? 0 : (v >> (6 * (length - 1))))));
  for (int k = length - 2; k >= 0; --k) out.push_back(static_cast<std::uint8_t>(0x80 | ((v >> (6 * k)) & 0x3F)));
}

void Put(std::string& s, std::uint64_t v, int bytes) {
  for (int k = bytes - 1; k >= 0; --k) s += static_cast<char>((v >> (8 * k)) & 0xFF);
}

std::string BlockHeader(int type, std::size_t length, bool last) {
  if (length >= (1u << 24)) throw std::length_error("metadata block too long");
  std::string h;
  h += static_cast<char>((last ? 0x80 : 0) | type);
  Put(h, length, 3);
  return h;
}

}  // namespace

std::uint8_t FLACCrc8(const std::uint8_t* data, std::size_t size, std::uint8_t crc) {
  const Tables& t = Crc();
  for (std::size_t i = 0; i < size; ++i) crc = t.crc8[crc ^ data[i]];
  return crc;
}

std::uint16_t FLACCrc16(const std::uint8_t* data, std::size_t size, std::uint16_t crc) {
  const Tables& t = Crc();
  for (std::size_t i = 0; i < size; ++i) crc = static_cast<std::uint16_t>((crc << 8) ^ t.crc16[(crc >> 8) ^ data[i]]);
  return crc;
}

bool FrameNumber(const std::uint8_t* frame, std::size_t size, std::uint64_t& number) {
  std::size_t numberEnd, headerEnd;
  return ParseHeader(frame, size, numberEnd, headerEnd, number);
}

bool RenumberFrame(const std::uint8_t* f, std::size_t size, std::uint64_t add, std::vector<std::uint8_t>& out) {
  std::size_t numberEnd, headerEnd;
  std::uint64_t number;
  if (!ParseHeader(f, size, numberEnd, headerEnd, number)) return false;
  const bool variable = f[1] & 1;
  number += add;
  // 31 bits of frame number, 36 of sample number.
  if (number >= (std::uint64_t{1} << (variable ? 36 : 31))) return false;
  std::vector<std::uint8_t> frame;
  frame.reserve(size + 7);
  frame.insert(frame.end(), f, f + 4);
  PutNumber(number, frame);
  frame.insert(frame.end(), f + numberEnd, f + headerEnd);
  frame.push_back(FLACCrc8(frame.data(), frame.size()));
  const std::size_t header = frame.size();
  frame.insert(frame.end(), f + headerEnd + 1, f + size - 2);
  // The CRC is linear and starts from 0: CRC(H + B) = CRC(H) * x^(8|B|) + CRC(B), so only
  // the headers' share changes, and the body is not run through again.
  const std::uint16_t old = static_cast<std::uint16_t>(f[size - 2] << 8 | f[size - 1]);
  const std::uint16_t change = FLACCrc16(f, headerEnd + 1) ^ FLACCrc16(frame.data(), header);
  const std::uint16_t crc = old ^ AfterZeros(change, size - 2 - (headerEnd + 1));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  out.swap(frame);
  return true;
}

std::string StreamInfoBlock(const StreamInfo& i, bool last) {
  std::string b = BlockHeader(0, 34, last);
  Put(b, i.minBlock, 2);
  Put(b, i.maxBlock, 2);
  Put(b, i.minFrame, 3);
  Put(b, i.maxFrame, 3);
  // 20 bits of rate, 3 of channels - 1, 5 of bits - 1, 36 of total sample frames.
  const std::uint64_t packed = (std::uint64_t{i.sampleRate & 0xFFFFF} << 44) |
                               (std::uint64_t{(i.channels - 1) & 7} << 41) |
                               (std::uint64_t{(i.bits - 1) & 31} << 36) | (i.totalFrames & 0xFFFFFFFFFULL);
  Put(b, packed, 8);
  b.append(reinterpret_cast<const char*>(i.md5.data()), i.md5.size());
  return b;
}

std::string SeekTableBlock(const std::vector<SeekPoint>& points, bool last) {
  std::string b = BlockHeader(3, points.size() * 18, last);
  for (const SeekPoint& p : points) {
    Put(b, p.frame, 8);
    Put(b, p.offset, 8);
    Put(b, p.frames, 2);
  }
  return b;
}

std::string ApplicationBlock(const char id[4], const std::string& data, bool last) {
  std::string b = BlockHeader(2, 4 + data.size(), last);
  b.append(id, 4);
  b += data;
  return b;
}

}  // namespace Vantor::Audio
