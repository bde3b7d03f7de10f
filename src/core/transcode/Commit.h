// Files that replace stored files without ever destroying them first.
//
// An UnnamedFile is made in the folder it will be committed to (O_TMPFILE: it has no
// name, so a crash leaves nothing behind). Its content is written, it takes over the
// traits of the file it replaces (permission bits, owner, extended attributes, times),
// it is put on disk (fsync) and only then given its name: linked straight to a free name,
// or linked to a temporary name and renamed over the name it replaces, so that the name
// holds the old file or the new one at every moment. On any failure the destination is
// as it was. Where the file system has no unnamed files, a temporary name
// (TemporaryName) is used from the start; such a name may survive a crash and is swept
// at the next mount (SweepTemporaryFiles).
//
// Every folder is given as a descriptor (O_PATH is enough) and every name is one name
// in it: no path is resolved here and no symbolic link is followed.
//
// Results are 0 or -errno. One object is used by one thread at a time.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <optional>
#include <string>

#include "transcode/UniqueFd.h"

namespace Vantor {

// Whether name is one of the temporary names made here (".lyrebox-" + 8 characters +
// ".tmp"): internal, never shown, swept after a crash.
bool IsTemporaryName(const std::string& name);

// Times to give a committed file: an unset one becomes the commit's own time.
struct FileTimes {
  std::optional<timespec> access;
  std::optional<timespec> modification;
};

class UnnamedFile {
 public:
  // An unnamed file in the folder dirFd, open for reading and writing, mode 0600.
  // Invalid (see Error()) when it cannot be made.
  explicit UnnamedFile(int dirFd);
  ~UnnamedFile();  // removes the file unless it was committed
  UnnamedFile(const UnnamedFile&) = delete;
  UnnamedFile& operator=(const UnnamedFile&) = delete;

  bool Valid() const { return fd_.Valid(); }
  int Error() const { return error_; }  // the errno of a failed construction
  int Fd() const { return fd_.Get(); }
  // Whether the file lives in the folder dirFd (so that it can be committed there
  // without a copy).
  bool IsIn(int dirFd) const;

  // Gives the file the permission bits, owner and extended attributes of the file open
  // on from (any descriptor, O_PATH included). Attributes this process may not set are
  // skipped; the owner only where the process may give files away (root), else the group
  // where it may.
  int TakeTraits(int from);
  // Permission bits alone.
  int SetMode(mode_t mode);
  int SetTimes(const FileTimes& times);

  // Puts the complete file on disk and gives it the name `name` in dirFd, which must be
  // the folder it was made in. With replace, an item of that name (a file or a
  // symbolic link, never followed) is replaced atomically; without, the commit fails
  // with -EEXIST when the name is taken. The folder is synced afterwards.
  int Commit(int dirFd, const std::string& name, bool replace);

 private:
  UniqueFd fd_;
  UniqueFd dir_;  // the folder it was made in (O_PATH)
  std::string tempName_;  // set while the file has a temporary name
  int error_ = 0;
  bool committed_ = false;
};

// Copies all of from (from its start) into to (which is emptied first). 0 or -errno.
int CopyContent(int from, int to);

// Removes the temporary names left in root and its folders by a crash: made before
// `before` (their change time, which only the kernel sets; compare with the coarse
// real-time clock the kernel stamps files with); never follows a symbolic link or enters
// another file system. The folder
// skip (relative to root, "" for none) is left alone. Stops early once *stop is set.
// Returns how many were removed.
int SweepTemporaryFiles(int rootFd, const timespec& before, const std::string& skip,
                        const std::atomic<bool>* stop = nullptr);

}  // namespace Vantor
