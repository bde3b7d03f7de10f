// The chunk walk and the WAV reader of the encoding side on any bytes: no crash, no
// unbounded memory, and what they accept is consistent: the data lies inside the file
// and the reader delivers exactly the frames it announced.
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "FuzzSupport.h"
#include "audio/AudioFileReader.h"
#include "audio/WAVFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Vantor::UniqueFd fd = Fuzz::MemoryFile(data, size);
  try {
    const Vantor::Audio::WAVLayout w = Vantor::Audio::WalkWAV(fd.Get());
    FUZZ_CHECK(!w.chunks.empty() && w.chunks[0].size() == 12);
    if (w.dataOffset >= 0) FUZZ_CHECK(w.dataOffset + w.dataSize <= static_cast<long long>(size));
  } catch (const std::runtime_error&) {
    return 0;
  }
  try {
    Vantor::Audio::AudioFileReader reader(fd.Get());
    FUZZ_CHECK(reader.Channels() > 0 && reader.FrameCount() > 0);
    std::vector<int32_t> samples(4096 * static_cast<size_t>(reader.Channels()));
    long long total = 0;
    for (int got; (got = reader.Read(samples.data(), 4096)) > 0;) total += got;
    FUZZ_CHECK(total == reader.FrameCount());
  } catch (const std::runtime_error&) {
  }
  return 0;
}
