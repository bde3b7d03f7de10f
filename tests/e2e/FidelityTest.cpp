// Every file, exactly, at any size, through a mounted volume: FLAC files as they are
// found (encoders of every depth and layout, written to a pipe, 32-bit, without samples,
// damaged, beside a real WAV file) read as the flac tool decodes them, at random offsets
// and by many readers at once; WAV files as sox, ffmpeg, libsndfile and python write
// them (extensible, streamed to a pipe, RF64) copied in and compared with cmp; hostile
// "riff" blocks; images and copies past 4 GiB counted by libsndfile, ffprobe and sox;
// tags both ways.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "SyntheticFLAC.h"
#include "VolumeFixture.h"

namespace E2E {
namespace {

class FidelityTest : public VolumeTest {
 protected:
  // Waits, bounded, until the song written as name.wav is stored as name.flac and no
  // written data is pending: the conversion of a file closed unfinished (a streaming
  // writer's header) runs at its last release, which arrives after close returns.
  bool Stored(const std::string& stem, double seconds = 20) {
    return WaitUntil([&] { return FileExists(Root(stem + ".flac")) && !FileExists(Root(stem + ".wav")); }, seconds);
  }
  std::string Probe(const std::string& path, const std::string& entries) {
    return ShOut("ffprobe -v error -show_entries " + entries + " -of default=nw=1 " + Quote(path));
  }
};

TEST_F(FidelityTest, EveryFLACFileReadsAsTheFlacToolDecodesIt) {
  const struct {
    const char *stored, *shown;
    int channels, rate, bits;
    bool chunks;  // extra RIFF chunks, kept by flac --keep-foreign-metadata
  } audio[] = {
      {"s16.flac", "s16.wav", 2, 44100, 16, false},
      {"m8.flac", "m8.wav", 1, 22050, 8, true},
      {"c24.flac", "c24.wav", 6, 48000, 24, true},
      {"t20.flac", "t20.wav", 2, 44100, 20, false},  // shown in 24-bit containers
      {"deep.flac", "deep.wav", 2, 44100, 32, false},  // as python writes them and flac encodes them
      {"Mixed.Flac", "Mixed.Wav", 1, 44100, 16, true},
      {"UP.FLAC", "UP.WAV", 2, 96000, 24, false},
      {"odd \xff\x01 name.flac", "odd \xff\x01 name.wav", 2, 8000, 16, false},
  };
  std::map<std::string, std::string> expected;  // shown name -> bytes
  uint64_t seed = 1;
  const std::string list = Chunk("LIST", "INFOISFT" + LE32(5) + "lyrex"), cue = Chunk("cue ", std::string(27, 7));
  for (const auto& a : audio) {
    if (a.bits == 20 || a.bits == 32)  // the flac tool takes these in forms MakeWAV does not write
      EncodeFLAC(Root(a.stored), TestSignal(a.channels, a.bits, 30000, seed++), a.channels, a.bits);
    else
      FlacEncode(MakeNoiseWAV(a.channels, a.rate, a.bits, 0.7, seed++, a.chunks ? list : "", a.chunks ? cue : ""),
                 Root(a.stored), a.chunks);
    expected[a.shown] = FlacDecode(Root(a.stored));
  }
  // Written to pipes, their STREAMINFO states no length.
  const std::string wav = MakeNoiseWAV(2, 44100, 16, 1.0, 3), in = Quote(Tmp("in.wav"));
  WriteFile(Tmp("in.wav"), wav);
  ASSERT_EQ(Sh("ffmpeg -loglevel error -i " + in + " -f flac - | cat > " + Quote(Root("ffpipe.flac"))), 0);
  ASSERT_EQ(Sh("flac -s --ignore-chunk-sizes -o - - <" + in + " 2>/dev/null | cat > " + Quote(Root("flacpipe.flac"))),
            0);
  for (const char* f : {"ffpipe.flac", "flacpipe.flac"})
    ASSERT_EQ(ShOut("metaflac --show-total-samples " + Quote(Root(f))), "0\n") << f;
  expected["ffpipe.wav"] = FlacDecode(Root("ffpipe.flac"));
  expected["flacpipe.wav"] = wav;
  // No samples at all.
  EncodeFLAC(Root("silent.flac"), {}, 2, 16);
  expected["silent.wav"] = MakeWAV(2, 44100, 16, "");
  // The first frame damaged: silence in its place, every other frame in its own.
  EncodeFLAC(Root("damaged.flac"), TestSignal(2, 16, 5 * 4096, 6), 2, 16);
  const std::string intact = FlacDecode(Root("damaged.flac"));
  std::string bytes = ReadFile(Root("damaged.flac"));
  bytes[bytes.find(std::string("\xFF\xF8", 2), 42) + 100] ^= 0x40;
  WriteFile(Root("damaged.flac"), bytes);
  expected["damaged.wav"] = intact.substr(0, 44) + std::string(4096 * 4, '\0') + intact.substr(44 + 4096 * 4);
  // A FLAC file beside a real WAV file of the same name, empty and corrupt FLAC files,
  // a folder with a FLAC name, and a plain file.
  WriteFile(Root("both.wav"), expected["both.wav"] = MakeNoiseWAV(1, 8000, 16, 0.1, 99));
  ASSERT_EQ(link(Root("s16.flac").c_str(), Root("both.flac").c_str()), 0);
  expected["both.flac"] = ReadFile(Root("s16.flac"));
  WriteFile(Root("empty.flac"), expected["empty.wav"] = "");
  WriteFile(Root("corrupt.flac"), "fLaC" + RandomBytes(5000, 7));
  ASSERT_EQ(mkdir(Root("folder.flac").c_str(), 0755), 0);
  WriteFile(Root("folder.flac/inner.txt"), expected["folder.flac/inner.txt"] = "inside");
  WriteFile(Root("notes.txt"), "plain text\n");
  std::set<std::string> listing = {"corrupt.wav", "folder.flac", "notes.txt"};
  for (const auto& [name, bytes] : expected)
    if (name.find('/') == std::string::npos) listing.insert(name);
  StartVolume();

  EXPECT_EQ(Entries(Vol()), listing);
  EXPECT_FALSE(FileExists(Vol("folder.wav")));
  // A FLAC file that cannot be decoded is never a silent, empty WAV file: opening it fails.
  EXPECT_EQ(ErrnoOf(open(Vol("corrupt.wav").c_str(), O_RDONLY)), EIO);
  const unsigned readSeed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(readSeed));
  std::mt19937 rng(readSeed);
  for (const auto& [name, bytes] : expected) {
    SCOPED_TRACE(name);
    struct stat st;
    ASSERT_EQ(stat(Vol(name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, static_cast<off_t>(bytes.size()));
    // The first opening reads at random offsets (the decoder seeks), a second one whole.
    const int fd = open(Vol(name).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string buffer;
    for (int i = 0; i < 60 && !bytes.empty(); ++i) {
      const size_t offset = rng() % (bytes.size() + 1000), size = 1 + rng() % (i % 3 == 0 ? 200000 : 5000);
      buffer.assign(size, '\0');
      const ssize_t n = pread(fd, buffer.data(), size, static_cast<off_t>(offset));
      const std::string want = offset < bytes.size() ? bytes.substr(offset, size) : "";
      ASSERT_EQ(n, static_cast<ssize_t>(want.size())) << "offset " << offset;
      ASSERT_TRUE(buffer.compare(0, want.size(), want) == 0) << "offset " << offset << " size " << size;
    }
    close(fd);
    EXPECT_TRUE(SameBytes(ReadFile(Vol(name)), bytes));
  }
  // The damaged file read from the back in small pieces, each by a fresh opening.
  EXPECT_EQ(ShOut("for i in $(seq 40 -1 0); do dd if=" + Quote(Vol("damaged.wav")) + " bs=2048 skip=$i count=1 "
                  "status=none > " + Quote(Tmp("piece")) + "-$i; done; for i in $(seq 0 40); do cat " +
                  Quote(Tmp("piece")) + "-$i; done | cmp - " + Quote(Vol("damaged.wav")) + " && echo same"),
            "same\n");

  // Many readers at once, of one file and of different ones.
  std::vector<std::thread> readers;
  std::vector<int> ok(24, 0);
  for (int i = 0; i < 24; ++i) {
    const std::string name = i < 12 ? "c24.wav" : audio[i % std::size(audio)].shown;
    readers.emplace_back([&, i, name] { ok[i] = ReadFile(Vol(name)) == expected.at(name); });
  }
  for (auto& t : readers) t.join();
  for (int i = 0; i < 24; ++i) EXPECT_TRUE(ok[i]) << "reader " << i;
  EXPECT_EQ(CacheFiles(root_), "");
  EXPECT_EQ(LogText(), "openFileAtPath: /corrupt.wav: cannot decode corrupt.flac (error processing FLAC metadata)\n");
}

TEST_F(FidelityTest, WAVFilesComeBackAsThemselves) {
  StartVolume();
  const std::string sox = "sox -D -R -n -r 48000 ";
  const std::string ffmpeg = "ffmpeg -loglevel error -f lavfi -i anoisesrc=d=0.4:r=44100:seed=7 ";
  // python's wave module: FILE CHANNELS BYTES FRAMES.
  const std::string python =
      "python3 -c 'import sys,wave,random; c,b,n=map(int,sys.argv[2:]); w=wave.open(sys.argv[1],\"wb\"); "
      "w.setnchannels(c); w.setsampwidth(b); w.setframerate(22050); random.seed(1); "
      "w.writeframes(bytes(random.randrange(256) for _ in range(c*b*n))); w.close()' ";
  const std::string samples = RandomBytes(24000, 8);
  WriteFile(Tmp("data0.wav"), "RIFF" + LE32(36) + "WAVE" + FmtChunk(2, 44100, 16) + "data" + LE32(0) + samples);
  WriteFile(Tmp("pad.wav"), MakeWAV(2, 44100, 16, samples).replace(4, 4, LE32(36 + 24000 + 1)) + '\0');
  // Files with chunks around the data, in the form the flac tool restores exactly.
  const std::string bext = Chunk("bext", std::string(603, 'b')), list = Chunk("LIST", "INFOICMT" + LE32(3) + "hi!");
  const std::pair<std::string, std::string> canonical[] = {
      {"chunks24", MakeNoiseWAV(6, 48000, 24, 1.5, 12, bext, list)},
      {"chunks8", MakeNoiseWAV(1, 11025, 8, 1.5, 13, bext, list)}};
  for (const auto& [stem, bytes] : canonical) WriteFile(Tmp(stem + ".wav"), bytes);
  // 20 valid bits in 3-byte containers, extensible.
  std::string s20;
  for (int32_t v : TestSignal(2, 20, 3000, 20))
    s20 += {static_cast<char>(v << 4), static_cast<char>(v >> 4), static_cast<char>(v >> 12)};
  const std::string body20 = "WAVE" + ExtensibleFmtChunk(2, 48000, 24, 20, 3) + Chunk("data", s20);
  WriteFile(Tmp("x20.wav"), "RIFF" + LE32(static_cast<unsigned>(body20.size())) + body20);
  const struct {
    const char* name;
    std::string make;  // writes Tmp(name); empty: made above
    bool streamed;     // written straight into the volume through a pipe
  } cases[] = {
      {"sox24.wav", sox + "-b 24 -c 2 " + Tmp("sox24.wav") + " synth 0.4 pinknoise", false},
      {"sox8ch.wav", sox + "-b 16 -c 8 " + Tmp("sox8ch.wav") + " synth 0.4 pinknoise", false},
      {"ff8.wav", ffmpeg + "-c:a pcm_u8 " + Tmp("ff8.wav"), false},
      {"ff51.wav", ffmpeg + "-ac 6 -c:a pcm_s24le " + Tmp("ff51.wav"), false},
      {"ff71.wav", ffmpeg + "-ac 8 -c:a pcm_s16le " + Tmp("ff71.wav"), false},
      {"ffrf64.wav", ffmpeg + "-ac 2 -c:a pcm_s16le -rf64 always " + Tmp("ffrf64.wav"), false},
      {"sf24.wav", sox + "-b 16 -c 2 " + Tmp("in.wav") + " synth 0.4 pinknoise && sndfile-convert -pcm24 " +
                       Tmp("in.wav") + " " + Tmp("sf24.wav"), false},
      {"sf8.wav", sox + "-b 16 -c 6 " + Tmp("in6.wav") + " synth 0.4 pinknoise && sndfile-convert -pcmu8 " +
                      Tmp("in6.wav") + " " + Tmp("sf8.wav"), false},
      {"py8odd.wav", python + Tmp("py8odd.wav") + " 1 1 3001", false},
      {"py32.wav", python + Tmp("py32.wav") + " 2 4 3000", false},
      {"data0.wav", "", false},
      {"pad.wav", "", false},
      {"chunks24.wav", "", false},
      {"chunks8.wav", "", false},
      {"x20.wav", "", false},
      {"ffpipe.wav", ffmpeg + "-ac 2 -c:a pcm_s16le -f wav -", true},
      {"soxpipe.wav", sox + "-b 24 -c 2 -t wav - synth 0.4 pinknoise", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string stem = std::string(c.name).substr(0, std::strlen(c.name) - 4);
    if (c.streamed) {
      // Straight through the volume: the header says 0xFFFFFFFF or a size far too large.
      ASSERT_EQ(Sh(c.make + " 2>/dev/null | cat > " + Quote(Vol(c.name))), 0);
      ASSERT_EQ(Sh(c.make + " 2>/dev/null | cat > " + Quote(Tmp(c.name))), 0);
    } else {
      if (!c.make.empty()) {
        ASSERT_EQ(Sh(c.make + " 2>/dev/null"), 0);
      }
      // Read back at once: no pause between close() and the reads.
      const std::string in = Quote(Tmp(c.name)), out = Quote(Vol(c.name));
      ASSERT_EQ(Sh("cp " + in + " " + out + " && cmp " + in + " " + out), 0);
    }
    ASSERT_TRUE(Stored(stem)) << "not stored as FLAC: " << LogText();
    EXPECT_EQ(Sh("cmp " + Quote(Tmp(c.name)) + " " + Quote(Vol(c.name))), 0);
    EXPECT_EQ(Sh("flac -t -s " + Quote(Root(stem + ".flac")) + " 2>/dev/null"), 0);
  }
  for (const auto& [stem, bytes] : canonical) EXPECT_TRUE(SameBytes(FlacDecode(Root(stem + ".flac")), bytes)) << stem;
  EXPECT_EQ(LogText(), "");
}

// FLAC files whose "riff" blocks are not whole chunks, or whose STREAMINFO claims 9.8 G
// frames in a few hundred bytes, show as the WAV file the flac tool makes of the stream
// alone, which sox reads; a write into one is stored as a FLAC file again, the song with
// the written bytes in it.
TEST_F(FidelityTest, HostileFLACFilesShowPlayableAndSurviveAWrite) {
  EncodeFLAC(Tmp("base.flac"), TestSignal(2, 16, 5000, 7), 2, 16);
  const std::string image = FlacDecode(Tmp("base.flac"));
  const std::string riff = "RIFF" + LE32(0) + "WAVE", fmt = FmtChunk(2, 44100, 16), data = "data" + LE32(0);
  const std::pair<const char*, std::vector<std::string>> lists[] = {
      {"size", {riff, fmt, "LIST" + LE32(1000) + "INFOshort", data}},
      {"riff", {riff, fmt, data, riff}},
      {"short", {riff, fmt, "LIST", data}},
      {"claims", {}},
  };
  for (const auto& [name, list] : lists) {
    const std::string path = Root(std::string(name) + ".flac");
    std::filesystem::copy_file(Tmp("base.flac"), path);
    EditMetadata(path, list.empty() ? 9800000000LL : -1, RiffBlocks(list));
  }
  StartVolume();
  for (const auto& [name, list] : lists) {
    SCOPED_TRACE(name);
    const std::string wav = Vol(std::string(name) + ".wav");
    EXPECT_EQ(ShOut("soxi -s " + Quote(wav)), "5000\n");
    EXPECT_TRUE(SameBytes(ReadFile(wav), image));
    ASSERT_EQ(Sh("printf abcd | dd of=" + Quote(wav) + " bs=1 seek=1000 conv=notrunc status=none"), 0);
    ASSERT_TRUE(Stored(name)) << LogText();
    EXPECT_EQ(Sh("flac -t -s " + Quote(Root(std::string(name) + ".flac")) + " 2>/dev/null"), 0);
    EXPECT_TRUE(SameBytes(ReadFile(wav), std::string(image).replace(1000, 4, "abcd")));
  }
  EXPECT_EQ(LogText(), "");
}

// A FLAC image past 4 GiB (2 h 12 min of 96 kHz 24-bit stereo, the last 1000 frames not
// silent) is an RF64 file that libsndfile, ffprobe and sox count in full, its tail where
// it belongs; an RF64 file past 4 GiB copied in is encoded and reads back as it was.
TEST_F(FidelityTest, PastFourGiBBothWays) {
  StreamShape shape{.rate = 96000, .bits = 24, .blockFrames = 65535};
  shape.frames = 760320000 / shape.blockFrames * shape.blockFrames + 1000;
  std::vector<int32_t> tail;
  std::string tailBytes;
  for (int i = 0; i < 2000; ++i) {
    tail.push_back((i * 7919) % 8000000 - 4000000);
    tailBytes += LE32(static_cast<unsigned>(tail.back())).substr(0, 3);
  }
  WriteFile(Root("long.flac"), SyntheticFLAC(shape, tail));
  WriteFile(Tmp("tail"), tailBytes);
  // An RF64 file of 4.4 GB, sparse: silence, then 4000 bytes of a pattern.
  const long long frames = 1100000000, data = 4 * frames;
  WriteFile(Tmp("big.wav"), "RF64" + LE32(0xFFFFFFFFu) + "WAVE" + DS64Chunk(data + 72, data, frames) +
                                FmtChunk(2, 44100, 16) + "data" + LE32(0xFFFFFFFFu));
  ASSERT_EQ(truncate(Tmp("big.wav").c_str(), static_cast<off_t>(80 + data - 4000)), 0);
  WriteFile(Tmp("pattern"), RandomBytes(4000, 9));
  ASSERT_EQ(Sh("cat " + Quote(Tmp("pattern")) + " >> " + Quote(Tmp("big.wav"))), 0);
  StartVolume({"-c", "0"});

  const std::string image = Quote(Vol("long.wav")), count = std::to_string(shape.frames) + "\n";
  EXPECT_EQ(std::filesystem::file_size(Vol("long.wav")), static_cast<uintmax_t>(80 + 6 * shape.frames));
  EXPECT_EQ(ShOut("sndfile-info " + image + " | sed -n 's/^Frames *: //p' | head -1"), count);
  EXPECT_EQ(ShOut("ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 " + image), count);
  // sox counts from ds64 too, but reads the whole file before it answers: the first
  // megabyte is enough.
  EXPECT_EQ(ShOut("head -c 1000000 " + image + " | soxi -s -"), count);
  EXPECT_EQ(Sh("tail -c 6000 " + image + " | cmp - " + Quote(Tmp("tail"))), 0);

  const std::string big = Quote(Tmp("big.wav")), copy = Quote(Vol("big.wav"));
  ASSERT_EQ(Sh("cp --sparse=always " + big + " " + copy), 0);
  ASSERT_TRUE(Stored("big", 100)) << LogText();
  EXPECT_EQ(ShOut("metaflac --show-total-samples " + Quote(Root("big.flac"))), std::to_string(frames) + "\n");
  EXPECT_EQ(std::filesystem::file_size(Vol("big.wav")), std::filesystem::file_size(Tmp("big.wav")));
  // Head and tail (reading all of it back takes half a minute).
  EXPECT_EQ(Sh("cmp -n 1000000 " + big + " " + copy), 0);
  EXPECT_EQ(Sh("tail -c 1000000 " + copy + " > " + Quote(Tmp("got")) + " && tail -c 1000000 " + big + " | cmp - " +
               Quote(Tmp("got"))), 0);
  EXPECT_EQ(LogText(), "");
}

// With --tags: a FLAC file's Vorbis comments show as a LIST/INFO chunk in front of the
// data, behind any stored chunks (several values of a field joined), and a WAV file's
// LIST/INFO tags are stored as Vorbis comments (Latin-1 text made UTF-8) while the file
// comes back as it was. Without it, nothing is added.
TEST_F(FidelityTest, TagsBothWaysWithTheOption) {
  const std::string samples = RandomBytes(4000, 5), bext = Chunk("bext", "b"), nul(1, '\0');
  FlacEncode(MakeWAV(2, 44100, 16, samples), Root("plain.flac"), false);
  FlacEncode(MakeWAV(2, 44100, 16, samples, bext), Root("chunks.flac"));
  for (const char* f : {"plain.flac", "chunks.flac"}) {
    ASSERT_EQ(Sh("metaflac --set-tag=TITLE=Song --set-tag=ARTIST=A --set-tag=artist=B --set-tag=ISRC=x "
                 "--set-tag=TRACKNUMBER=7 " + Quote(Root(f))), 0);
  }
  const std::string info =
      Chunk("LIST", "INFO" + Chunk("INAM", "Song" + nul) + Chunk("IART", "A; B" + nul) + Chunk("ITRK", "7" + nul));
  const std::string tags = "INFO" + Chunk("INAM", "Caf\xE9" + nul) + Chunk("IGNR", "Jazz" + nul) +
                           Chunk("ICMT", "two" + nul + nul) + Chunk("ISFT", "Lavf" + nul);
  const std::string tagged = MakeNoiseWAV(1, 22050, 16, 0.3, 6, Chunk("LIST", tags));
  WriteFile(Tmp("tagged.wav"), tagged);
  for (bool on : {true, false}) {
    SCOPED_TRACE(on);
    StartVolume(on ? std::vector<std::string>{"--tags"} : std::vector<std::string>{});
    EXPECT_TRUE(SameBytes(ReadFile(Vol("plain.wav")), MakeWAV(2, 44100, 16, samples, on ? info : "")));
    EXPECT_TRUE(SameBytes(ReadFile(Vol("chunks.wav")), MakeWAV(2, 44100, 16, samples, bext + (on ? info : ""))));
    EXPECT_EQ(Probe(Vol("plain.wav"), "format_tags=title,artist"), on ? "TAG:title=Song\nTAG:artist=A; B\n" : "");
    ASSERT_EQ(Sh("cp " + Quote(Tmp("tagged.wav")) + " " + Quote(Vol("tagged.wav"))), 0);
    ASSERT_TRUE(Stored("tagged"));
    EXPECT_EQ(ShOut("metaflac --no-utf8-convert --export-tags-to=- " + Quote(Root("tagged.flac"))),
              on ? "TITLE=Caf\xC3\xA9\nGENRE=Jazz\nCOMMENT=two\n" : "");
    EXPECT_TRUE(SameBytes(ReadFile(Vol("tagged.wav")), tagged));
    StopVolume();
    std::filesystem::remove(Root("tagged.flac"));
  }
}

}  // namespace
}  // namespace E2E
