// WAV to FLAC conversion: the chunk walk gives the chunk list, the audio file reader the
// frames as floats, and the FLAC encoder writes them, through a hidden temporary file
// that replaces the destination only once it is complete and on disk.
#include "transcode/Conversion.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <stdexcept>
#include <vector>

#include "audio/AudioFileReader.h"
#include "audio/FLACEncode.h"
#include "audio/FourCC.h"
#include "audio/WAVFile.h"
#include "transcode/Events.h"
#include "transcode/Mutex.h"
#include "transcode/NameMapping.h"

namespace Vantor {

namespace {

constexpr unsigned long kBlockFrames = 4096;

// One open descriptor, closed on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

// The file a symbolic link leads to, so that a linked destination is replaced where it
// lives and the link stays; any other path as it is.
std::string ResolveDestination(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* resolved = realpath(path.c_str(), nullptr);
  if (!resolved) return path;
  std::string target(resolved);
  free(resolved);
  return target;
}

// Copies every extended attribute of `from` onto fd. Attributes that this process may
// not set, or that the destination's filesystem does not hold, are skipped.
void CopyExtendedAttributes(const std::string& from, int fd) {
  std::vector<char> names;
  for (;;) {
    ssize_t size = llistxattr(from.c_str(), nullptr, 0);
    if (size <= 0) return;  // none, or the filesystem holds none
    names.resize(static_cast<std::size_t>(size));
    size = llistxattr(from.c_str(), names.data(), names.size());
    if (size >= 0) {
      names.resize(static_cast<std::size_t>(size));
      break;
    }
    if (errno != ERANGE) throw std::runtime_error("could not copy attributes");
  }
  std::vector<char> value;
  for (std::size_t at = 0; at < names.size();) {
    const char* name = names.data() + at;
    at += std::char_traits<char>::length(name) + 1;
    ssize_t size;
    for (;;) {
      size = lgetxattr(from.c_str(), name, nullptr, 0);
      if (size < 0) break;
      value.resize(static_cast<std::size_t>(size));
      size = lgetxattr(from.c_str(), name, value.data(), value.size());
      if (size >= 0 || errno != ERANGE) break;
    }
    if (size < 0) {
      if (errno == ENODATA) continue;  // removed meanwhile
      throw std::runtime_error("could not copy attributes");
    }
    if (fsetxattr(fd, name, value.data(), static_cast<std::size_t>(size), 0) != 0) {
      int error = errno;
      if (error != EPERM && error != EACCES && error != ENOTSUP) throw std::runtime_error("could not copy attributes");
    }
  }
}

// A hidden temporary file beside the destination ("." + name + ".XXXXXX"), removed on
// destruction unless Commit has renamed it over the destination.
class PendingFile {
 public:
  explicit PendingFile(const std::string& destination) : destination_(ResolveDestination(destination)) {
    std::string::size_type slash = destination_.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : destination_.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? destination_ : destination_.substr(slash + 1);
    // "." and ".XXXXXX" must still fit in one name.
    if (name.size() > NAME_MAX - 8) name.resize(NAME_MAX - 8);
    path_ = folder + "." + name + ".XXXXXX";
    fd_ = mkostemp(path_.data(), O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("could not create temporary file");
  }

  ~PendingFile() {
    if (!committed_) unlink(path_.c_str());
    close(fd_);
  }

  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  const std::string& Path() const { return path_; }

  // Gives the complete file the mode, owner and extended attributes of the destination
  // it replaces (of `source` when there is none), puts it on disk and renames it over
  // the destination.
  void Commit(const std::string& source) {
    std::string from = destination_;
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) {
      if (errno != ENOENT) throw std::runtime_error("could not write");
      from = source;
      if (stat(from.c_str(), &st) != 0) throw std::runtime_error("could not write");
    }
    // Only root may give a file away; anyone else keeps at least the group if allowed.
    if (fchown(fd_, st.st_uid, st.st_gid) != 0) (void)!fchown(fd_, static_cast<uid_t>(-1), st.st_gid);
    CopyExtendedAttributes(from, fd_);
    // After chown, which may clear set-id bits.
    if (fchmod(fd_, st.st_mode & 07777) != 0) throw std::runtime_error("could not write");
    if (fsync(fd_) != 0) throw std::runtime_error("could not write");
    if (rename(path_.c_str(), destination_.c_str()) != 0) throw std::runtime_error("could not write");
    committed_ = true;
    SyncFolder();
  }

 private:
  // Makes the rename itself durable; a failure here leaves a complete file in place.
  void SyncFolder() const {
    std::string::size_type slash = destination_.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : destination_.substr(0, slash);
    Descriptor dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0) fsync(dir.Get());
  }

