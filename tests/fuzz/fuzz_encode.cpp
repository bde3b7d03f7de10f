// The WAV-to-FLAC conversion on any bytes: no crash, and whatever it encodes comes back
// exactly: the FLAC stream decodes to the frames the WAV reader delivered, and its image
// is the size its plan says.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "FuzzSupport.h"
#include "audio/AudioFileReader.h"
#include "audio/FLACDecode.h"
#include "transcode/Conversion.h"
#include "transcode/WAVImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Vantor::UniqueFd wav = Fuzz::MemoryFile(data, size);
  const Vantor::UniqueFd flac(memfd_create("flac", MFD_CLOEXEC));
  try {
    Vantor::EncodeWAV(wav.Get(), flac.Get(), "fuzz.wav");
  } catch (const std::runtime_error&) {
    return 0;
  }
  Vantor::Audio::AudioFileReader reader(wav.Get());
  Vantor::FLACDecoder decoder(Vantor::Reopen(flac.Get(), O_RDONLY));
  FUZZ_CHECK(decoder.FrameCount() == reader.FrameCount() && decoder.ChannelCount() == reader.Channels());
  const size_t n = 4096 * static_cast<size_t>(reader.Channels());
  std::vector<int32_t> want(n), got(n);
  for (int k; (k = reader.Read(want.data(), 4096)) > 0;) {
    FUZZ_CHECK(decoder.GetSamples(got.data(), 4096) == k);
    FUZZ_CHECK(std::equal(want.begin(), want.begin() + k * reader.Channels(), got.begin()));
  }
  FUZZ_CHECK(Vantor::PlanImage(decoder).Size() > 0);
  return 0;
}
