// Name mapping between a stored FLAC name and the WAV name the volume shows for it.
//
// "flac"/"Flac"/"FLAC" pair with "wav"/"Wav"/"WAV"; the extension is whatever follows the
// last "." of the string. Which names stand for which files is the volume's naming policy
// (fs/Names.h); this is only the string swap, and the existence test the mount point
// choice uses.
//
// Thread-safe: no state of its own.
#pragma once

#include <string>

namespace Vantor {

// Swaps a FLAC extension for its WAV partner (back = false) or the reverse (back = true).
// mapped is set exactly when the extension was swapped.
std::string TranscodeFilename(const std::string& path, bool& mapped, bool back = false);

// stat() following links: true unless it fails with ENOENT (anything else, EACCES,
// ENOTDIR, ELOOP, means something is in the way of that name).
bool Exists(const std::string& path);

}  // namespace Vantor
