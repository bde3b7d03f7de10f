// Byte-order readers and writers on memory and descriptors, and four-character codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>
#include <string>

#include "TestUtil.h"
#include "audio/FileIO.h"
#include "audio/FourCC.h"

using namespace Vantor;

namespace {

// Owns one descriptor for a test.
struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) { EXPECT_GE(fd, 0); }
  ~Fd() { if (fd >= 0) close(fd); }
};

template <typename F>
std::string ThrownMessage(F f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

}  // namespace

TEST(FileIO, MemoryReadersBothForms) {
  struct Case {
    std::string bytes;
    long long (*moving)(char const*&);
    long long (*fixed)(char const* const&);
    long long expected;
    int width;
  };
  const Case cases[] = {
      {"\xFF\xFF\x7F", [](char const*& p) -> long long { return ReadSLE24(p); },
       [](char const* const& p) -> long long { return ReadSLE24(p); }, 8388607, 3},
      {std::string("\x00\x00\x80", 3), [](char const*& p) -> long long { return ReadSLE24(p); },
       [](char const* const& p) -> long long { return ReadSLE24(p); }, -8388608, 3},
      {"\xFF\xFF\xFF", [](char const*& p) -> long long { return ReadSLE24(p); },
       [](char const* const& p) -> long long { return ReadSLE24(p); }, -1, 3},
      {"\xFF\xFF\xFF", [](char const*& p) -> long long { return ReadLE24(p); },
       [](char const* const& p) -> long long { return ReadLE24(p); }, 16777215, 3},
      {"\xFF\xFF", [](char const*& p) -> long long { return ReadSLE16(p); },
       [](char const* const& p) -> long long { return ReadSLE16(p); }, -1, 2},
      {"\xFF\xFF", [](char const*& p) -> long long { return ReadLE16(p); },
       [](char const* const& p) -> long long { return ReadLE16(p); }, 65535, 2},
      {"\x01\x02\x03\x84", [](char const*& p) -> long long { return ReadLE32(p); },
       [](char const* const& p) -> long long { return ReadLE32(p); }, 0x84030201LL, 4},
      {"\x81\x02\x03\x04", [](char const*& p) -> long long { return ReadBE32(p); },
       [](char const* const& p) -> long long { return ReadBE32(p); }, 0x81020304LL, 4},
      {"WAVE", [](char const*& p) -> long long { return Read4CC(p); },
       [](char const* const& p) -> long long { return Read4CC(p); }, 0x57415645, 4},
  };
  for (const auto& c : cases) {
    char const* p = c.bytes.data();
    EXPECT_EQ(c.moving(p), c.expected) << c.expected;
    EXPECT_EQ(p, c.bytes.data() + c.width);
    char const* const q = c.bytes.data();
    EXPECT_EQ(c.fixed(q), c.expected);
  }
}

TEST(FileIO, MemoryWritersBothForms) {
  struct Case {
    void (*moving)(char*&);
    void (*fixed)(char* const&);
    std::string expected;
  };
  const Case cases[] = {
      {[](char*& p) { WriteLE24(p, 0x12345678); }, [](char* const& p) { WriteLE24(p, 0x12345678); }, "\x78\x56\x34"},
      {[](char*& p) { WriteBE32(p, 0x52494646); }, [](char* const& p) { WriteBE32(p, 0x52494646); }, "RIFF"},
      {[](char*& p) { WriteLE32(p, 0x01020384); }, [](char* const& p) { WriteLE32(p, 0x01020384); }, "\x84\x03\x02\x01"},
      {[](char*& p) { WriteLE16(p, 0xBEEF); }, [](char* const& p) { WriteLE16(p, 0xBEEF); }, "\xEF\xBE"},
  };
  for (const auto& c : cases) {
    std::string a(8, 'z'), b(8, 'z');
    char* p = a.data();
    c.moving(p);
    EXPECT_EQ(p, a.data() + c.expected.size());
    EXPECT_EQ(a, c.expected + std::string(8 - c.expected.size(), 'z'));
    char* const q = b.data();
    c.fixed(q);
    EXPECT_EQ(b, a);
  }
}

