// Helpers shared by the unit, end-to-end and fuzz tests: temporary folders, whole-file
// I/O, running the oracle tools (flac, sox) and hand-built WAV files.
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
inline std::string RandomBytes(std::size_t n, uint64_t seed) {
  std::string s(n, '\0');
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (char& c : s) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// Little-endian fields and WAV chunks, header-only so that the fuzz targets use them too.
inline std::string LE16(unsigned v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }
inline std::string LE32(unsigned v) { return LE16(v & 0xFFFF) + LE16(v >> 16); }
inline std::string LE64(unsigned long long v) {
  return LE32(static_cast<unsigned>(v)) + LE32(static_cast<unsigned>(v >> 32));
}
// A chunk: id, LE32 size, payload, and a pad byte (padByte) when the payload is odd.
inline std::string Chunk(const std::string& id, const std::string& payload, char padByte = 0) {
  const std::string pad = payload.size() & 1 ? std::string(1, padByte) : "";
  return id + LE32(static_cast<unsigned>(payload.size())) + payload + pad;
}
// A PCM "fmt " chunk; bits is the bits field, containerBytes the bytes per sample (0: from bits).
inline std::string FmtChunk(int channels, int rate, int bits, int containerBytes = 0) {
  const unsigned align = static_cast<unsigned>(channels * (containerBytes ? containerBytes : (bits + 7) / 8));
  return Chunk("fmt ", LE16(1) + LE16(static_cast<unsigned>(channels)) + LE32(static_cast<unsigned>(rate)) +
                           LE32(align * static_cast<unsigned>(rate)) + LE16(align) + LE16(static_cast<unsigned>(bits)));
}
// A WAVE_FORMAT_EXTENSIBLE "fmt " chunk: container bits, valid bits, channel mask and
// the subformat's first two bytes (1: PCM, 3: float).
inline std::string ExtensibleFmtChunk(int channels, int rate, int container, int valid, unsigned mask,
                                      unsigned subformat = 1) {
  const auto u = [](int v) { return static_cast<unsigned>(v); };
  const unsigned align = u(channels * container / 8);
  return Chunk("fmt ", LE16(0xFFFE) + LE16(u(channels)) + LE32(u(rate)) + LE32(align * u(rate)) + LE16(align) +
                           LE16(u(container)) + LE16(22) + LE16(u(valid)) + LE32(mask) + LE16(subformat) +
                           std::string("\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 14));
}
// An RF64 file's ds64 chunk: the 64-bit RIFF and data sizes and the frame count.
inline std::string DS64Chunk(unsigned long long riffSize, unsigned long long dataSize, unsigned long long frames) {
  return Chunk("ds64", LE64(riffSize) + LE64(dataSize) + LE64(frames) + LE32(0));
}
// A PCM WAV: RIFF header, fmt, the chunks `before`, data holding `samples`, the chunks `after`.
inline std::string MakeWAV(int channels, int rate, int bits, const std::string& samples,
                           const std::string& before = "", const std::string& after = "") {
  const std::string body = "WAVE" + FmtChunk(channels, rate, bits) + before + Chunk("data", samples) + after;
  return "RIFF" + LE32(static_cast<unsigned>(body.size())) + body;
}

}  // namespace TestUtil
