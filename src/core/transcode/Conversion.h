// Turns one WAV file into one FLAC stream, its other RIFF chunks kept as "riff" blocks,
// at the compression level in effect when the conversion starts. Counts as a running
// encoding (IsEncoding) while it works and reports its progress (Events.h).
//
// A file of more than a few seconds of plain PCM is encoded in parts at once, one per
// processor, split at multiples of the block size so that every frame but the last is
// whole; the parts' frames are renumbered and joined into one stream whose STREAMINFO
// (length, frame sizes, signature of the audio) and seek table describe the whole.
//
// Works on descriptors only: where the result goes, and what it replaces, is the
// caller's (the commit routine, Commit.h).
//
// Thread-safe: conversions share nothing but the encoding counter.
#pragma once

#include <string>

namespace Vantor {

// Encodes the WAV file open on wavFd (read through a descriptor of its own, from its
// start) into the file open for reading and writing on flacFd (emptied first). name is
// the file's name as the volume shows it, for the progress reports. The parts of a split
// encoding wait in unnamed files in scratchDir (the FLAC file's folder; -1: $TMPDIR or
// /tmp). Throws std::runtime_error or Vantor::Audio::AudioFileError on any failure;
// flacFd then holds no usable stream.
void EncodeWAV(int wavFd, int flacFd, const std::string& name, int scratchDir = -1);

// How files are split: into `parts` parts (0: one per processor, and only where there
// are two or more) when they hold at least minFrames sample frames (-1: five seconds).
// For tests and benchmarks; process-wide.
void SetEncodeSplit(int parts, long long minFrames);

// Whether the file open on fd is a WAV file that its writer has finished: its RIFF size
// is the size of the file, every chunk lies whole inside it, and it has its fmt and data
// chunks. A file still being written (a header written first with sizes of 0, or data
// still missing) is not. Never throws.
bool IsCompleteWAV(int fd);

}  // namespace Vantor
