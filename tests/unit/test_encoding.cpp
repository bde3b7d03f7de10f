// FLACEncoder and ToFLAC, checked against libFLAC's metadata reader and the flac tool:
// "riff" blocks, exact samples, byte-exact WAV restoration, refusals that leave the
// destination alone, kept file attributes, and the running-conversion count.
#include <FLAC/metadata.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

#include "TestUtil.h"
#include "audio/FLACEncode.h"
#include "transcode/Conversion.h"

using namespace TestUtil;
using namespace std::string_literals;

namespace {

// Every APPLICATION block of a FLAC file as its 4-byte id followed by its data.
std::vector<std::string> ApplicationBlocks(const std::string& path) {
  std::vector<std::string> blocks;
  FLAC__Metadata_SimpleIterator* it = FLAC__metadata_simple_iterator_new();
  EXPECT_TRUE(FLAC__metadata_simple_iterator_init(it, path.c_str(), true, false)) << path;
  do {
    if (FLAC__metadata_simple_iterator_get_block_type(it) != FLAC__METADATA_TYPE_APPLICATION) continue;
    FLAC__StreamMetadata* b = FLAC__metadata_simple_iterator_get_block(it);
    const auto& app = b->data.application;
    blocks.push_back(std::string(reinterpret_cast<const char*>(app.id), 4) +
                     std::string(reinterpret_cast<const char*>(app.data), b->length - 4));
    FLAC__metadata_object_delete(b);
  } while (FLAC__metadata_simple_iterator_next(it));
  FLAC__metadata_simple_iterator_delete(it);
  return blocks;
}

// The decoded samples as signed little-endian bytes of the stream's own width.
std::string DecodeRaw(const std::string& flac) {
  std::string raw = flac + ".raw";
  EXPECT_EQ(TestUtil::Run("flac -d -s -f --force-raw-format --endian=little --sign=signed -o " + Quote(raw) + " " +
                          Quote(flac)),
            0);
  return ReadFile(raw);
}

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Message(const std::string& src, const std::string& dst) {
  try {
    Vantor::ToFLAC(src, dst);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(FLACEncoder, StoresEachChunkListElementAsOneRiffBlock) {
  const std::vector<std::vector<std::string>> lists = {
      {},
      {"RIFF\x24\0\0\0WAVE"s},
      {"RIFF\0\0\0\0WAVE"s, Chunk("LIST", "odd\0x"s), Chunk("data", "ab").substr(0, 8),
       Chunk("cue ", RandomBytes(100000, 3))},
  };
  TempDir dir;
  for (const auto& list : lists) {
    SCOPED_TRACE(list.size());
    const std::string path = dir.File("out.flac");
    {
      Vantor::Audio::FLACEncoder encoder(path, 5, 16, 2, 44100.0, 3, list);
      float frames[6] = {0, 0.5f, -1, 0, 0, 0.25f};
      encoder.Encode(frames, 3);
      encoder.Finish();
    }
    std::vector<std::string> expected;
    for (const std::string& element : list) expected.push_back("riff" + element);
    EXPECT_EQ(ApplicationBlocks(path), expected);
  }
}

TEST(FLACEncoder, RefusesWhatItCannotStore) {
  TempDir dir;
  struct Case {
    std::string path;
    int bits;
    std::vector<std::string> chunks;
    const char* message;
  } cases[] = {
      {dir.File("deep.flac"), 32, {}, "couldn't init flac encoder"},
      // One byte more than a block's 24-bit length field can carry.
      {dir.File("big.flac"), 16, {std::string((1 << 24) - 4, 'x')}, "couldn't set flac metadata"},
  };
  for (const Case& c : cases) {
    try {
      Vantor::Audio::FLACEncoder encoder(c.path, 5, c.bits, 2, 44100.0, 0, c.chunks);
      ADD_FAILURE() << c.path << " accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.message) << c.path;
    }
  }
}

TEST(ToFLAC, KeepsSamplesAndChunksOfIntegerWAVs) {
  struct Case {
    int bits, channels, frames;
  } cases[] = {{8, 1, 1000}, {8, 2, 4097}, {16, 1, 4096}, {16, 2, 4097}, {16, 6, 500}, {20, 2, 900}, {24, 2, 9000}, {24, 6, 700}};
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bits << " bits, " << c.channels << " channels");
    const size_t width = static_cast<size_t>((c.bits + 7) / 8);  // 20 bits sit in 3 bytes
    std::string data = RandomBytes(static_cast<size_t>(c.frames * c.channels) * width, c.frames);
    // Full scale first: lowest and highest sample of the depth (8-bit WAV is unsigned),
    // which must survive the float scaling exactly.
    data.replace(0, 2 * width, width == 1 ? "\x00\xff"s : std::string(width - 1, '\0') + '\x80' +
                                                            std::string(width - 1, '\xff') + '\x7f');
    const std::string before = Chunk("LIST", "INFOISFT\x05\0\0\0abcd\0"s) + Chunk("JUNK", "");
    const std::string after = Chunk("cue ", RandomBytes(28, 9)) + Chunk("note", "odd");
    const std::string wav = MakeWAV(c.channels, 44100, c.bits, data, before, after);
    WriteFile(dir.File("in.wav"), wav);
    Vantor::ToFLAC(dir.File("in.wav"), dir.File("out.flac"));

    EXPECT_EQ(TestUtil::Run("flac -t -s " + Quote(dir.File("out.flac"))), 0);
    std::string raw = DecodeRaw(dir.File("out.flac"));
    if (c.bits == 8)
      for (char& b : raw) b = static_cast<char>(b ^ 0x80);  // signed output, unsigned WAV bytes
    EXPECT_TRUE(raw == data);
    const std::vector<std::string> expected = {
        "riff" + wav.substr(0, 12),       "riff" + FmtChunk(c.channels, 44100, c.bits),
        "riff" + Chunk("LIST", "INFOISFT\x05\0\0\0abcd\0"s), "riff" + Chunk("JUNK", ""),
        "riff" + Chunk("data", data).substr(0, 8), "riff" + Chunk("cue ", RandomBytes(28, 9)),
        "riff" + Chunk("note", "odd"),
    };
    EXPECT_EQ(ApplicationBlocks(dir.File("out.flac")), expected);
    // flac itself lays the stored chunks out again around the audio (it writes deeper or
    // wider audio in the extensible format, so only canonical layouts compare).
    if (c.bits > 16 || c.channels > 2) continue;
    EXPECT_EQ(TestUtil::Run("flac -d -s -f --keep-foreign-metadata -o " + Quote(dir.File("back.wav")) + " " +
                            Quote(dir.File("out.flac")) + " 2>/dev/null"),
              0);
    EXPECT_TRUE(ReadFile(dir.File("back.wav")) == wav);
  }
  EXPECT_FALSE(IsEncoding());
}

TEST(ToFLAC, FailuresLeaveTheDestinationAsItWas) {
  TempDir dir;
  auto soxMade = [&](const std::string& args, const std::string& extension) {
    std::string path = dir.File("made." + extension);
    EXPECT_EQ(TestUtil::Run("sox -n -r 44100 -c 2 " + args + " " + Quote(path) + " synth 0.1 sine 440"), 0);
    std::string bytes = ReadFile(path);
    std::filesystem::remove(path);
    return bytes;
  };
  const std::string old = "an earlier, good FLAC file";
  const std::string wav16 = MakeWAV(2, 44100, 16, RandomBytes(4000, 2));
  struct Case {
    const char* name;
    std::optional<std::string> source;
    bool destinationExists;
    const char* message;
  } cases[] = {
      {"aiff", soxMade("-b 16", "aiff"), false, "wrong tag"},
      {"empty data", MakeWAV(2, 44100, 16, ""), false, "no audio data"},
      {"float", soxMade("-b 32 -e floating-point", "wav"), true, "unsupported sample format: floating point"},
      {"32 bits", MakeWAV(2, 44100, 32, RandomBytes(800, 4)), true, "unsupported sample format: more than 24 bits"},
      {"truncated data", wav16.substr(0, wav16.size() - 100), true, "ToFLAC read"},
      {"missing source", std::nullopt, true, "could not read"},
  };
  auto openDescriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  const auto descriptors = openDescriptors();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string src = dir.File("src.wav");
    std::string dst = dir.File("dst.flac");
    std::filesystem::remove(src);
    std::filesystem::remove(dst);
    if (c.source) WriteFile(src, *c.source);
    if (c.destinationExists) WriteFile(dst, old);
    const auto before = Listing(dir.Path());

    EXPECT_EQ(Message(src, dst), c.message);
    EXPECT_FALSE(IsEncoding());
    EXPECT_EQ(Listing(dir.Path()), before);  // no temporary file left, no destination made
    if (c.destinationExists) {
      EXPECT_TRUE(ReadFile(dst) == old);
    }
  }

