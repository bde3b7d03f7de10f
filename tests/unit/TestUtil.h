// Helpers shared by the unit tests: temporary folders, whole-file I/O, running the
// oracle tools (flac, sox) and making audio fixtures at test time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace TestUtil {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// Runs a shell command; returns its exit status. Output goes to the test log.
int Run(const std::string& command);
// Runs a shell command and returns its standard output; fails the test on non-zero exit.
std::string RunOutput(const std::string& command);
// Single-quotes s for the shell.
std::string Quote(const std::string& s);

// Deterministic pseudo-random bytes (xorshift), for sample payloads that every bit
// pattern gets through.
std::string RandomBytes(std::size_t n, uint64_t seed);

// Little-endian helpers for hand-built WAV files.
std::string LE16(unsigned v);
std::string LE32(unsigned v);
// A chunk: id, LE32 size, payload, and a pad byte (padByte) when the payload is odd.
std::string Chunk(const std::string& id, const std::string& payload, char padByte = 0);
// A 16-byte-payload PCM "fmt " chunk; bits is the bits field, container the bytes per sample.
std::string FmtChunk(int channels, int rate, int bits, int containerBytes = 0);
// A canonical PCM WAV: RIFF header, fmt, the chunks `before`, data, the chunks `after`.
// The RIFF size is computed. `samples` is the raw data payload.
std::string MakeWAV(int channels, int rate, int bits, const std::string& samples,
                    const std::string& before = "", const std::string& after = "");

}  // namespace TestUtil

namespace TestUtil {

// Interleaved integer samples of the given depth: a sine with noise, and both extremes
// of the depth at a few places, so that predicted and verbatim subframes and the ends
// of the range are all exercised. Deterministic for a seed.
std::vector<int32_t> TestSignal(int channels, int bits, long frames, uint64_t seed);
// Each sample shifted left by shift, as `bytes` little-endian bytes.
std::string PackLE(const std::vector<int32_t>& samples, int bytes, int shift = 0);
// Encodes samples into a FLAC file with the flac tool (`options` added, e.g. "-b 4096").
// 20-bit samples go in through an extensible WAV: the tool takes raw input only at
// 8, 16, 24 and 32 bits.
void EncodeFLAC(const std::string& path, const std::vector<int32_t>& samples, int channels, int bits,
                const std::string& options = "");
// Overwrites the total-samples field (36 bits) of a FLAC file's STREAMINFO.
void PatchTotalSamples(const std::string& path, uint64_t total);

}  // namespace TestUtil
