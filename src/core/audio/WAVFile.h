// The RIFF/WAVE container: the "fmt " chunk of a WAV image, the format a "fmt " chunk
// describes, and the chunk walk that turns a WAV file into its chunk list (everything but
// the audio payload).
//
// Chunk list: the 12-byte file header ("RIFF", "RF64" or "BW64", the stored size,
// "WAVE"), then every chunk in file order with its 8-byte header and payload (odd
// payloads get one zero pad byte appended); a "data" chunk contributes its 8-byte header
// only, its stored size as it was.
//
// Thread-safe: no state of its own. Failures are std::runtime_error.
#pragma once

#include <string>
#include <vector>

namespace Vantor::Audio {

// Bits of the little-endian container that holds a sample of the given depth:
// depths are rounded up to whole bytes (20 -> 24, 12 -> 16), samples sit left-justified.
int ContainerBits(int bits);

// The 24-byte PCM "fmt " chunk (format tag 1, payload 16) for the container of `bits`.
std::string BuildFMTChunk(int channels, int sampleRate, int bits);

// What a "fmt " chunk says.
struct WAVFormat {
  unsigned formatTag = 0;  // 1 PCM, 3 IEEE float, 0xFFFE extensible, ...
  unsigned channels = 0;
  unsigned sampleRate = 0;
  unsigned byteRate = 0;
  unsigned blockAlign = 0;
  unsigned bitsPerSample = 0;
  bool integerPCM = false;     // PCM, or extensible with the PCM sub-format
  bool floatingPoint = false;  // IEEE float, or extensible with the float sub-format
};

// Reads a whole "fmt " chunk (header included, at least 16 payload bytes); false when
// chunk is not one.
bool ParseFormat(const std::string& chunk, WAVFormat& format);

// The largest chunk the chunk list keeps (what one FLAC metadata block can carry), the
// most chunks and the most bytes of chunks it keeps.
constexpr std::size_t kMaxChunkBytes = (std::size_t{1} << 24) - 1 - 4;
constexpr std::size_t kMaxChunks = 4096;
constexpr std::size_t kMaxChunkListBytes = std::size_t{64} << 20;

struct WAVLayout {
  std::vector<std::string> chunks;  // the chunk list
  long long dataOffset = -1;        // the first audio byte of the first "data" chunk; -1: none
  long long dataSize = 0;           // its audio bytes
  int dataChunks = 0;               // "data" chunks met
  long long riffSize = 0;           // the stored RIFF size (from ds64 in an RF64 file)
};

// Walks the WAV file open on fd (read with pread from offset 0; the caller owns fd and
// its offset does not move). Writers' habits are taken as they are: an RF64 or BW64 file
// gets its sizes from its ds64 chunk; a "data" chunk runs to the end of the file when its
// size is 0xFFFFFFFF, more than the file holds, or 0 in a file whose RIFF size does not
// match its length (a header its writer never went back to fix); up to 7 zero bytes
// behind the last chunk are pad bytes when the RIFF size counts them. Throws "could not
// read" (also for a chunk other than "data" that runs past the end, and for other stray
// bytes), "WAVFile::Parse(), fstat", "wrong tag", "wrong type", "no ds64 chunk", "chunk
// too large to keep", "too many chunks".
WAVLayout WalkWAV(int fd);

}  // namespace Vantor::Audio
