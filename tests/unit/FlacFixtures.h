// Fixtures for the transcoder tests: WAV files encoded and decoded by the flac tool
// (with their other RIFF chunks kept), and a byte comparison that names the first
// difference instead of printing whole images.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "TestUtil.h"

namespace TestUtil {

// Encodes wav into the FLAC file at flac with the flac tool; returns flac.
inline std::string FlacEncode(const std::string& wav, const std::string& flac) {
  const std::string src = flac.substr(0, flac.rfind('/') + 1) + "oracle-in.wav";
  WriteFile(src, wav);
  EXPECT_EQ(Run("flac -s -f --channel-map=none --keep-foreign-metadata -o " + Quote(flac) + " " + Quote(src) +
                " 2>/dev/null"), 0);
  unlink(src.c_str());
  return flac;
}

// The WAV file the flac tool restores from flac, its other chunks in place.
inline std::string FlacDecode(const std::string& flac) {
  const std::string out = flac.substr(0, flac.rfind('/') + 1) + "oracle-out.wav";
  EXPECT_EQ(Run("flac -s -f -d --keep-foreign-metadata --force-legacy-wave-format -o " + Quote(out) + " " +
                Quote(flac) + " 2>/dev/null"), 0);
  std::string bytes = FileExists(out) ? ReadFile(out) : "";
  unlink(out.c_str());
  return bytes;
}

inline testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
  if (got == want) return testing::AssertionSuccess();
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  return testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size()
                                     << ", first difference at byte " << i;
}

}  // namespace TestUtil
