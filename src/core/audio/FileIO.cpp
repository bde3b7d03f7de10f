#include "audio/FileIO.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace Vantor {

namespace {

unsigned char Byte(char const* p, int i) { return static_cast<unsigned char>(p[i]); }

unsigned int BE32(char const* p) {
  return (static_cast<unsigned int>(Byte(p, 0)) << 24) | (static_cast<unsigned int>(Byte(p, 1)) << 16) |
         (static_cast<unsigned int>(Byte(p, 2)) << 8) | Byte(p, 3);
}

unsigned int LE32(char const* p) {
  return (static_cast<unsigned int>(Byte(p, 3)) << 24) | (static_cast<unsigned int>(Byte(p, 2)) << 16) |
         (static_cast<unsigned int>(Byte(p, 1)) << 8) | Byte(p, 0);
}

unsigned long long LE64(char const* p) {
  return (static_cast<unsigned long long>(LE32(p + 4)) << 32) | LE32(p);
}

int LE24(char const* p) {
  return static_cast<int>((static_cast<unsigned int>(Byte(p, 2)) << 16) |
                          (static_cast<unsigned int>(Byte(p, 1)) << 8) | Byte(p, 0));
}

int SLE24(char const* p) {
  int v = LE24(p);
  return v >= 0x800000 ? v - 0x1000000 : v;
}

unsigned short LE16(char const* p) {
  return static_cast<unsigned short>((Byte(p, 1) << 8) | Byte(p, 0));
}

short SLE16(char const* p) { return static_cast<short>(LE16(p)); }

void PutBE32(char* p, unsigned int v) {
  p[0] = static_cast<char>(v >> 24);
  p[1] = static_cast<char>(v >> 16);
  p[2] = static_cast<char>(v >> 8);
  p[3] = static_cast<char>(v);
}

void PutLE32(char* p, unsigned int v) {
  p[0] = static_cast<char>(v);
  p[1] = static_cast<char>(v >> 8);
  p[2] = static_cast<char>(v >> 16);
  p[3] = static_cast<char>(v >> 24);
}

void PutLE64(char* p, unsigned long long v) {
  PutLE32(p, static_cast<unsigned int>(v));
  PutLE32(p + 4, static_cast<unsigned int>(v >> 32));
}

void PutLE24(char* p, unsigned int v) {
  p[0] = static_cast<char>(v);
  p[1] = static_cast<char>(v >> 8);
  p[2] = static_cast<char>(v >> 16);
}

void PutLE16(char* p, unsigned short v) {
  p[0] = static_cast<char>(v);
  p[1] = static_cast<char>(v >> 8);
}

// One read of exactly n bytes; anything less is a failure.
void ReadExactly(int fd, char* buf, size_t n) {
  ssize_t got = read(fd, buf, n);
  if (got < 0 || static_cast<size_t>(got) != n) throw std::runtime_error("could not read");
}

// One write of exactly n bytes; anything less is a failure.
void WriteExactly(int fd, char const* buf, size_t n) {
  ssize_t put = write(fd, buf, n);
  if (put < 0 || static_cast<size_t>(put) != n) throw std::runtime_error("could not write");
}

// Bytes are read in pieces of at most this size when the descriptor cannot tell how
// much it still holds (a pipe, a socket), so a false length claim costs at most the
// bytes that really arrive.
constexpr size_t kReadPiece = 64 * 1024;

}  // namespace

unsigned int ReadBE32(char const*& p) { unsigned int v = BE32(p); p += 4; return v; }
unsigned int Read4CC(char const*& p) { return ReadBE32(p); }
unsigned int ReadLE32(char const*& p) { unsigned int v = LE32(p); p += 4; return v; }
unsigned long long ReadLE64(char const*& p) { unsigned long long v = LE64(p); p += 8; return v; }
int ReadLE24(char const*& p) { int v = LE24(p); p += 3; return v; }
int ReadSLE24(char const*& p) { int v = SLE24(p); p += 3; return v; }
unsigned short ReadLE16(char const*& p) { unsigned short v = LE16(p); p += 2; return v; }
short ReadSLE16(char const*& p) { short v = SLE16(p); p += 2; return v; }

unsigned int ReadBE32(char const* const& p) { return BE32(p); }
unsigned int Read4CC(char const* const& p) { return BE32(p); }
unsigned int ReadLE32(char const* const& p) { return LE32(p); }
unsigned long long ReadLE64(char const* const& p) { return LE64(p); }
int ReadLE24(char const* const& p) { return LE24(p); }
int ReadSLE24(char const* const& p) { return SLE24(p); }
unsigned short ReadLE16(char const* const& p) { return LE16(p); }
short ReadSLE16(char const* const& p) { return SLE16(p); }

