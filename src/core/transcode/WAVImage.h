// The WAV image a FLAC file is shown as: its layout, its exact size, and the offset of
// its first sample byte.
//
// When the FLAC file carries a usable list of stored chunks (the "riff" blocks of a WAV
// file encoded earlier: a header, then whole chunks, one fmt and one data header, fmt
// first), the image repeats that file's layout around the audio, with its own fmt chunk
// where that agrees with the stream. Otherwise it is the plain layout: header, 16-byte
// PCM fmt chunk, data. An image whose RIFF size does not fit 32 bits is an RF64 file
// (EBU Tech 3306: a ds64 chunk holds the 64-bit sizes, the 32-bit fields 0xFFFFFFFF);
// smaller images keep the header they had, and so does a stored header whose writer
// never filled in its sizes (the data ran to the end of the file it was encoded from). With the tags option (InfoTags.h), an image
// without a stored LIST chunk gets a LIST/INFO chunk made from the Vorbis comments, in
// front of the data.
//
// Thread-safe as far as the FLACDecoder passed in is used by one thread.
#pragma once

#include <string>

namespace Vantor {

class FLACDecoder;

// Everything of an image but its sample data.
struct ImagePlan {
  std::string head;        // the bytes in front of the sample data, the data header last
  long long dataSize = 0;  // bytes of sample data
  std::string tail;        // the bytes behind it: a pad byte, the chunks stored behind the data
  long long DataOffset() const { return static_cast<long long>(head.size()); }
  long long Size() const { return DataOffset() + dataSize + static_cast<long long>(tail.size()); }
};

// Bytes of one sample frame: container bits * channels / 8.
int BytesPerSample(const FLACDecoder& d);
// Bytes of sample data: BytesPerSample * frames (64-bit).
long long DataSize(const FLACDecoder& d);
// Whether the stored chunk list is laid out again.
bool SaneChunks(const FLACDecoder& d);
ImagePlan PlanImage(const FLACDecoder& d);
// The image size; with fd >= 0 also writes the image less its sample data (left a hole)
// from fd's position on and stores the first sample byte's offset in *dataOffset (when
// given). Throws "could not write".
long long BuildWAV(int fd, FLACDecoder& d, long long* dataOffset);
// The image size of the FLAC file at path; 0 when it cannot be decoded. Never throws.
long long TranscodedSize(const std::string& path);

}  // namespace Vantor
