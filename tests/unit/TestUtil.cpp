#include "TestUtil.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
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
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
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

std::set<std::string> Entries(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.insert(e.path().filename().string());
  return names;
}

int Run(const std::string& command) {
  const int status = system(command.c_str());
  return status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string RunOutput(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) throw std::runtime_error("popen failed: " + command);
  std::array<char, 65536> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  EXPECT_EQ(pclose(p), 0) << command;
  return out;
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
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

std::string LE16(unsigned v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }

std::string LE32(unsigned v) { return LE16(v & 0xFFFF) + LE16(v >> 16); }

std::string LE64(unsigned long long v) { return LE32(static_cast<unsigned>(v)) + LE32(static_cast<unsigned>(v >> 32)); }

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

std::string ExtensibleFmtChunk(int channels, int rate, int container, int valid, unsigned mask, unsigned subformat) {
  const auto u = [](int v) { return static_cast<unsigned>(v); };
  const unsigned align = u(channels * container / 8);
  return Chunk("fmt ", LE16(0xFFFE) + LE16(u(channels)) + LE32(u(rate)) + LE32(align * u(rate)) + LE16(align) +
                           LE16(u(container)) + LE16(22) + LE16(u(valid)) + LE32(mask) + LE16(subformat) +
                           std::string("\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 14));
}

std::string DS64Chunk(unsigned long long riffSize, unsigned long long dataSize, unsigned long long frames) {
  return Chunk("ds64", LE64(riffSize) + LE64(dataSize) + LE64(frames) + LE32(0));
}

std::string MakeWAV(int channels, int rate, int bits, const std::string& samples, const std::string& before,
                    const std::string& after) {
  std::string body = "WAVE" + FmtChunk(channels, rate, bits) + before + Chunk("data", samples) + after;
  return "RIFF" + LE32(static_cast<unsigned>(body.size())) + body;
}

}  // namespace TestUtil
