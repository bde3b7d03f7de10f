// How a name in a folder of the root folder shows in the volume: the naming policy.
//
// A regular file or symbolic link named "x.flac" (also "Flac", "FLAC") is shown as
// "x.wav" ("Wav", "WAV") unless a real item bears that WAV name; the WAV name then
// stands for it, and the FLAC name is not reachable through the volume (lookup agrees
// with listing). A WAV name with nothing behind it is free: a file made under it is
// stored under the FLAC name. A WAV name whose FLAC name is taken by something else (a
// folder, a FIFO) or would be longer than a name may be, is an ordinary name. Temporary
// names of the volume's own are never shown.
//
// Thread-safe: no state of its own.
#pragma once

#include <sys/stat.h>

#include <string>

namespace Lyrebox {

enum class NameKind {
  kAbsent,        // nothing of that name, and not a free WAV name
  kPlain,         // a real item under this very name
  kShown,         // a WAV name standing for a stored FLAC file (a regular file or link)
  kFreeWAV,       // a WAV name with nothing behind it: a file made here becomes FLAC
  kKeptFLAC,      // a FLAC name whose file is shown under its WAV name
  kReservedFLAC,  // a free FLAC name under which a new file would be shown as WAV
  kInternal,      // a temporary name of the volume's own
};

struct Name {
  NameKind kind = NameKind::kAbsent;
  // The name in the folder to act on: the FLAC name for kShown and kFreeWAV, the
  // name itself otherwise.
  std::string stored;
  // lstat of stored, valid for kPlain, kShown and kKeptFLAC.
  struct stat st {};
  // errno of an examination that failed for another reason than ENOENT (the name is
  // then kPlain, and operations on it report this error).
  int error = 0;
};

Name Classify(int dirFd, const std::string& name);

// The name a directory entry is listed under ("x.flac" -> "x.wav"), given its type and
// whether the folder holds an item of that WAV name.
bool ShownType(mode_t mode);
// The WAV name a FLAC name is shown under, or "" when the name is not a FLAC name.
std::string ShownName(const std::string& flacName);
// The FLAC name a WAV name stands for, or "" when it is not a WAV name or the FLAC name
// would be too long.
std::string StoredName(const std::string& wavName);

}  // namespace Lyrebox