  // A failure after the whole file was encoded: the destination is a folder.
  WriteFile(dir.File("src.wav"), wav16);
  std::filesystem::create_directory(dir.File("folder.flac"));
  WriteFile(dir.File("folder.flac/inside"), old);
  const auto before = Listing(dir.Path());
  EXPECT_EQ(Message(dir.File("src.wav"), dir.File("folder.flac")), "could not write");
  EXPECT_EQ(Listing(dir.Path()), before);
  EXPECT_EQ(ReadFile(dir.File("folder.flac/inside")), old);
  EXPECT_FALSE(IsEncoding());
  EXPECT_EQ(openDescriptors(), descriptors);
}

TEST(ToFLAC, ReplacedFileKeepsModeOwnerAndExtendedAttributes) {
  TempDir dir;
  const std::string src = dir.File("in.wav"), dst = dir.File("out.flac");
  for (bool destinationExists : {true, false}) {
    SCOPED_TRACE(destinationExists);
    std::filesystem::remove(dst);
    WriteFile(src, MakeWAV(1, 22050, 16, RandomBytes(2000, 6)));
    ASSERT_EQ(chmod(src.c_str(), 0604), 0);
    // The file whose attributes the result must carry: the old destination, else the source.
    const std::string& model = destinationExists ? dst : src;
    if (destinationExists) WriteFile(dst, "old");
    if (geteuid() == 0) {
      ASSERT_EQ(chown(model.c_str(), 4321, 8765), 0);  // as root, the owner is kept too
    }
    ASSERT_EQ(chmod(model.c_str(), 04751), 0);  // set-user-id: chown would have cleared it
    const bool xattrs = setxattr(model.c_str(), "user.lyrebox", "kept", 4, 0) == 0;  // false: not supported here
    struct stat want, got;
    ASSERT_EQ(stat(model.c_str(), &want), 0);

    Vantor::ToFLAC(src, dst);
    ASSERT_EQ(stat(dst.c_str(), &got), 0);
    EXPECT_EQ(ReadFile(dst).substr(0, 4), "fLaC");
    EXPECT_EQ(got.st_mode, want.st_mode);
    EXPECT_EQ(got.st_uid, want.st_uid);
    EXPECT_EQ(got.st_gid, want.st_gid);
    char value[8] = {};
    if (xattrs) {
      EXPECT_EQ(getxattr(dst.c_str(), "user.lyrebox", value, sizeof value), 4);
      EXPECT_STREQ(value, "kept");
    }
  }
}