TEST(FileIO, DescriptorRoundTripAndExactBytes) {
  TestUtil::TempDir dir;
  const std::string path = dir.File("f");
  {
    Fd out(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    WriteBE64(out.fd, 0x0102030405060708ULL);
    WriteBE32(out.fd, 0x52494646);
    WriteLE32(out.fd, 0xA1B2C3D4);
    WriteLE24(out.fd, 0x12345678);
    WriteLE16(out.fd, 0xBEEF);
    WriteString(out.fd, "abc");
    WriteString(out.fd, "");
  }
  EXPECT_EQ(TestUtil::ReadFile(path),
            std::string("\x01\x02\x03\x04\x05\x06\x07\x08RIFF\xD4\xC3\xB2\xA1\x78\x56\x34\xEF\xBE"
                        "abc\0\0", 26));
  Fd in(open(path.c_str(), O_RDONLY));
  EXPECT_EQ(ReadBE64(in.fd), 0x0102030405060708ULL);
  EXPECT_EQ(Read4CC(in.fd), 0x52494646u);
  EXPECT_EQ(ReadLE32(in.fd), 0xA1B2C3D4u);
  EXPECT_EQ(ReadString(in.fd, 3), "\x78\x56\x34");
  EXPECT_EQ(ReadBE16(in.fd), 0xEFBE);
  EXPECT_EQ(ReadString(in.fd), "abc");
  EXPECT_EQ(ReadString(in.fd, 0), "");
  EXPECT_EQ(ReadString(in.fd), "");
  EXPECT_EQ(ThrownMessage([&] { ReadLE16(in.fd); }), "could not read");
}

TEST(FileIO, ShortTransfersFail) {
  TestUtil::TempDir dir;
  const std::string path = dir.File("short");
  TestUtil::WriteFile(path, std::string("\0ab\0c", 5));
  struct Case {
    const char* name;
    off_t at;
    void (*read)(int);
  };
  const Case cases[] = {
      {"BE32 with 3 left", 2, [](int fd) { ReadBE32(fd); }},
      {"BE64 with 5 left", 0, [](int fd) { ReadBE64(fd); }},
      {"string without terminator", 4, [](int fd) { ReadString(fd); }},
      {"string of 6 from 5 bytes", 0, [](int fd) { ReadString(fd, 6); }},
      {"4 GiB claim on 5 bytes", 0, [](int fd) { ReadString(fd, 0xFFFFFFFFu); }},
      {"string at end", 5, [](int fd) { ReadString(fd, 1); }},
  };
  for (const auto& c : cases) {
    Fd in(open(path.c_str(), O_RDONLY));
    lseek(in.fd, c.at, SEEK_SET);
    EXPECT_EQ(ThrownMessage([&] { c.read(in.fd); }), "could not read") << c.name;
  }
  Fd ro(open(path.c_str(), O_RDONLY));
  EXPECT_EQ(ThrownMessage([&] { WriteLE32(ro.fd, 1); }), "could not write");
}

TEST(FileIO, PipeClaimLargerThanDataFailsWithoutReadingItAll) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  Fd r(p[0]);
  {
    Fd w(p[1]);
    ASSERT_EQ(write(w.fd, "0123456789", 10), 10);
  }
  EXPECT_EQ(ThrownMessage([&] { ReadString(r.fd, 0xFFFFFFF0u); }), "could not read");
}

TEST(FourCC, ValueAndStreamOutput) {
  static_assert(FourCCValue("RIFF") == 0x52494646);
  static_assert(FourCCValue("data") == 0x64617461);
  std::ostringstream os;
  os << FourCC(0x52494646) << FourCC(FourCCValue("fmt "));
  EXPECT_EQ(os.str(), "'RIFF''fmt '");
}
