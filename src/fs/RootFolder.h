// The root folder as a descriptor, and volume paths resolved against it.
//
// A volume path ("/a/b/c.wav") is split into its folder, opened as an O_PATH descriptor
// below the root folder's, and its last name. Folders are resolved without following any
// symbolic link and without leaving the root folder (openat2 with RESOLVE_BENEATH and
// RESOLVE_NO_SYMLINKS, or one name at a time with O_NOFOLLOW where openat2 is missing),
// a piece at a time where the path is longer than the system takes in one call, so that
// any path the disk holds works in the volume. Operations then act on (folder, name)
// with the *at calls and never glue strings into paths.
//
// Thread-safe: after construction and Hide, everything is read-only.
#pragma once

#include <sys/stat.h>

#include <string>

#include "transcode/UniqueFd.h"

namespace Lyrebox {

using Vantor::UniqueFd;

// Where a volume path lives: its folder and its last name ("" for the root itself).
struct Location {
  UniqueFd dir;
  std::string name;
  // The file itself as a descriptor base for *at calls: (dir, name), or (dir, "") with
  // AT_EMPTY_PATH for the root.
  const char* Name() const { return name.empty() ? "." : name.c_str(); }
};

class RootFolder {
 public:
  // Opens the root folder (which must exist and be a folder). Throws std::system_error.
  explicit RootFolder(const std::string& path);

  int Fd() const { return fd_.Get(); }

  // Hides a volume path and what is below it (the mount point, when it lies inside the
  // root folder, so that the volume does not contain itself). Call before serving.
  void Hide(const std::string& path);
  bool IsHidden(const std::string& path) const;
  const std::string& Hidden() const { return hidden_; }

  // Resolves the folder of the volume path. 0, or -errno (ENOENT, ENOTDIR, ENAMETOOLONG;
  // ELOOP when a symbolic link stands where a folder should be).
  int Locate(const std::string& path, Location& where) const;
  // Opens a folder of the volume by its path, for reading its entries (O_RDONLY).
  UniqueFd OpenFolder(const std::string& path, int& error) const;

 private:
  // The folder at the relative path rel (no leading "/", "" for the root itself).
  UniqueFd OpenBeneath(const std::string& rel, int& error) const;

  UniqueFd fd_;
  std::string hidden_;  // set before serving, then only read
};

// The identity of the file or folder open on fd (device and inode); false on failure.
bool Identify(int fd, dev_t& dev, ino_t& ino);

}  // namespace Lyrebox
