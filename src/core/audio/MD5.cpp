#include "audio/MD5.h"

#include <cstring>

namespace Vantor::Audio {

namespace {

constexpr std::uint32_t kK[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

std::uint32_t Rotate(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

MD5::MD5() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, buffer_{} {}

// The four rounds written out, so that every shift and index is a constant.
#define MD5_STEP(f, a, b, c, d, x, t, s) \
  a += f(b, c, d) + (x) + (t);           \
  a = Rotate(a, s) + b
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

void MD5::Block(const std::uint8_t* p) {
  std::uint32_t m[16];
  for (int i = 0; i < 16; ++i) {
    m[i] = std::uint32_t{p[4 * i]} | std::uint32_t{p[4 * i + 1]} << 8 | std::uint32_t{p[4 * i + 2]} << 16 |
           std::uint32_t{p[4 * i + 3]} << 24;
  }
  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  for (int i = 0; i < 16; i += 4) {
    MD5_STEP(MD5_F, a, b, c, d, m[i], kK[i], 7);
    MD5_STEP(MD5_F, d, a, b, c, m[i + 1], kK[i + 1], 12);
    MD5_STEP(MD5_F, c, d, a, b, m[i + 2], kK[i + 2], 17);
    MD5_STEP(MD5_F, b, c, d, a, m[i + 3], kK[i + 3], 22);
  }
  for (int i = 16; i < 32; i += 4) {
    MD5_STEP(MD5_G, a, b, c, d, m[(5 * i + 1) % 16], kK[i], 5);
    MD5_STEP(MD5_G, d, a, b, c, m[(5 * i + 6) % 16], kK[i + 1], 9);
    MD5_STEP(MD5_G, c, d, a, b, m[(5 * i + 11) % 16], kK[i + 2], 14);
    MD5_STEP(MD5_G, b, c, d, a, m[(5 * i + 16) % 16], kK[i + 3], 20);
  }
  for (int i = 32; i < 48; i += 4) {
    MD5_STEP(MD5_H, a, b, c, d, m[(3 * i + 5) % 16], kK[i], 4);
    MD5_STEP(MD5_H, d, a, b, c, m[(3 * i + 8) % 16], kK[i + 1], 11);
    MD5_STEP(MD5_H, c, d, a, b, m[(3 * i + 11) % 16], kK[i + 2], 16);
    MD5_STEP(MD5_H, b, c, d, a, m[(3 * i + 14) % 16], kK[i + 3], 23);
  }
  for (int i = 48; i < 64; i += 4) {
    MD5_STEP(MD5_I, a, b, c, d, m[(7 * i) % 16], kK[i], 6);
    MD5_STEP(MD5_I, d, a, b, c, m[(7 * i + 7) % 16], kK[i + 1], 10);
    MD5_STEP(MD5_I, c, d, a, b, m[(7 * i + 14) % 16], kK[i + 2], 15);
    MD5_STEP(MD5_I, b, c, d, a, m[(7 * i + 21) % 16], kK[i + 3], 21);
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

#undef MD5_STEP
#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

void MD5::Update(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::size_t have = static_cast<std::size_t>(length_ % 64);
  length_ += size;
  if (have > 0) {
    const std::size_t take = size < 64 - have ? size : 64 - have;
    std::memcpy(buffer_ + have, p, take);
    p += take;
    size -= take;
    have += take;
    if (have < 64) return;
    Block(buffer_);
  }
  for (; size >= 64; p += 64, size -= 64) Block(p);
  std::memcpy(buffer_, p, size);
}

std::array<std::uint8_t, 16> MD5::Finish() {
  const std::uint64_t bits = length_ * 8;
  const std::uint8_t one = 0x80, zero = 0;
  Update(&one, 1);
  while (length_ % 64 != 56) Update(&zero, 1);
  std::uint8_t tail[8];
  for (int i = 0; i < 8; ++i) tail[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  Update(tail, 8);
  std::array<std::uint8_t, 16> digest;
  for (int i = 0; i < 16; ++i) digest[i] = static_cast<std::uint8_t>(state_[i / 4] >> (8 * (i % 4)));
  return digest;
}

}  // namespace Vantor::Audio