  std::string destination_;
  std::string path_;
  int fd_ = -1;
  bool committed_ = false;
};

// Lowers the encoding counter when a conversion ends, whatever the outcome.
class EncodingCount {
 public:
  explicit EncodingCount(std::string name) : name_(std::move(name)) {
    Lock lock(encodingMutex_);
    ++encoding;
  }
  ~EncodingCount() {
    ConversionEvent ended;
    ended.kind = ConversionEvent::Kind::kEnded;
    ended.name = name_;
    ReportConversion(ended);
    try {
      Lock lock(encodingMutex_);
      --encoding;
    } catch (const std::exception&) {
      // The mutex is not held by this thread and is intact; nothing can be done here.
    }
  }
  EncodingCount(const EncodingCount&) = delete;
  EncodingCount& operator=(const EncodingCount&) = delete;

 private:
  std::string name_;
};

// The name the volume shows for a stored FLAC path.
std::string ShownName(const std::string& flacPath) {
  bool mapped;
  return TranscodeFilename(Basename(flacPath), mapped, false);
}

}  // namespace

void ToFLAC(const std::string& wavPath, const std::string& flacPath) {
  EncodingCount count(ShownName(flacPath));
  ToFLACImpl(wavPath, flacPath);
}

void ToFLACImpl(const std::string& wavPath, const std::string& flacPath) {
  std::vector<std::string> chunks;
  {
    Descriptor fd(open(wavPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) throw std::runtime_error("could not read");
    unsigned long dataOffset = 0;
    unsigned long dataSize = 0;
    chunks = Audio::ParseWAVFile(fd.Get(), dataOffset, dataSize);
    // A data chunk that promises more audio than the file holds: the reader would
    // deliver only what is there, and the stored chunk would no longer match.
    struct stat st;
    if (fstat(fd.Get(), &st) != 0) throw std::runtime_error("could not read");
    if (dataOffset + dataSize > static_cast<unsigned long long>(st.st_size)) throw std::runtime_error("ToFLAC read");
  }

  Audio::AudioFileReader reader;
  reader.Open(wavPath);
  Audio::StreamFormat format = reader.GetFileDataFormat();
  if (format.channelsPerFrame == 0) format = reader.GetClientDataFormat();

  int bits = static_cast<int>(format.bitsPerChannel);
  if (bits == 0) bits = 16;  // a compressed encoding decodes to 16 bits
  else if (bits == 20) bits = 24;

  if (format.channelsPerFrame == 0 || format.sampleRate == 0.0 || reader.GetNumberFrames() == 0)
    throw std::runtime_error("no audio data");
  // The float frames carry integers of up to 24 bits exactly; anything else would be
  // stored with lost precision or wrapped, so it is refused and stays a WAV file.
  if (format.formatFlags & Audio::kFormatFlagIsFloat)
    throw std::runtime_error("unsupported sample format: floating point");
  if (bits > 24) throw std::runtime_error("unsupported sample format: more than 24 bits");

  Audio::StreamFormat client = format;
  client.formatID = FourCCValue("lpcm");
  client.formatFlags = Audio::kFormatFlagIsFloat | Audio::kFormatFlagIsPacked;
  client.bitsPerChannel = 32;
  client.framesPerPacket = 1;
  client.bytesPerFrame = 4 * client.channelsPerFrame;
  client.bytesPerPacket = client.bytesPerFrame;
  reader.SetClientFormat(client);

  const Audio::StreamFormat& delivered = reader.GetClientDataFormat();
  const double sampleRate = delivered.sampleRate;
  const unsigned long channels = delivered.channelsPerFrame;
  const long long frames = reader.GetNumberFrames();

  PendingFile pending(flacPath);
  {
    Audio::FLACEncoder encoder(pending.Path(), flacCompression.load(), bits, static_cast<int>(channels), sampleRate,
                               frames, chunks);
    std::vector<float> buffer(kBlockFrames * channels);
    long long remaining = frames;
    ConversionEvent progress;
    progress.name = ShownName(flacPath);
    int reported = -1;  // in percent, so that a long file reports at most 101 times
    while (remaining != 0) {
      const int percent = static_cast<int>(100 * (frames - remaining) / frames);
      if (percent != reported) {
        reported = percent;
        progress.fraction = percent / 100.0;
        ReportConversion(progress);
      }
      unsigned long n = remaining < static_cast<long long>(kBlockFrames) ? static_cast<unsigned long>(remaining)
                                                                          : kBlockFrames;
      remaining -= static_cast<long long>(n);
      unsigned long got = n;
      reader.Read(got, buffer.data());
      if (got != n) throw std::runtime_error("ToFLAC read");
      encoder.Encode(buffer.data(), static_cast<int>(n));
    }
    encoder.Finish();
  }
  pending.Commit(wavPath);
}

}  // namespace Vantor
