// Write-back against a byte model: a sequence of reads, writes, truncations and full
// productions on the content of a transcoded file (a FLAC song with stored chunks, or a
// new file) must read exactly as the same operations on a byte string. When what was
// written is a complete WAV file that the conversion accepts, its FLAC file must show
// it again byte for byte, as a WAV file written into the volume comes back.
//
// Input: one byte choosing the start (even: a new file, odd: the song), then operations
// of 6 bytes (kind, 3 bytes of offset, 2 of length), a write followed by its bytes.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "TestUtil.h"
#include "audio/AudioFileReader.h"
#include "audio/FLACEncode.h"
#include "audio/WAVFile.h"
#include "transcode/Conversion.h"
#include "transcode/Transcoder.h"

namespace {

using Vantor::Transcoder;
using Vantor::UniqueFd;

using TestUtil::Chunk;

// A folder for the cache files, and the song: a FLAC file of a small WAV file with a
// chunk on either side of its audio, and that song's image as a Transcoder reads it.
struct Fixture {
  std::string folder = "/tmp/lyrebox-fuzz-XXXXXX";  // holds unnamed files only
  UniqueFd dir;
  UniqueFd song;
  std::string image;

  ~Fixture() { rmdir(folder.c_str()); }
  Fixture() {
    if (!mkdtemp(folder.data())) std::abort();
    dir = UniqueFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::string wav = TestUtil::MakeWAV(2, 22050, 16, TestUtil::RandomBytes(9001 * 4, 1),
                                              Chunk("LIST", "INFOISFTfuzz"), Chunk("note", "odd"));
    const UniqueFd in = Fuzz::MemoryFile(reinterpret_cast<const uint8_t*>(wav.data()), wav.size());
    song = UniqueFd(memfd_create("song", MFD_CLOEXEC));
    Vantor::EncodeWAV(in.Get(), song.Get(), "song.wav");
    Transcoder t(Vantor::Reopen(song.Get(), O_RDONLY), dir.Get());
    image.resize(static_cast<size_t>(t.Size()));
    if (t.Read(image.data(), image.size(), 0) != static_cast<long long>(image.size()) || image != wav) std::abort();
  }
};

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool More() const { return at < size; }
  unsigned Take(int bytes) {
    unsigned v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | (at < size ? data[at++] : 0);
    return v;
  }
};

std::string ReadAll(Transcoder& t) {
  std::string bytes(static_cast<size_t>(std::max(0LL, t.Size())), '\0');
  const long long n = t.Read(bytes.data(), bytes.size(), 0);
  FUZZ_CHECK(n == static_cast<long long>(bytes.size()));
  return bytes;
}

// Whether the WAV file open on fd is one whose FLAC file must show it byte for byte:
// complete, and holding whole frames only.
bool Restorable(int fd) {
  if (!Vantor::IsCompleteWAV(fd)) return false;
  try {
    Vantor::Audio::AudioFileReader reader(fd);
    const Vantor::Audio::WAVLayout w = Vantor::Audio::WalkWAV(fd);
    return w.dataSize == reader.FrameCount() * reader.Channels() * (reader.BitsPerSample() / 8);
  } catch (const std::runtime_error&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture fixture;
  if (size == 0) return 0;
  Reader in{data, size};
  const bool song = in.Take(1) & 1;
  auto t = std::make_unique<Transcoder>(song ? Vantor::Reopen(fixture.song.Get(), O_RDONLY) : UniqueFd(),
                                        fixture.dir.Get());
  std::string model = song ? fixture.image : std::string();
  for (int ops = 0; in.More() && ops < 64; ++ops) {
    const unsigned kind = in.Take(1) % 4;
    const long long offset = in.Take(3) % 40000;
    const size_t length = in.Take(2) % 20000;
    if (kind == 0) {
      std::string got(length, '\x77');
      const long long n = t->Read(got.data(), length, offset);
      const std::string want = offset < static_cast<long long>(model.size()) ? model.substr(offset, length) : "";
      FUZZ_CHECK(n == static_cast<long long>(want.size()));
      FUZZ_CHECK(got.compare(0, want.size(), want) == 0);
    } else if (kind == 1) {
      std::string bytes;
      while (bytes.size() < length && in.More()) bytes += static_cast<char>(in.Take(1));
      FUZZ_CHECK(t->Write(bytes.data(), bytes.size(), offset) == static_cast<long long>(bytes.size()));
      if (!bytes.empty()) {
        if (model.size() < offset + bytes.size()) model.resize(offset + bytes.size(), '\0');
        model.replace(offset, bytes.size(), bytes);
      }
    } else if (kind == 2) {
      FUZZ_CHECK(t->Truncate(offset) == 0);
      model.resize(static_cast<size_t>(offset), '\0');
    } else {
      FUZZ_CHECK(t->ProduceAll() == 0);
    }
    FUZZ_CHECK(t->Size() == static_cast<long long>(model.size()));
  }
  FUZZ_CHECK(ReadAll(*t) == model);

  // Written back: the conversion takes the cache as it stands.
  if (!t->IsModified() || t->ProduceAll() != 0 || !Restorable(t->Cache().Fd())) return 0;
  const UniqueFd flac(memfd_create("flac", MFD_CLOEXEC));
  try {
    Vantor::EncodeWAV(t->Cache().Fd(), flac.Get(), "fuzz.wav");
  } catch (const std::runtime_error&) {
    return 0;  // refused with a reason: the file would stay a WAV file
  }
  Transcoder back(Vantor::Reopen(flac.Get(), O_RDONLY), fixture.dir.Get());
  FUZZ_CHECK(ReadAll(back) == model);
  return 0;
}
