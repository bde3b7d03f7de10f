// Helpers shared by the unit and end-to-end tests: temporary folders, whole-file I/O,
// running the oracle tools (flac, sox) and hand-built WAV files.
#pragma once

#include <cstdint>
#include <exception>
#include <set>
#include <string>

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
// The names in folder.
std::set<std::string> Entries(const std::string& folder);

// Runs a shell command; returns its exit status. Output goes to the test log.
int Run(const std::string& command);
// Runs a shell command and returns its standard output; fails the test on non-zero exit.
std::string RunOutput(const std::string& command);
// What the exception that f throws says; "" when f returns.
template <typename F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}
// Single-quotes s for the shell.
std::string Quote(const std::string& s);

// Deterministic pseudo-random bytes (xorshift), so that every bit pattern gets through.
std::string RandomBytes(std::size_t n, uint64_t seed);

std::string LE16(unsigned v);
std::string LE32(unsigned v);
std::string LE64(unsigned long long v);
// A chunk: id, LE32 size, payload, and a pad byte (padByte) when the payload is odd.
std::string Chunk(const std::string& id, const std::string& payload, char padByte = 0);
// A PCM "fmt " chunk; bits is the bits field, containerBytes the bytes per sample (0: from bits).
std::string FmtChunk(int channels, int rate, int bits, int containerBytes = 0);
// A WAVE_FORMAT_EXTENSIBLE "fmt " chunk: container bits, valid bits, channel mask and
// the subformat's first two bytes (1: PCM, 3: float).
std::string ExtensibleFmtChunk(int channels, int rate, int container, int valid, unsigned mask,
                               unsigned subformat = 1);
// An RF64 file's ds64 chunk: the 64-bit RIFF and data sizes and the frame count.
std::string DS64Chunk(unsigned long long riffSize, unsigned long long dataSize, unsigned long long frames);
// A PCM WAV: RIFF header, fmt, the chunks `before`, data holding `samples`, the chunks `after`.
std::string MakeWAV(int channels, int rate, int bits, const std::string& samples,
                    const std::string& before = "", const std::string& after = "");

}  // namespace TestUtil