void WriteBE32(char*& p, unsigned int v) { PutBE32(p, v); p += 4; }
void WriteLE32(char*& p, unsigned int v) { PutLE32(p, v); p += 4; }
void WriteLE64(char*& p, unsigned long long v) { PutLE64(p, v); p += 8; }
void WriteLE24(char*& p, unsigned int v) { PutLE24(p, v); p += 3; }
void WriteLE16(char*& p, unsigned short v) { PutLE16(p, v); p += 2; }

void WriteBE32(char* const& p, unsigned int v) { PutBE32(p, v); }
void WriteLE32(char* const& p, unsigned int v) { PutLE32(p, v); }
void WriteLE64(char* const& p, unsigned long long v) { PutLE64(p, v); }
void WriteLE24(char* const& p, unsigned int v) { PutLE24(p, v); }
void WriteLE16(char* const& p, unsigned short v) { PutLE16(p, v); }

unsigned short ReadBE16(int fd) {
  char b[2];
  ReadExactly(fd, b, sizeof b);
  return static_cast<unsigned short>((Byte(b, 0) << 8) | Byte(b, 1));
}

unsigned int ReadBE32(int fd) {
  char b[4];
  ReadExactly(fd, b, sizeof b);
  return BE32(b);
}

unsigned int Read4CC(int fd) { return ReadBE32(fd); }

unsigned long long ReadBE64(int fd) {
  char b[8];
  ReadExactly(fd, b, sizeof b);
  return (static_cast<unsigned long long>(BE32(b)) << 32) | BE32(b + 4);
}

unsigned short ReadLE16(int fd) {
  char b[2];
  ReadExactly(fd, b, sizeof b);
  return LE16(b);
}

unsigned int ReadLE32(int fd) {
  char b[4];
  ReadExactly(fd, b, sizeof b);
  return LE32(b);
}

std::string ReadString(int fd) {
  std::string s;
  for (;;) {
    char c;
    ReadExactly(fd, &c, 1);
    if (c == '\0') return s;
    s += c;
  }
}

std::string ReadString(int fd, unsigned int n) {
  if (n == 0) return std::string();
  struct stat st;
  if (fstat(fd, &st) != 0) throw std::runtime_error("could not read");
  if (S_ISREG(st.st_mode)) {
    // The file says how much it still holds: refuse a longer claim before allocating.
    off_t pos = lseek(fd, 0, SEEK_CUR);
    if (pos < 0 || pos > st.st_size || static_cast<unsigned long long>(st.st_size - pos) < n)
      throw std::runtime_error("could not read");
    std::string s(n, '\0');
    ReadExactly(fd, s.data(), n);
    return s;
  }
  std::string s;
  while (s.size() < n) {
    size_t piece = std::min<size_t>(kReadPiece, n - s.size());
    size_t at = s.size();
    s.resize(at + piece);
    ReadExactly(fd, s.data() + at, piece);
  }
  return s;
}

void ReadAt(int fd, long long offset, char* buffer, size_t n) {
  for (size_t done = 0; done < n;) {
    const ssize_t got = pread(fd, buffer + done, n - done, static_cast<off_t>(offset + static_cast<long long>(done)));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw std::runtime_error("could not read");
    done += static_cast<size_t>(got);
  }
}

std::string ReadAt(int fd, long long offset, size_t n) {
  std::string s(n, '\0');
  ReadAt(fd, offset, s.data(), n);
  return s;
}

void WriteBE32(int fd, unsigned int v) {
  char b[4];
  PutBE32(b, v);
  WriteExactly(fd, b, sizeof b);
}

void WriteBE64(int fd, unsigned long long v) {
  char b[8];
  PutBE32(b, static_cast<unsigned int>(v >> 32));
  PutBE32(b + 4, static_cast<unsigned int>(v));
  WriteExactly(fd, b, sizeof b);
}

void WriteLE32(int fd, unsigned int v) {
  char b[4];
  PutLE32(b, v);
  WriteExactly(fd, b, sizeof b);
}

void WriteLE24(int fd, unsigned int v) {
  char b[3];
  PutLE24(b, v);
  WriteExactly(fd, b, sizeof b);
}

void WriteLE16(int fd, unsigned short v) {
  char b[2];
  PutLE16(b, v);
  WriteExactly(fd, b, sizeof b);
}

void WriteString(int fd, std::string const& s) {
  WriteExactly(fd, s.c_str(), s.size() + 1);
}

}  // namespace Vantor
