// The RIFF/WAVE container: the "fmt " chunk of a WAV image, and the chunk walk that
// turns a WAV file into its chunk list (everything but the audio payload).
//
// Chunk list: the 12-byte RIFF header, then every chunk in file order with its 8-byte
// header and payload (odd payloads get one zero pad byte appended); a "data" chunk
// contributes its 8-byte header only.
//
// Thread-safe: no state of its own. Failures are std::runtime_error.
#pragma once

#include <string>
#include <vector>

namespace Vantor::Audio {

struct FMTChunkInfo {
  unsigned int channels = 0;
  unsigned int sampleRate = 0;
  unsigned int byteRate = 0;
  unsigned int bitsPerSample = 0;
  unsigned int blockAlign = 0;
};

// Bits of the little-endian container that holds a sample of the given depth:
// depths are rounded up to whole bytes (20 -> 24, 12 -> 16), samples sit left-justified.
int ContainerBits(int bits);

// The 24-byte PCM "fmt " chunk (format tag 1, payload 16) for the container of `bits`.
std::string BuildFMTChunk(int channels, int sampleRate, int bits);

// Inverse of BuildFMTChunk. Throws "wrong fmt chunk", "wrong tag", "wrong size",
// "unhandled format tag".
FMTChunkInfo ParseFMTChunk(const std::string& chunk);

// Walks the WAV file open on fd (positioned at its start; the caller owns fd) and
// returns its chunk list. dataOffset/dataSize receive the first audio byte's offset and
// the "data" payload size of the last "data" chunk met; untouched when there is none.
// Throws "could not read", "WAVFile::Parse(), fstat", "wrong tag", "wrong type".
std::vector<std::string> ParseWAVFile(int fd, unsigned long& dataOffset, unsigned long& dataSize);

}  // namespace Vantor::Audio
