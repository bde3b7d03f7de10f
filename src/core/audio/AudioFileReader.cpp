// AudioFileReader over libsndfile. libsndfile's normalised float reads deliver an
// integer sample of b bits as exactly value / 2^(b-1) (8-bit WAV as byte - 128), which
// is the client format's scaling; no other conversion is offered.
//
// Error codes: libsndfile's error number of the failing call, or -1 when the reader
// refuses on its own account (no file open, a client format it cannot deliver).
#include "audio/AudioFileReader.h"

#include <sndfile.h>

#include "audio/FourCC.h"

namespace Vantor::Audio {

namespace {

constexpr int kOwnRefusal = -1;

SNDFILE* Handle(void* file) { return static_cast<SNDFILE*>(file); }

// Bits of one stored sample for libsndfile's subtype; 0 for compressed encodings.
unsigned int BitsOf(int subtype) {
  switch (subtype) {
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_S8:
      return 8;
    case SF_FORMAT_PCM_16:
      return 16;
    case SF_FORMAT_PCM_24:
      return 24;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
      return 32;
    case SF_FORMAT_DOUBLE:
      return 64;
    default:
      return 0;
  }
}

unsigned int FormatIDOf(int subtype) {
  switch (subtype) {
    case SF_FORMAT_ULAW:
      return FourCCValue("ulaw");
    case SF_FORMAT_ALAW:
      return FourCCValue("alaw");
    case SF_FORMAT_IMA_ADPCM:
      return FourCCValue("ima4");
    default:
      return BitsOf(subtype) != 0 ? FourCCValue("lpcm") : 0;
  }
}

// The stored format of a file that libsndfile reports as format/channels/rate.
StreamFormat Describe(int format, int channels, int sampleRate) {
  const int subtype = format & SF_FORMAT_SUBMASK;
  StreamFormat f;
  f.sampleRate = sampleRate;
  f.formatID = FormatIDOf(subtype);
  f.channelsPerFrame = static_cast<unsigned int>(channels);
  f.bitsPerChannel = BitsOf(subtype);
  if (f.bitsPerChannel != 0) {
    f.formatFlags = kFormatFlagIsPacked;
    if (subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE) f.formatFlags |= kFormatFlagIsFloat;
    f.framesPerPacket = 1;
    f.bytesPerFrame = f.channelsPerFrame * (f.bitsPerChannel / 8);
    f.bytesPerPacket = f.bytesPerFrame;
  }
  return f;
}

}  // namespace

AudioFileReader::~AudioFileReader() {
  try {
    if (IsOpen()) Close();
  } catch (const AudioFileError&) {
    // The handle is released whatever libsndfile reports; nothing is left to undo.
  }
}

void AudioFileReader::Open(const std::string& path) {
  if (IsOpen()) Close();
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) throw AudioFileError("ExtAudioFileOpen failed", sf_error(nullptr));
  file_ = file;
  fileFormat_ = info.format;
  channels_ = info.channels;
  sampleRate_ = info.samplerate;
  frames_ = info.frames;
  clientSet_ = false;
  fileDataFormat_ = StreamFormat{};
  clientDataFormat_ = StreamFormat{};
}

const StreamFormat& AudioFileReader::GetFileDataFormat() {
  if (!IsOpen()) throw AudioFileError("Couldn't get file's data format", kOwnRefusal);
  fileDataFormat_ = Describe(fileFormat_, channels_, sampleRate_);
  return fileDataFormat_;
}

const StreamFormat& AudioFileReader::GetClientDataFormat() {
  if (!IsOpen()) throw AudioFileError("Couldn't get client data format", kOwnRefusal);
  // Until a client format is set, reads would deliver the file's own format.
  if (!clientSet_) clientDataFormat_ = Describe(fileFormat_, channels_, sampleRate_);
  return clientDataFormat_;
}

void AudioFileReader::SetClientFormat(const StreamFormat& format) {
  if (!IsOpen()) throw AudioFileError("Couldn't set client format", kOwnRefusal);
  // The one conversion offered: the file's frames as interleaved native 32-bit floats.
  const unsigned int channels = static_cast<unsigned int>(channels_);
  const bool deliverable = format.formatID == FourCCValue("lpcm") &&
                           format.formatFlags == (kFormatFlagIsFloat | kFormatFlagIsPacked) &&
                           format.bitsPerChannel == 32 && format.channelsPerFrame == channels &&
                           format.framesPerPacket == 1 && format.bytesPerFrame == 4 * channels &&
                           format.bytesPerPacket == 4 * channels &&
                           format.sampleRate == static_cast<double>(sampleRate_);
  if (!deliverable) throw AudioFileError("Couldn't set client format", kOwnRefusal);
  sf_command(Handle(file_), SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
  clientDataFormat_ = format;
  clientSet_ = true;
}

long long AudioFileReader::GetNumberFrames() {
  if (!IsOpen() || frames_ < 0) throw AudioFileError("Couldn't get file's length", kOwnRefusal);
  return frames_;
}

void AudioFileReader::Read(unsigned long& frames, float* out) {
  if (!IsOpen() || !clientSet_) throw AudioFileError("Couldn't read audio file", kOwnRefusal);
  sf_count_t got = sf_readf_float(Handle(file_), out, static_cast<sf_count_t>(frames));
  if (got < static_cast<sf_count_t>(frames)) {
    int error = sf_error(Handle(file_));
    if (error != SF_ERR_NO_ERROR) throw AudioFileError("Couldn't read audio file", error);
  }
  frames = static_cast<unsigned long>(got);
}

void AudioFileReader::Close() {
  if (!IsOpen()) return;
  // sf_close releases the handle even when it reports an error.
  int error = sf_close(Handle(file_));
  file_ = nullptr;
  clientSet_ = false;
  if (error != SF_ERR_NO_ERROR) throw AudioFileError("ExtAudioFileClose failed", error);
}

}  // namespace Vantor::Audio
