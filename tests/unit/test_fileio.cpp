// Byte-order readers and writers on memory and descriptors, at the edges of their ranges.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "TestUtil.h"
#include "audio/FileIO.h"

using namespace Vantor;

using TestUtil::ErrorOf;

TEST(FileIO, MemoryForms) {
  const std::string in("\xFF\xFF\x7F\x00\x00\x80\xFF\xFF\xFFWAVE", 13);
  char const* p = in.data();
  EXPECT_EQ(ReadSLE24(p), 8388607);
  EXPECT_EQ(ReadSLE24(p), -8388608);
  char const* const fixed = p;  // the fixed forms read in place
  EXPECT_EQ(ReadSLE24(fixed), -1);
  EXPECT_EQ(ReadLE24(fixed), 16777215);
  EXPECT_EQ(ReadSLE16(fixed), -1);
  EXPECT_EQ(ReadLE16(fixed), 65535);
  EXPECT_EQ(ReadLE24(p), 16777215);
  EXPECT_EQ(Read4CC(p), 0x57415645u);
  EXPECT_EQ(p, in.data() + 13);

  std::string out(13, 'z');
  char* w = out.data();
  WriteLE24(w, 0x12345678);
  WriteBE32(w, 0x52494646);
  WriteLE32(w, 0x01020384);
  WriteLE16(w, 0xBEEF);
  EXPECT_EQ(w, out.data() + 13);
  EXPECT_EQ(out, "\x78\x56\x34RIFF\x84\x03\x02\x01\xEF\xBE");
  char* const at = out.data() + 3;
  WriteLE32(at, 0x46464952);
  EXPECT_EQ(ReadBE32(static_cast<char const*>(at)), 0x52494646u);
}

TEST(FileIO, DescriptorForms) {
  TestUtil::TempDir dir;
  const std::string path = dir.File("f");
  int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  WriteBE64(fd, 0x0102030405060708ULL);
  WriteLE24(fd, 0x12345678);
  WriteLE16(fd, 0xBEEF);
  WriteString(fd, "abc");
  EXPECT_EQ(TestUtil::ReadFile(path), std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x78\x56\x34\xEF\xBE" "abc\0", 17));
  lseek(fd, 0, SEEK_SET);
  EXPECT_EQ(ReadBE64(fd), 0x0102030405060708ULL);
  EXPECT_EQ(ReadString(fd, 3), "\x78\x56\x34");
  EXPECT_EQ(ReadBE16(fd), 0xEFBE);
  EXPECT_EQ(ReadString(fd), "abc");
  EXPECT_EQ(ReadString(fd, 0), "");

  // Short transfers; a claim of 4 GiB on a small file fails before allocating it.
  const struct { off_t at; void (*read)(int); } shortReads[] = {
      {14, [](int f) { ReadBE32(f); }},        {10, [](int f) { ReadBE64(f); }},
      {17, [](int f) { ReadString(f); }},      {10, [](int f) { ReadString(f, 8); }},
      {0, [](int f) { ReadString(f, 0xFFFFFFFFu); }},
  };
  for (const auto& c : shortReads) {
    lseek(fd, c.at, SEEK_SET);
    EXPECT_EQ(ErrorOf([&] { c.read(fd); }), "could not read") << c.at;
  }
  close(fd);
  fd = open(path.c_str(), O_RDONLY);
  EXPECT_EQ(ErrorOf([&] { WriteLE32(fd, 1); }), "could not write");
  close(fd);

  // A pipe cannot tell its length: the claim is read in pieces and fails at the end.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(write(p[1], "0123456789", 10), 10);
  close(p[1]);
  EXPECT_EQ(ErrorOf([&] { ReadString(p[0], 0xFFFFFFF0u); }), "could not read");
  close(p[0]);
}
