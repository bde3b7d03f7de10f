// The open-file state of the volume.
//
// FileState: one open transcoded file, shared by all its openings (what one descriptor
// writes, another reads; concurrent readers decode once): its content (a Transcoder),
// and where that content is committed (a folder descriptor and the stored FLAC name,
// which follow renames of the file and of its folders). The registry (OpenFiles) finds it
// by folder identity and stored name, counts its openings, and forgets it when it is
// removed or replaced, so that a removed file is never committed.
//
// Ghosts: files removed while open. libfuse renames such a file to a ".fuse_hidden..."
// name instead of removing it and removes that name at the last release; the volume
// removes the stored file at once and keeps the opening reachable under that name for
// the operations the kernel sends by path (fstat, fchmod, futimens, fchown).
//
// Locks, outermost first: an FileState's gate; the registry's mutex_; an FileState's
// mutex_. The registry's mutex_ is never held while a gate or the Transcoder's own lock
// is waited for.
#pragma once

#include <sys/stat.h>

#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "fs/RootFolder.h"
#include "transcode/Commit.h"
#include "transcode/Transcoder.h"

namespace Lyrebox {

// A stored name in a folder, the folder known by its identity.
struct FileKey {
  dev_t dev = 0;
  ino_t ino = 0;
  std::string name;
  auto operator<=>(const FileKey&) const = default;
};
struct FileKeyHash {
  size_t operator()(const FileKey& k) const {
    return std::hash<std::string>()(k.name) ^ (std::hash<ino_t>()(k.ino) * 31 + std::hash<dev_t>()(k.dev));
  }
};
// The key of name in the folder open on dirFd; false when the folder cannot be examined.
bool KeyOf(int dirFd, const std::string& name, FileKey& key);

// What identifies the version of a stored file: it changed when any of these did.
struct Version {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{}, ctime{};
  static Version Of(const struct stat& st);
  bool operator==(const Version& o) const;
};

class FileState {
 public:
  FileState(std::unique_ptr<Vantor::Transcoder> content, UniqueFd dir, const FileKey& key, std::string volumePath,
           bool pending);
  FileState(const FileState&) = delete;
  FileState& operator=(const FileState&) = delete;

  Vantor::Transcoder& Content() { return *content_; }
  // Read and Write hold it shared; conversions and truncation hold it exclusively, so
  // that a conversion never sees a write half done.
  std::shared_mutex& Gate() { return gate_; }

  // Where the content goes: a descriptor of the folder (a duplicate, the caller's own),
  // the stored FLAC name, and whether the file still has a name (not removed).
  struct Where {
    UniqueFd dir;
    std::string name;
    std::string volumePath;  // for log lines; stale after a folder rename
    bool attached = false;
    bool pending = false;  // no stored file of its own yet (a new file)
  };
  Where Locate() const;
  // Its volume path as last opened or renamed through the volume (a folder renamed
  // around it is not followed).
  std::string VolumePath() const;
  void MarkCommitted();  // a stored file of its own exists now
  // Times given to the file while open, for the committed file; a write forgets the
  // modification time (it is the write's own then).
  Vantor::FileTimes Times() const;
  void SetTimes(const Vantor::FileTimes& times);
  void ForgetModificationTime();
  // Whether the stored file is the version the content was read from or last committed as.
  bool IsVersion(const Version& v) const;
  void SetVersion(const Version& v);

 private:
  friend class OpenFiles;

  const std::unique_ptr<Vantor::Transcoder> content_;
  std::shared_mutex gate_;

  mutable std::mutex mutex_;  // guards what follows; innermost lock
  Version source_;  // the stored file's version at open or at the last commit
  UniqueFd dir_;
  FileKey key_;
  std::string volumePath_;
  bool attached_ = true;
  bool pending_;
  int openings_ = 0;
  Vantor::FileTimes times_;
};

class OpenFiles {
 public:
  // The open file at key, with one more opening; when there is none, make() is called
  // (without the registry's lock) and its result registered, unless another thread
  // registered one first.
  template <typename Make>
  std::shared_ptr<FileState> Acquire(const FileKey& key, Make make);
  // The open file at key, if any (no opening is added).
  std::shared_ptr<FileState> Find(const FileKey& key);
  // One more opening of a file already held (a removed file opened again).
  void Reopen(FileState& file);
  // One opening less; true when it was the last.
  bool Release(FileState& file);
  // After a last release and its conversion: drops the file from the registry unless it
  // was opened again meanwhile.
  void Forget(const std::shared_ptr<FileState>& file);
  // The file loses its name (removed, replaced, or committed as something else): it stays
  // usable for its openings but is never committed.
  void Detach(const std::shared_ptr<FileState>& file);
  // The file is renamed: it is now at key in dir (a file there before is detached).
  void Move(const std::shared_ptr<FileState>& file, const FileKey& key, UniqueFd dir, const std::string& volumePath);
  // Shown names of new files, not yet stored, in the folder (dev, ino).
  std::vector<std::string> PendingIn(dev_t dev, ino_t ino);

  // Ghosts: the opening of a removed file, under the name libfuse gave it.
  struct Ghost {
    UniqueFd file;                       // the removed file (O_PATH)
    std::shared_ptr<FileState> content;  // or the removed transcoded file still open
  };
  void AddGhost(const FileKey& key, Ghost ghost);
  // A duplicate of the ghost's plain descriptor (invalid for a transcoded ghost), and its
  // transcoded file; false when there is no ghost at key.
  bool FindGhost(const FileKey& key, UniqueFd& file, std::shared_ptr<FileState>& content);
  void RemoveGhost(const FileKey& key);

 private:
  std::shared_ptr<FileState> AcquireLocked(const FileKey& key);

  std::mutex mutex_;  // guards the maps below and every FileState's registration
  std::map<FileKey, std::shared_ptr<FileState>> byKey_;
  std::map<FileKey, Ghost> ghosts_;
};

template <typename Make>
std::shared_ptr<FileState> OpenFiles::Acquire(const FileKey& key, Make make) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto found = AcquireLocked(key)) return found;
  }
  std::shared_ptr<FileState> made = make();
  if (!made) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto found = AcquireLocked(key)) return found;
  std::lock_guard<std::mutex> own(made->mutex_);
  made->openings_ = 1;
  byKey_[key] = made;
  return made;
}

// Whether name is a name libfuse gives a file removed while open.
bool IsGhostName(const std::string& name);

}  // namespace Lyrebox
