// Name mapping between a stored FLAC name and the WAV name the volume shows for it.
//
// "flac"/"Flac"/"FLAC" pair with "wav"/"Wav"/"WAV"; the extension is whatever follows the
// last "." of the whole string. A real file that already bears the WAV name wins: only a
// WAV name with no real file behind it stands for a FLAC file. All functions work on
// byte strings; only Exists touches the disk.
//
// Thread-safe: no state of its own.
#pragma once

#include <string>

namespace Vantor {

// Swaps a FLAC extension for its WAV partner (back = false) or the reverse (back = true).
// mapped is set exactly when the extension was swapped.
std::string TranscodeFilename(const std::string& path, bool& mapped, bool back);
std::string TranscodeFilename(const std::string& path, bool& mapped);
std::string TranscodeFilenameBack(const std::string& path, bool& mapped);

// As TranscodeFilename, but the mapping is undone (mapped false, path unchanged) when
// the WAV-named one of the two strings exists on disk.
std::string TryTranscodeFilename(const std::string& path, bool& mapped, bool back);
std::string TryTranscodeFilename(const std::string& path);
std::string TryTranscodeFilename(const std::string& path, bool& mapped);
std::string TryTranscodeBackFilename(const std::string& path, bool& mapped);
std::string TryTranscodeBackFilename(const std::string& path);

// stat() following links: true unless it fails with ENOENT.
bool Exists(const std::string& path);

// Text after the last "/" (all of it without one).
std::string Basename(const std::string& path);
// Text before the last "." (all of it without one).
std::string RemoveExt(const std::string& path);
// Text before the last "/" (empty without one).
std::string Dirname(const std::string& path);

}  // namespace Vantor
