// Fixed-width integers in a stated byte order, on memory and on descriptors, so that
// the RIFF/WAVE code says the byte order of every field it touches.
//
// Memory forms come in pairs: a moving cursor (`char const*&` / `char*&`, advanced past
// the bytes) and a fixed pointer (`char const* const&` / `char* const&`, left where it
// is). They never check bounds. Descriptor forms move the file position and throw
// std::runtime_error "could not read" / "could not write" on any short transfer.
//
// Thread-safe: no state of its own.
#pragma once

#include <string>

namespace Vantor {

// Memory readers, moving cursor.
unsigned int ReadBE32(char const*& p);
unsigned int Read4CC(char const*& p);
unsigned int ReadLE32(char const*& p);
unsigned long long ReadLE64(char const*& p);
int ReadLE24(char const*& p);
int ReadSLE24(char const*& p);
unsigned short ReadLE16(char const*& p);
short ReadSLE16(char const*& p);

// Memory readers, fixed pointer.
unsigned int ReadBE32(char const* const& p);
unsigned int Read4CC(char const* const& p);
unsigned int ReadLE32(char const* const& p);
unsigned long long ReadLE64(char const* const& p);
int ReadLE24(char const* const& p);
int ReadSLE24(char const* const& p);
unsigned short ReadLE16(char const* const& p);
short ReadSLE16(char const* const& p);

// Memory writers, moving cursor.
void WriteBE32(char*& p, unsigned int v);
void WriteLE32(char*& p, unsigned int v);
void WriteLE64(char*& p, unsigned long long v);
void WriteLE24(char*& p, unsigned int v);
void WriteLE16(char*& p, unsigned short v);

// Memory writers, fixed pointer.
void WriteBE32(char* const& p, unsigned int v);
void WriteLE32(char* const& p, unsigned int v);
void WriteLE64(char* const& p, unsigned long long v);
void WriteLE24(char* const& p, unsigned int v);
void WriteLE16(char* const& p, unsigned short v);

// Descriptor readers.
unsigned short ReadBE16(int fd);
unsigned int ReadBE32(int fd);
unsigned int Read4CC(int fd);
unsigned long long ReadBE64(int fd);
unsigned short ReadLE16(int fd);
unsigned int ReadLE32(int fd);
// Bytes up to the first zero byte; the zero byte is consumed, not returned.
std::string ReadString(int fd);
// Exactly n bytes (zero bytes kept). Never allocates more than the file can still
// deliver: a claim past the end of the file fails with "could not read" first.
std::string ReadString(int fd, unsigned int n);
// Exactly n bytes at offset (pread: the file position does not move, retried when
// interrupted); "could not read" when the file ends first or the read fails.
std::string ReadAt(int fd, long long offset, size_t n);
void ReadAt(int fd, long long offset, char* buffer, size_t n);

// Descriptor writers.
void WriteBE32(int fd, unsigned int v);
void WriteBE64(int fd, unsigned long long v);
void WriteLE32(int fd, unsigned int v);
void WriteLE24(int fd, unsigned int v);
void WriteLE16(int fd, unsigned short v);
// The characters followed by one zero byte.
void WriteString(int fd, std::string const& s);

}  // namespace Vantor
