// Turns one WAV file into one FLAC file, its other RIFF chunks kept as "riff" blocks,
// at the compression level in effect when the conversion starts. Counts as a running
// encoding (IsEncoding) while it works.
//
// The FLAC file is written to a temporary file in the destination's folder, flushed to
// disk and renamed over the destination only when complete: a failure leaves the
// destination as it was and no temporary file behind. The new file takes the permission
// bits, owner and extended attributes of the destination it replaces (of the source
// when there is no destination yet).
//
// Thread-safe: conversions share nothing but the encoding counter.
#pragma once

#include <string>

namespace Vantor {

// Throws std::runtime_error or Vantor::Audio::AudioFileError on any failure.
void ToFLAC(const std::string& wavPath, const std::string& flacPath);
void ToFLACImpl(const std::string& wavPath, const std::string& flacPath);

}  // namespace Vantor
