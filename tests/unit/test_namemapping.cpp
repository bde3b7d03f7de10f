// Name mapping between stored FLAC names and shown WAV names.
#include <gtest/gtest.h>
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
