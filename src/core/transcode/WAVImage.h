// The WAV image a FLAC file is shown as: its layout, its exact size, and the offset of
// its first sample byte. With a sane list of foreign chunks the image repeats the
// original file's chunk layout around the audio; otherwise it is the plain 44-byte
// header layout. BuildWAV writes everything but the sample data (left as a hole).
//
// Thread-safe as far as the FLACDecoder passed in is used by one thread.
#pragma once

#include <string>

namespace Vantor {

class FLACDecoder;

// Bytes of one sample frame: container bits * channels / 8.
int BytesPerSample(const FLACDecoder& d);
// Bytes of sample data: BytesPerSample * frames (64-bit).
long long DataSize(const FLACDecoder& d);
// Whether the foreign chunks form a layout to repeat: >= 3 chunks, chunk 0 "RIFF",
// exactly one "fmt " and one "data" after it, "fmt " first.
bool SaneChunks(const FLACDecoder& d);
// Writes the "data" header at fd's position and skips over the sample data (and writes
// the pad byte after odd-sized data).
void WriteData(int fd, FLACDecoder& d);
// The image size; with fd >= 0 also writes the image less its sample data at fd's
// position and stores the first sample byte's offset in *dataOffset (when given).
// Sizes are 64-bit: a 32-bit size field that cannot hold its value holds 0xFFFFFFFF.
// Throws "could not write".
long long BuildWAV(int fd, FLACDecoder& d, long long* dataOffset);
// The image size of the FLAC file at path; 0 when it cannot be decoded. Never throws.
long long TranscodedSize(const std::string& path);

}  // namespace Vantor
