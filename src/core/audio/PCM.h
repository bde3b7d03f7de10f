// Integer PCM as WAV files store it: interleaved little-endian samples in containers of
// 1 to 4 bytes, a sample of fewer bits than its container sitting left-justified (a
// 20-bit sample in a 3-byte container is shifted left by 4), 8-bit samples unsigned
// around 128 and all others signed. Inside the core a sample is a right-justified signed
// 32-bit integer, as FLAC decodes and encodes it.
//
// Thread-safe: no state of its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Vantor::Audio {

// Packs count samples of sampleBits bits (1..32) into containers of containerBits
// (8, 16, 24 or 32, at least sampleBits); out receives count * containerBits / 8 bytes.
void PackPCM(const int32_t* in, std::size_t count, int sampleBits, int containerBits, char* out);

// Unpacks count samples from containers of containerBytes (1..4) bytes, each taken as a
// sample of the container's full depth (8-bit ones unsigned, the others signed).
void UnpackPCM(const char* in, std::size_t count, int containerBytes, int32_t* out);

}  // namespace Vantor::Audio
