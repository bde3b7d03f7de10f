// Packing and unpacking of interleaved little-endian integer PCM. One loop per container
// keeps the hot paths (every decoded and every encoded sample goes through here) simple
// enough for the compiler to vectorise.
#include "audio/PCM.h"

namespace Vantor::Audio {

void PackPCM(const int32_t* in, std::size_t count, int sampleBits, int containerBits, char* out) {
  // Shifted as unsigned values: a negative sample moves its bit pattern like any other.
  const unsigned shift = static_cast<unsigned>(containerBits - sampleBits);
  switch (containerBits) {
    case 8:
      for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char>((static_cast<uint32_t>(in[i]) << shift) + 128);
      break;
    case 16:
      for (std::size_t i = 0; i < count; ++i) {
        const uint32_t v = static_cast<uint32_t>(in[i]) << shift;
        out[2 * i] = static_cast<char>(v);
        out[2 * i + 1] = static_cast<char>(v >> 8);
      }
      break;
    case 24:
      for (std::size_t i = 0; i < count; ++i) {
        const uint32_t v = static_cast<uint32_t>(in[i]) << shift;
        out[3 * i] = static_cast<char>(v);
        out[3 * i + 1] = static_cast<char>(v >> 8);
        out[3 * i + 2] = static_cast<char>(v >> 16);
      }
      break;
    default:
      for (std::size_t i = 0; i < count; ++i) {
        const uint32_t v = static_cast<uint32_t>(in[i]) << shift;
        out[4 * i] = static_cast<char>(v);
        out[4 * i + 1] = static_cast<char>(v >> 8);
        out[4 * i + 2] = static_cast<char>(v >> 16);
        out[4 * i + 3] = static_cast<char>(v >> 24);
      }
      break;
  }
}

void UnpackPCM(const char* in, std::size_t count, int containerBytes, int32_t* out) {
  const auto* b = reinterpret_cast<const unsigned char*>(in);
  switch (containerBytes) {
    case 1:
      for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<int32_t>(b[i]) - 128;
      break;
    case 2:
      for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<int16_t>(b[2 * i] | b[2 * i + 1] << 8);
      break;
    case 3:
      for (std::size_t i = 0; i < count; ++i) {
        // The sample's top byte goes to the top of the word, and back down with its sign.
        const uint32_t v = static_cast<uint32_t>(b[3 * i]) << 8 | static_cast<uint32_t>(b[3 * i + 1]) << 16 |
                           static_cast<uint32_t>(b[3 * i + 2]) << 24;
        out[i] = static_cast<int32_t>(v) >> 8;
      }
      break;
    default:
      for (std::size_t i = 0; i < count; ++i) {
        const uint32_t v = static_cast<uint32_t>(b[4 * i]) | static_cast<uint32_t>(b[4 * i + 1]) << 8 |
                           static_cast<uint32_t>(b[4 * i + 2]) << 16 | static_cast<uint32_t>(b[4 * i + 3]) << 24;
        out[i] = static_cast<int32_t>(v);
      }
      break;
  }
}

}  // namespace Vantor::Audio
