// The WAV image of a FLAC file put together in memory from the decoder, the image layout
// and the PCM packing, reading the audio in pieces from the front or from the back; and
// the flac tool's own restoration of a WAV file, its stored chunks in place.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FlacFixtures.h"
#include "audio/FLACDecode.h"
#include "audio/PCM.h"
#include "audio/WAVFile.h"
#include "transcode/WAVImage.h"

namespace TestUtil {

inline std::string ImageOf(const std::string& flac, bool backward = false, int piece = 4096) {
  Vantor::FLACDecoder d(flac);
  const Vantor::ImagePlan plan = Vantor::PlanImage(d);
  std::string image = plan.head + std::string(static_cast<size_t>(plan.dataSize), '\0') + plan.tail;
  const int channels = d.ChannelCount(), container = Vantor::Audio::ContainerBits(d.SampleSize());
  const long long frameBytes = channels * container / 8, frames = d.FrameCount();
  std::vector<int32_t> samples(static_cast<size_t>(piece * channels));
  const long long pieces = (frames + piece - 1) / piece;
  for (long long k = 0; k < pieces; ++k) {
    const long long start = (backward ? pieces - 1 - k : k) * piece;
    d.Seek(start);
    // Frames the stream does not hold (past a cut) stay zeros, as in a cache file.
    const int got = d.GetSamples(samples.data(), piece);
    Vantor::Audio::PackPCM(samples.data(), static_cast<size_t>(got * channels), d.SampleSize(), container,
                           image.data() + plan.DataOffset() + start * frameBytes);
  }
  return image;
}

// What `flac -d --keep-foreign-metadata` restores: the stored chunks as they were, the
// fmt chunk included.
inline std::string FlacRestore(const std::string& flac) { return FlacDecode(flac, true); }

}  // namespace TestUtil
