#include "TestUtil.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace TestUtil {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/lyrebox-test-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make unreadable folders a test may have made removable again.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec)) std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                                            std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

int Run(const std::string& command) {
  int status = system(command.c_str());
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string RunOutput(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) throw std::runtime_error("popen failed: " + command);
  std::array<char, 65536> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  int status = pclose(p);
  EXPECT_EQ(status, 0) << command;
  return out;
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''";
    else q += c;
  }
  return q + "'";
}

std::string RandomBytes(std::size_t n, uint64_t seed) {
  std::string s(n, '\0');
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (std::size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

std::string LE16(unsigned v) {
  std::string s(2, '\0');
  s[0] = static_cast<char>(v & 0xFF);
  s[1] = static_cast<char>((v >> 8) & 0xFF);
  return s;
}

std::string LE32(unsigned v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

std::string Chunk(const std::string& id, const std::string& payload, char padByte) {
  std::string c = id + LE32(static_cast<unsigned>(payload.size())) + payload;
  if (payload.size() & 1) c += padByte;
  return c;
}

std::string FmtChunk(int channels, int rate, int bits, int containerBytes) {
  if (containerBytes == 0) containerBytes = (bits + 7) / 8;
  unsigned align = static_cast<unsigned>(channels * containerBytes);
  std::string p = LE16(1) + LE16(static_cast<unsigned>(channels)) + LE32(static_cast<unsigned>(rate)) +
                  LE32(align * static_cast<unsigned>(rate)) + LE16(align) + LE16(static_cast<unsigned>(bits));
  return Chunk("fmt ", p);
}

std::string MakeWAV(int channels, int rate, int bits, const std::string& samples, const std::string& before,
                    const std::string& after) {
  std::string body = "WAVE" + FmtChunk(channels, rate, bits) + before + Chunk("data", samples) + after;
  return "RIFF" + LE32(static_cast<unsigned>(body.size())) + body;
}

}  // namespace TestUtil

namespace TestUtil {

std::vector<int32_t> TestSignal(int channels, int bits, long frames, uint64_t seed) {
  const int64_t top = 1LL << (bits - 1);
  const std::string noise = RandomBytes(static_cast<std::size_t>(frames * channels), seed);
  std::vector<int32_t> s(noise.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const double wave = 0.6 * static_cast<double>(top) * std::sin(0.01 * static_cast<double>(i % channels + 1) *
                                                                  static_cast<double>(i / channels));
    s[i] = static_cast<int32_t>(static_cast<int64_t>(wave) + noise[i] * top / 2048);
  }
  for (std::size_t i : {std::size_t{0}, std::size_t{1}, s.size() / 2, s.size() - 1}) {
    s[i] = static_cast<int32_t>(i % 2 ? top - 1 : -top);
  }
  return s;
}

std::string PackLE(const std::vector<int32_t>& samples, int bytes, int shift) {
  std::string out;
  out.reserve(samples.size() * static_cast<std::size_t>(bytes));
  for (int32_t v : samples) {
    const uint32_t u = static_cast<uint32_t>(v) << shift;
    for (int b = 0; b < bytes; ++b) out += static_cast<char>((u >> (8 * b)) & 0xFF);
  }
  return out;
}

void EncodeFLAC(const std::string& path, const std::vector<int32_t>& samples, int channels, int bits,
                const std::string& options) {
  const std::string input = path + ".in";
  std::string format;
  if (bits == 20) {
    // WAVE_FORMAT_EXTENSIBLE: 24-bit containers with 20 valid bits, PCM subformat.
    const unsigned mask = channels == 1 ? 0x4 : channels == 2 ? 0x3 : (1u << channels) - 1;
    const unsigned align = 3u * static_cast<unsigned>(channels);
    const std::string guid("\x01\x00\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71", 16);
    const std::string fmt = LE16(0xFFFE) + LE16(static_cast<unsigned>(channels)) + LE32(44100) +
                            LE32(align * 44100) + LE16(align) + LE16(24) + LE16(22) + LE16(20) + LE32(mask) + guid;
    const std::string body = "WAVE" + Chunk("fmt ", fmt) + Chunk("data", PackLE(samples, 3, 4));
    WriteFile(input, "RIFF" + LE32(static_cast<unsigned>(body.size())) + body);
  } else {
    WriteFile(input, PackLE(samples, bits / 8));
    format = " --force-raw-format --endian=little --sign=signed --sample-rate=44100 --channels=" +
             std::to_string(channels) + " --bps=" + std::to_string(bits);
  }
  ASSERT_EQ(Run("flac -s -f" + format + " " + options + " -o " + Quote(path) + " " + Quote(input)), 0);
  std::filesystem::remove(input);
}

void PatchTotalSamples(const std::string& path, uint64_t total) {
  // "fLaC", the block header, min/max block size (4), min/max frame size (6): then 64 bits
  // of rate (20), channels - 1 (3), bits - 1 (5) and total samples (36), big-endian.
  constexpr std::size_t kOffset = 4 + 4 + 10;
  std::string bytes = ReadFile(path);
  ASSERT_GE(bytes.size(), kOffset + 8);
  uint64_t field = 0;
  for (std::size_t i = 0; i < 8; ++i) field = (field << 8) | static_cast<unsigned char>(bytes[kOffset + i]);
  field = (field & ~((1ULL << 36) - 1)) | (total & ((1ULL << 36) - 1));
  for (std::size_t i = 0; i < 8; ++i) bytes[kOffset + i] = static_cast<char>(field >> (8 * (7 - i)));
  WriteFile(path, bytes);
}

}  // namespace TestUtil
