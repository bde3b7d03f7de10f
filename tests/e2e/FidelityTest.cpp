// Every file, exactly, at any size, through a mounted volume: WAV files as sox, ffmpeg,
// libsndfile and python write them (extensible, streamed to a pipe, RF64) copied in and
// compared with cmp; FLAC files as they are found (written to a pipe, 32-bit, empty, a
// false length, damaged) compared with what the flac tool decodes; images and copies
// past 4 GiB counted by libsndfile, ffprobe and sox; tags both ways.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

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

TEST_F(FidelityTest, WAVFilesComeBackAsThemselves) {
  StartVolume();
  const std::string sox = "sox -D -R -n -r 48000 ", ffmpeg = "ffmpeg -loglevel error -f lavfi -i anoisesrc=d=0.4:r=44100:seed=7 ";
  const std::string samples = RandomBytes(24000, 8);
  WriteFile(Tmp("data0.wav"), "RIFF" + LE32(36) + "WAVE" + FmtChunk(2, 44100, 16) + "data" + LE32(0) + samples);
  WriteFile(Tmp("pad.wav"), MakeWAV(2, 44100, 16, samples).replace(4, 4, LE32(36 + 24000 + 1)) + '\0');
  const std::string py = "python3 -c 'import wave,random; w=wave.open(\"%s\",\"wb\"); w.setnchannels(%d); "
                         "w.setsampwidth(%d); w.setframerate(22050); random.seed(1); "
                         "w.writeframes(bytes(random.randrange(256) for _ in range(%d))); w.close()'";
  auto python = [&](const char* name, int channels, int width, int frames) {
    char command[512];
    std::snprintf(command, sizeof command, py.c_str(), Tmp(name).c_str(), channels, width, channels * width * frames);
    return std::string(command);
  };
  const struct {
    const char* name;
    std::string make;  // writes Tmp(name); empty: made above
    bool streamed;     // written straight into the volume through a pipe
  } cases[] = {
      {"sox24.wav", sox + "-b 24 -c 2 " + Tmp("sox24.wav") + " synth 0.4 pinknoise", false},
      {"sox8ch.wav", sox + "-b 16 -c 8 " + Tmp("sox8ch.wav") + " synth 0.4 pinknoise", false},
      {"ff51.wav", ffmpeg + "-ac 6 -c:a pcm_s24le " + Tmp("ff51.wav"), false},
      {"ff71.wav", ffmpeg + "-ac 8 -c:a pcm_s16le " + Tmp("ff71.wav"), false},
      {"ffrf64.wav", ffmpeg + "-ac 2 -c:a pcm_s16le -rf64 always " + Tmp("ffrf64.wav"), false},
      {"sf24.wav", sox + "-b 16 -c 2 " + Tmp("in.wav") + " synth 0.4 pinknoise && sndfile-convert -pcm24 " +
                       Tmp("in.wav") + " " + Tmp("sf24.wav"), false},
      {"py8odd.wav", python("py8odd.wav", 1, 1, 3001), false},
      {"py32.wav", python("py32.wav", 2, 4, 3000), false},
      {"data0.wav", "", false},
      {"pad.wav", "", false},
      {"ffpipe.wav", ffmpeg + "-ac 2 -c:a pcm_s16le -f wav -", true},
      {"soxpipe.wav", sox + "-b 24 -c 2 -t wav - synth 0.4 pinknoise", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string stem = std::string(c.name).substr(0, std::string(c.name).size() - 4);
    if (c.streamed) {
      // Straight through the volume: the header says 0xFFFFFFFF or a size far too large.
      ASSERT_EQ(Sh(c.make + " 2>/dev/null | cat > " + Quote(Vol(c.name))), 0);
      ASSERT_EQ(Sh(c.make + " 2>/dev/null | cat > " + Quote(Tmp(c.name))), 0);
    } else {
      if (!c.make.empty()) {
        ASSERT_EQ(Sh(c.make + " 2>/dev/null"), 0);
      }
      ASSERT_EQ(Sh("cp " + Quote(Tmp(c.name)) + " " + Quote(Vol(c.name))), 0);
    }
    ASSERT_TRUE(Stored(stem)) << "not stored as FLAC: " << LogText();
    EXPECT_EQ(Sh("cmp " + Quote(Tmp(c.name)) + " " + Quote(Vol(c.name))), 0);
    EXPECT_EQ(Sh("flac -t -s " + Quote(Root(stem + ".flac")) + " 2>/dev/null"), 0);
  }
  // What ffprobe sees of the multichannel files: their channel layouts survive.
  for (const char* name : {"ff51.wav", "ff71.wav", "sox8ch.wav"}) {
    EXPECT_EQ(Probe(Vol(name), "stream=channel_layout,bits_per_sample"),
              Probe(Tmp(name), "stream=channel_layout,bits_per_sample")) << name;
  }
  EXPECT_EQ(LogText(), "");
}

TEST_F(FidelityTest, EveryValidFLACFileIsShown) {
  const std::string wav = MakeNoiseWAV(2, 44100, 16, 1.0, 3);
  WriteFile(Tmp("in.wav"), wav);
  // Written to pipes, their STREAMINFO states no length.
  ASSERT_EQ(Sh("ffmpeg -loglevel error -i " + Quote(Tmp("in.wav")) + " -f flac - | cat > " + Quote(Root("ffpipe.flac"))), 0);
  ASSERT_EQ(Sh("cat " + Quote(Tmp("in.wav")) + " | flac -s --ignore-chunk-sizes - -o - 2>/dev/null | cat > " + Quote(Root("flacpipe.flac"))), 0);
  for (const char* f : {"ffpipe.flac", "flacpipe.flac"})
    ASSERT_EQ(ShOut("metaflac --show-total-samples " + Quote(Root(f))), "0\n") << f;
  // 32 bits, as python writes them and the flac tool encodes them.
  EncodeFLAC(Root("deep.flac"), TestSignal(2, 32, 5000, 4), 2, 32);
  // No samples at all.
  EncodeFLAC(Root("empty.flac"), {}, 2, 16);
  // A STREAMINFO that claims 9.8 G frames in a file of a few hundred bytes.
  EncodeFLAC(Root("claims.flac"), TestSignal(1, 16, 100, 5), 1, 16);
  EditMetadata(Root("claims.flac"), 9800000000LL);
  EncodeFLAC(Tmp("claims.flac"), TestSignal(1, 16, 100, 5), 1, 16);
  // The first frame damaged.
  EncodeFLAC(Root("damaged.flac"), TestSignal(2, 16, 5 * 4096, 6), 2, 16);
  const std::string intact = FlacDecode(Root("damaged.flac"));
  std::string bytes = ReadFile(Root("damaged.flac"));
  bytes[bytes.find(std::string("\xFF\xF8", 2), 42) + 100] ^= 0x40;
  WriteFile(Root("damaged.flac"), bytes);
  StartVolume();

  const struct {
    const char* name;
    std::string want;
  } cases[] = {
      {"ffpipe.wav", FlacDecode(Root("ffpipe.flac"))},
      {"flacpipe.wav", wav},
      {"deep.wav", FlacDecode(Root("deep.flac"))},
      {"empty.wav", MakeWAV(2, 44100, 16, "")},
      {"claims.wav", FlacDecode(Tmp("claims.flac"))},
      {"damaged.wav", intact.substr(0, 44) + std::string(4096 * 4, '\0') + intact.substr(44 + 4096 * 4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    struct stat st;
    ASSERT_EQ(stat(Vol(c.name).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(c.want.size()));
    EXPECT_TRUE(SameBytes(ReadFile(Vol(c.name)), c.want));
  }
  // The damaged file read from the back in small pieces gives the same bytes.
  EXPECT_EQ(ShOut("for i in $(seq 40 -1 0); do dd if=" + Quote(Vol("damaged.wav")) +
                  " bs=2048 skip=$i count=1 status=none > " + Quote(Tmp("piece")) + "-$i; done; for i in $(seq 0 40); do cat " +
                  Quote(Tmp("piece")) + "-$i; done | cmp - " + Quote(Vol("damaged.wav")) + " && echo same"),
            "same\n");
  EXPECT_EQ(LogText(), "");
}

// FLAC files whose "riff" blocks are not whole chunks, or whose STREAMINFO claims 9.8 G
// frames in a few hundred bytes, show as WAV files that sox reads; a write into one is
// stored as a FLAC file again, the song with the written bytes in it.
TEST_F(FidelityTest, HostileFLACFilesShowPlayableAndSurviveAWrite) {
  const std::string riff = "RIFF" + LE32(0) + "WAVE", fmt = FmtChunk(2, 44100, 16), data = "data" + LE32(0);
  const std::vector<std::pair<const char*, std::vector<std::string>>> lists = {
      {"size", {riff, fmt, "LIST" + LE32(1000) + "INFOshort", data}},
      {"riff", {riff, fmt, data, riff}},
      {"short", {riff, fmt, "LIST\0", data}},
  };
  for (const auto& [name, list] : lists) {
    EncodeFLAC(Root(std::string(name) + ".flac"), TestSignal(2, 16, 5000, 7), 2, 16);
    std::vector<std::pair<std::string, std::string>> blocks;
    for (const std::string& e : list) blocks.emplace_back("riff", e);
    EditMetadata(Root(std::string(name) + ".flac"), -1, blocks);
  }
  EncodeFLAC(Root("claims.flac"), TestSignal(2, 16, 5000, 7), 2, 16);
  EditMetadata(Root("claims.flac"), 9800000000LL);
  StartVolume();
  for (const char* name : {"size", "riff", "short", "claims"}) {
    SCOPED_TRACE(name);
    const std::string wav = Vol(std::string(name) + ".wav");
    EXPECT_EQ(ShOut("soxi -s " + Quote(wav)), "5000\n");
    std::string want = ReadFile(wav);
    ASSERT_EQ(want.size(), 44u + 5000 * 4);
    want.replace(1000, 4, "abcd");
    ASSERT_EQ(Sh("printf abcd | dd of=" + Quote(wav) + " bs=1 seek=1000 conv=notrunc status=none"), 0);
    ASSERT_TRUE(Stored(name)) << LogText();
    EXPECT_EQ(Sh("flac -t -s " + Quote(Root(std::string(name) + ".flac")) + " 2>/dev/null"), 0);
    EXPECT_TRUE(SameBytes(ReadFile(wav), want));
  }
  EXPECT_EQ(LogText(), "");
}

// A FLAC image past 4 GiB (2 h 12 min of 96 kHz 24-bit stereo, the last 1000 frames not
// silent) is an RF64 file that libsndfile, ffprobe and sox count in full, its tail where
// it belongs; an RF64 file past 4 GiB copied in is encoded and reads back as it was.
TEST_F(FidelityTest, PastFourGiBBothWays) {
  StreamShape shape;
  shape.rate = 96000;
  shape.bits = 24;
  shape.blockFrames = 65535;
  shape.frames = 760320000;
  std::vector<int32_t> tail;
  for (int i = 0; i < 2000; ++i) tail.push_back((i * 7919) % 8000000 - 4000000);
  shape.frames = shape.frames / shape.blockFrames * shape.blockFrames + 1000;
  WriteFile(Root("long.flac"), SyntheticFLAC(shape, tail));
  std::string tailBytes;
  for (int32_t v : tail) tailBytes += {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16)};

  // An RF64 file of 4.4 GB, sparse: silence, then 4000 bytes of a pattern.
  const long long frames = 1100000000, data = 4 * frames;
  const std::string head = "RF64" + LE32(0xFFFFFFFFu) + "WAVE" + Chunk("ds64", [&] {
                             std::string p;
                             for (unsigned long long v : {static_cast<unsigned long long>(data + 72),
                                                          static_cast<unsigned long long>(data),
                                                          static_cast<unsigned long long>(frames)})
                               p += LE32(static_cast<unsigned>(v)) + LE32(static_cast<unsigned>(v >> 32));
                             return p + LE32(0);
                           }()) + FmtChunk(2, 44100, 16) + "data" + LE32(0xFFFFFFFFu);
  WriteFile(Tmp("big.wav"), head);
  ASSERT_EQ(truncate(Tmp("big.wav").c_str(), static_cast<off_t>(80 + data - 4000)), 0);
  WriteFile(Tmp("pattern"), RandomBytes(4000, 9));
  ASSERT_EQ(Sh("cat " + Quote(Tmp("pattern")) + " >> " + Quote(Tmp("big.wav"))), 0);
  StartVolume({"-c", "0"});

  const std::string image = Vol("long.wav");
  const long long size = 80 + 6 * shape.frames;
  EXPECT_EQ(std::filesystem::file_size(image), static_cast<uintmax_t>(size));
  const std::string count = std::to_string(shape.frames) + "\n";
  EXPECT_EQ(ShOut("sndfile-info " + Quote(image) + " | sed -n 's/^Frames *: //p' | head -1"), count);
  EXPECT_EQ(ShOut("ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 " + Quote(image)), count);
  // sox counts from ds64 too, but reads the whole file before it answers: the first
  // megabyte is enough.
  EXPECT_EQ(ShOut("head -c 1000000 " + Quote(image) + " | soxi -s -"), count);
  WriteFile(Tmp("tail"), tailBytes);
  EXPECT_EQ(Sh("tail -c 6000 " + Quote(image) + " | cmp - " + Quote(Tmp("tail"))), 0);

  ASSERT_EQ(Sh("cp --sparse=always " + Quote(Tmp("big.wav")) + " " + Quote(Vol("big.wav"))), 0);
  ASSERT_TRUE(Stored("big", 100)) << LogText();
  EXPECT_EQ(ShOut("metaflac --show-total-samples " + Quote(Root("big.flac"))), std::to_string(frames) + "\n");
  EXPECT_EQ(std::filesystem::file_size(Vol("big.wav")), std::filesystem::file_size(Tmp("big.wav")));
  // Head and tail (reading all of it back takes half a minute).
  EXPECT_EQ(Sh("cmp -n 1000000 " + Quote(Tmp("big.wav")) + " " + Quote(Vol("big.wav"))), 0);
  EXPECT_EQ(Sh("tail -c 1000000 " + Quote(Vol("big.wav")) + " > " + Quote(Tmp("got")) + " && tail -c 1000000 " +
               Quote(Tmp("big.wav")) + " | cmp - " + Quote(Tmp("got"))),
            0);
  EXPECT_EQ(LogText(), "");
}

// With --tags: a FLAC file's Vorbis comments show as a LIST/INFO chunk, and a WAV file's
// LIST/INFO tags are stored as Vorbis comments too. Without it, nothing is added.
TEST_F(FidelityTest, TagsBothWaysWithTheOption) {
  FlacEncode(MakeNoiseWAV(2, 44100, 16, 0.3, 5), Root("song.flac"), false);
  ASSERT_EQ(Sh("metaflac --set-tag=TITLE=Song --set-tag=ARTIST=Someone --set-tag=ALBUM=Record " + Quote(Root("song.flac"))), 0);
  const std::string tagged =
      MakeNoiseWAV(1, 22050, 16, 0.3, 6, Chunk("LIST", "INFO" + Chunk("INAM", std::string("Take 2\0", 7)) +
                                                           Chunk("IGNR", std::string("Jazz\0", 5))));
  WriteFile(Tmp("tagged.wav"), tagged);
  for (bool tags : {true, false}) {
    SCOPED_TRACE(tags);
    StartVolume(tags ? std::vector<std::string>{"--tags"} : std::vector<std::string>{});
    EXPECT_EQ(Probe(Vol("song.wav"), "format_tags=title,artist,album"),
              tags ? "TAG:title=Song\nTAG:artist=Someone\nTAG:album=Record\n" : "");
    ASSERT_EQ(Sh("cp " + Quote(Tmp("tagged.wav")) + " " + Quote(Vol("tagged.wav"))), 0);
    ASSERT_TRUE(Stored("tagged"));
    EXPECT_EQ(ShOut("metaflac --export-tags-to=- " + Quote(Root("tagged.flac"))), tags ? "TITLE=Take 2\nGENRE=Jazz\n" : "");
    EXPECT_TRUE(SameBytes(ReadFile(Vol("tagged.wav")), tagged));
    StopVolume();
    std::filesystem::remove(Root("tagged.flac"));
  }
}

}  // namespace
}  // namespace E2E
