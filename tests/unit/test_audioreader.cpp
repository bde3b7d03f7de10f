// AudioFileReader: the stored format it reports for each encoding, short reads at the
// end, and its failure texts. Exact sample scaling is checked end to end by the ToFLAC
// tests against flac's own decoding.
#include <gtest/gtest.h>

#include "TestUtil.h"
#include "audio/AudioFileReader.h"
#include "audio/FourCC.h"

using Vantor::Audio::AudioFileError;
using Vantor::Audio::AudioFileReader;
using Vantor::Audio::StreamFormat;

namespace {

// The encodings whose depth decides what a conversion stores: 0 (compressed) is
// encoded at 16 bits, floating point and 32 bits are refused.
TEST(AudioFileReader, ReportsDepthAndFloatFlagOfEncodings) {
  struct Case {
    const char* soxArgs;
    unsigned bits;
    bool isFloat;
  } cases[] = {{"-b 32 -e signed-integer", 32, false}, {"-b 32 -e floating-point", 32, true},
               {"-b 64 -e floating-point", 64, true},  {"-e u-law", 0, false},
               {"-e a-law", 0, false},                 {"-e ima-adpcm", 0, false}};
  TestUtil::TempDir dir;
  const std::string path = dir.File("in.wav");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.soxArgs);
    ASSERT_EQ(TestUtil::Run("sox -n -r 8000 -c 2 " + std::string(c.soxArgs) + " " + TestUtil::Quote(path) +
                            " synth 0.1 sine 440"),
              0);
    AudioFileReader reader;
    reader.Open(path);
    const StreamFormat& file = reader.GetFileDataFormat();
    EXPECT_EQ(file.bitsPerChannel, c.bits);
    EXPECT_EQ((file.formatFlags & Vantor::Audio::kFormatFlagIsFloat) != 0, c.isFloat);
    EXPECT_EQ(file.channelsPerFrame, 2u);
    EXPECT_EQ(file.sampleRate, 8000.0);
  }
}

TEST(AudioFileReader, ShortReadAtTheEndAndFailureTexts) {
  TestUtil::TempDir dir;
  const std::string wav = dir.File("in.wav");
  TestUtil::WriteFile(wav, TestUtil::MakeWAV(2, 44100, 16, TestUtil::RandomBytes(400, 1)));
  TestUtil::WriteFile(dir.File("junk.wav"), "not a sound file at all");
  auto expectError = [](const char* text, auto&& op) {
    try {
      op();
      ADD_FAILURE() << "no failure, expected " << text;
    } catch (const AudioFileError& e) {
      EXPECT_STREQ(e.what(), text);
      return e.Code();
    }
    return 0;
  };
  AudioFileReader reader;
  expectError("ExtAudioFileOpen failed", [&] { reader.Open(dir.File("missing.wav")); });
  EXPECT_NE(expectError("ExtAudioFileOpen failed", [&] { reader.Open(dir.File("junk.wav")); }), 0);
  expectError("Couldn't get file's length", [&] { reader.GetNumberFrames(); });  // nothing open

  reader.Open(wav);
  StreamFormat file = reader.GetFileDataFormat();
  std::vector<float> buffer(2 * 4096);
  unsigned long n = 4096;
  expectError("Couldn't read audio file", [&] { reader.Read(n, buffer.data()); });  // no client format yet
  expectError("Couldn't set client format", [&] { reader.SetClientFormat(file); });  // integers
  StreamFormat client = file;
  client.formatFlags = Vantor::Audio::kFormatFlagIsFloat | Vantor::Audio::kFormatFlagIsPacked;
  client.bitsPerChannel = 32;
  client.bytesPerFrame = client.bytesPerPacket = 8;
  client.sampleRate = 48000;  // no resampling on offer
  expectError("Couldn't set client format", [&] { reader.SetClientFormat(client); });
  client.sampleRate = 44100;
  reader.SetClientFormat(client);
  reader.Read(n, buffer.data());
  EXPECT_EQ(n, 100u);
  reader.Read(n, buffer.data());
  EXPECT_EQ(n, 0u);
  reader.Close();
  EXPECT_FALSE(reader.IsOpen());
}

}  // namespace
