// Name mapping between stored FLAC names and shown WAV names.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestUtil.h"
#include "transcode/NameMapping.h"

using namespace Vantor;

TEST(NameMapping, Swap) {
  const struct { std::string in; bool back; std::string out; } cases[] = {
      {"/Live/Take.WAV", true, "/Live/Take.FLAC"}, {"/Live/Take.Wav", true, "/Live/Take.Flac"},
      {"/Live/Take.wAv", true, ""},                {"/Live/Take.wave", true, ""},
      {"/x.wav.wav", true, "/x.wav.flac"},         {"/.wav", true, "/.flac"},
      {"/x.", true, ""},                           {"/notes", true, ""},
      {"/Album.wav/readme", true, ""},             {"/Data/My.Audio/README", true, ""},
      {"/a.flac", true, ""},                       {"a.flac", false, "a.wav"},
      {"B.FLAC", false, "B.WAV"},                  {"c.Flac", false, "c.Wav"},
      {"d.ogg", false, ""},                        {"e.wav", false, ""},
  };
  for (const auto& c : cases) {
    bool mapped = c.out.empty();
    EXPECT_EQ(TranscodeFilename(c.in, mapped, c.back), c.out.empty() ? c.in : c.out);
    EXPECT_EQ(mapped, !c.out.empty()) << c.in;
  }
}

// A name already taken under the WAV name stays what it is; so does one that cannot be
// checked (anything but "no such entry" is taken as taken).
TEST(NameMapping, RealWAVFileWins) {
  TestUtil::TempDir root;
  const std::string r = root.Path();
  for (const char* name : {"/real.wav", "/song.flac", "/both.flac", "/both.wav", "/file"})
    TestUtil::WriteFile(r + name, "");
  ASSERT_EQ(symlink("nowhere", (r + "/dangling.wav").c_str()), 0);
  ASSERT_EQ(symlink("loop.wav", (r + "/loop.wav").c_str()), 0);
  const std::string longName = "/" + std::string(5000, 'n');
  const struct { std::string in; bool back; std::string out; } cases[] = {
      {"/01_Intro.wav", true, "/01_Intro.flac"},  // no FLAC file needed behind it
      {"/song.wav", true, "/song.flac"},          {"/real.wav", true, ""},
      {"/both.wav", true, ""},                    {"/song.flac", false, "/song.wav"},
      {"/both.flac", false, ""},                  {"/missing/below.wav", true, "/missing/below.flac"},
      {"/dangling.wav", true, "/dangling.flac"},  {"/file/x.wav", true, ""} /* ENOTDIR */,
      {"/loop.wav", true, ""} /* ELOOP */,        {longName + ".wav", true, ""} /* ENAMETOOLONG */,
  };
  for (const auto& c : cases) {
    bool mapped = c.out.empty();
    const std::string in = r + c.in, out = c.out.empty() ? in : r + c.out;
    EXPECT_EQ(c.back ? TryTranscodeBackFilename(in, mapped) : TryTranscodeFilename(in, mapped), out);
    EXPECT_EQ(mapped, !c.out.empty()) << c.in.substr(0, 40);
  }
  if (geteuid() != 0) {  // root reads any folder: no EACCES there
    ASSERT_EQ(mkdir((r + "/locked").c_str(), 0), 0);
    EXPECT_TRUE(Exists(r + "/locked/x.wav"));
  }
}
