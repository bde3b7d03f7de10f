#include "fs/Names.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>

#include "transcode/Commit.h"
#include "transcode/NameMapping.h"

namespace Lyrebox {

namespace {

// lstat of name in dirFd: 1 when it exists, 0 when it does not, -errno otherwise.
int Look(int dirFd, const std::string& name, struct stat& st) {
  if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return 1;
  return errno == ENOENT ? 0 : -errno;
}

}  // namespace

bool ShownType(mode_t mode) { return S_ISREG(mode) || S_ISLNK(mode); }

std::string ShownName(const std::string& flacName) {
  bool mapped;
  std::string wav = Vantor::TranscodeFilename(flacName, mapped, false);
  return mapped ? wav : std::string();
}

std::string StoredName(const std::string& wavName) {
  bool mapped;
  std::string flac = Vantor::TranscodeFilename(wavName, mapped, true);
  return mapped && flac.size() <= NAME_MAX ? flac : std::string();
}

Name Classify(int dirFd, const std::string& name) {
  Name n;
  n.stored = name;
  if (name.empty()) {
    n.kind = NameKind::kPlain;
    if (fstat(dirFd, &n.st) != 0) n.error = errno;
    return n;
  }
  if (Vantor::IsTemporaryName(name)) {
    n.kind = NameKind::kInternal;
    return n;
  }
  int r = Look(dirFd, name, n.st);
  if (r < 0) {
    n.kind = NameKind::kPlain;
    n.error = -r;
    return n;
  }

  const std::string flac = StoredName(name);
  if (!flac.empty()) {
    if (r == 1) {
      n.kind = NameKind::kPlain;
      return n;
    }
    struct stat st;
    r = Look(dirFd, flac, st);
    if (r == 1 && ShownType(st.st_mode)) {
      n.kind = NameKind::kShown;
      n.stored = flac;
      n.st = st;
    } else if (r == 0) {
      n.kind = NameKind::kFreeWAV;
      n.stored = flac;
    } else {
      // Its FLAC name holds a folder or the like, or cannot be examined: an ordinary name.
      n.kind = NameKind::kAbsent;
    }
    return n;
  }

  const std::string wav = ShownName(name);
  if (!wav.empty()) {
    struct stat st;
    const int w = Look(dirFd, wav, st);
    if (w == 0 && (r == 0 || ShownType(n.st.st_mode))) {
      n.kind = r == 1 ? NameKind::kKeptFLAC : NameKind::kReservedFLAC;
      return n;
    }
  }
  n.kind = r == 1 ? NameKind::kPlain : NameKind::kAbsent;
  return n;
}

}  // namespace Lyrebox