TEST(ToFLAC, UsesTheLevelSetBeforeTheConversion) {
  TempDir dir;
  ASSERT_EQ(TestUtil::Run("sox -n -r 44100 -b 16 -c 2 " + Quote(dir.File("in.wav")) + " synth 3 pluck C3 pluck E3"), 0);
  std::map<int, uintmax_t> sizes;
  for (int level : {0, 8}) {
    SetCompression(level);
    Vantor::ToFLAC(dir.File("in.wav"), dir.File("out.flac"));
    sizes[level] = std::filesystem::file_size(dir.File("out.flac"));
  }
  SetCompression(5);
  EXPECT_LT(sizes[8], sizes[0]);
}

TEST(ToFLAC, CountsAsEncodingWhileItRuns) {
  TempDir dir;
  const std::string fifo = dir.File("in.wav");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string message;
  std::thread conversion([&] { message = Message(fifo, dir.File("out.flac")); });
  // Opening a FIFO's writing end returns once the conversion has opened its reading end.
  int fd = open(fifo.c_str(), O_WRONLY);
  const bool seen = IsEncoding();
  EXPECT_EQ(write(fd, "FORM\0\0\0\4AIFF", 12), 12);
  close(fd);
  conversion.join();
  EXPECT_TRUE(seen);
  EXPECT_EQ(message, "wrong tag");
  EXPECT_FALSE(IsEncoding());
}

}  // namespace
