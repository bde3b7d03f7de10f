// Name mapping between stored FLAC names and shown WAV names, and the path splitters.
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

TEST(NameMapping, RealWAVFileWins) {
  TestUtil::TempDir root;
  const std::string r = root.Path();
  for (const char* name : {"/real.wav", "/song.flac", "/both.flac", "/both.wav"}) TestUtil::WriteFile(r + name, "");
  const struct { std::string in; bool back; std::string out; } cases[] = {
      {"/01_Intro.wav", true, "/01_Intro.flac"},  // no FLAC file needed behind it
      {"/song.wav", true, "/song.flac"},          {"/real.wav", true, ""},
      {"/both.wav", true, ""},                    {"/song.flac", false, "/song.wav"},
      {"/both.flac", false, ""},
  };
  for (const auto& c : cases) {
    bool mapped = c.out.empty();
    const std::string in = r + c.in, out = c.out.empty() ? in : r + c.out;
    EXPECT_EQ(c.back ? TryTranscodeBackFilename(in, mapped) : TryTranscodeFilename(in, mapped), out);
    EXPECT_EQ(mapped, !c.out.empty()) << c.in;
  }
}

TEST(NameMapping, ExistsTreatsOnlyENOENTAsAbsent) {
  TestUtil::TempDir root;
  const std::string r = root.Path();
  TestUtil::WriteFile(r + "/file", "");
  ASSERT_EQ(symlink("nowhere", (r + "/dangling").c_str()), 0);
  ASSERT_EQ(symlink("loop", (r + "/loop").c_str()), 0);
  const struct { std::string path; bool exists; } cases[] = {
      {"/file", true},       {"/missing.wav", false}, {"/missing/below.wav", false},
      {"/file/x.wav", true} /* ENOTDIR */,            {"/dangling", false},
      {"/loop", true} /* ELOOP */,                    {"/" + std::string(5000, 'n'), true} /* ENAMETOOLONG */,
  };
  for (const auto& c : cases) EXPECT_EQ(Exists(r + c.path), c.exists) << c.path.substr(0, 40);
  if (geteuid() != 0) {  // root reads any folder: no EACCES there
    ASSERT_EQ(mkdir((r + "/locked").c_str(), 0), 0);
    EXPECT_TRUE(Exists(r + "/locked/x.wav"));
  }
}

TEST(NameMapping, PathSplitters) {
  const struct { std::string (*split)(const std::string&); std::string in, out; } cases[] = {
      {Basename, "/x/y.flac", "y.flac"}, {Basename, "y.flac", "y.flac"}, {Basename, "/x/", ""},
      {RemoveExt, "a.b.flac", "a.b"},    {RemoveExt, ".hidden", ""},     {RemoveExt, "/a.b/c", "/a"},
      {RemoveExt, "none", "none"},       {Dirname, "/x/y.flac", "/x"},   {Dirname, "/y.flac", ""},
      {Dirname, "y.flac", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.split(c.in), c.out) << c.in;
}
