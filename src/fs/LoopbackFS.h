// The volume's delegate: one method per request of the FUSE host, on volume paths
// (beginning with "/"). Paths are resolved against a descriptor of the root folder
// (RootFolder), names are classified by the naming policy (Names: a WAV name with no real
// file behind it stands for the FLAC file beside it, a transcoded file), and transcoded
// files are served from their shared open-file state (OpenFiles). Everything else passes
// through to the root folder as a loopback file system does, with the disk's own errors.
//
// Nothing stored is destroyed before its replacement is safe: every conversion writes an
// unnamed file in the destination folder, puts it on disk and names it atomically
// (Commit.h); the stored FLAC file stays as it is until then.
//
// The methods are spread over three files by concern: LoopbackFS.cpp (file contents and
// the write-back of transcoded files), LoopbackNamespace.cpp (renames, removals, links),
// LoopbackAttributes.cpp (attributes, listings, extended attributes).
//
// Results are 0 (or a byte count) on success and -errno on failure; no method throws
// for a failure of the file system. Refused operations append one line to the log file.
//
// Thread-safe: the host calls any method from several threads at once.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "fs/Names.h"
#include "fs/OpenFiles.h"
#include "fs/RootFolder.h"

namespace Lyrebox {

// The unnamed file to commit into dirFd: cache itself where it lives there, else a copy of
// it made there (held by copy). error is 0 or -errno.
Vantor::UnnamedFile* InFolder(Vantor::UnnamedFile& cache, int dirFd, std::unique_ptr<Vantor::UnnamedFile>& copy,
                              int& error);

// The user on whose behalf a request runs: new items are given to that user when the
// volume runs as root for several users.
struct Caller {
  uid_t uid;
  gid_t gid;
};

// One opening: the descriptor of a plain file, or the shared state of a transcoded one.
struct FileHandle {
  int fd = -1;
  std::shared_ptr<FileState> file;
  std::string path;       // the volume path it was opened by, for the host
  bool writable = false;  // opened for writing (or made or emptied by it), for the host
};

// One opening of a folder for listing.
struct DirHandle {
  UniqueFd fd;       // the folder, open for reading
  std::string path;  // its volume path when it was opened
  // The listing being handed out, from its start to the offset the host asks for next.
  std::vector<std::string> names;
  std::vector<std::optional<struct stat>> attributes;
  bool listed = false;
};

// What SetAttributes changes; an unset field stays as it is.
struct Attributes {
  std::optional<mode_t> mode;
  std::optional<uid_t> uid;  // as chown: (uid_t)-1 leaves the owner
  std::optional<gid_t> gid;
  std::optional<off_t> size;
  std::optional<timespec> accessTime;  // UTIME_NOW and UTIME_OMIT pass through
  std::optional<timespec> modificationTime;
};

class LoopbackFS {
 public:
  // Opens the root folder; throws std::system_error when it cannot.
  explicit LoopbackFS(const std::string& rootPath);
  // Releases the openings still open (a conversion of written data runs first).
  ~LoopbackFS();
  LoopbackFS(const LoopbackFS&) = delete;
  LoopbackFS& operator=(const LoopbackFS&) = delete;

  // Hides a volume path and what is below it (the mount point, when it lies inside the
  // root folder). Call before serving.
  void HideVolumePath(const std::string& path);
  // Removes the temporary files a crash left in the root folder (made before before, by
  // the kernel's coarse clock), until StopSweeping is called.
  int SweepTemporaryFiles(const timespec& before);
  void StopSweeping() { stopSweeping_ = true; }

  // File contents. A handle given out by OpenFile or CreateFile stays valid until
  // ReleaseFile. keepCache tells whether what the kernel cached of the file's contents is
  // still good: the stored file did not change since the volume last opened it.
  int OpenFile(const std::string& path, int flags, FileHandle*& handle, bool& keepCache);
  int CreateFile(const std::string& path, mode_t mode, int flags, const Caller* caller, FileHandle*& handle,
                 bool& keepCache);
  long ReadFile(FileHandle& handle, char* buffer, size_t size, off_t offset);
  long WriteFile(FileHandle& handle, const char* buffer, size_t size, off_t offset);
  // close() of one descriptor of the opening: written WAV data that is complete is
  // encoded now, so that the FLAC file is in place when close() returns. A plain file
  // reports what close() of its descriptor would.
  int Flush(FileHandle& handle);
  int Fsync(FileHandle& handle, bool dataOnly);
  // The last release of a transcoded file commits what was written to it.
  void ReleaseFile(FileHandle* handle);
  // Releases every opening still open, for shutting down: what was written is saved only
  // where it is a finished WAV file (the stored file stays as it was otherwise).
  void ReleaseAll();

  // Directories and attributes.
  int OpenDirectory(const std::string& path, DirHandle*& handle);
  // The names of the folder's entries as the volume shows them; with attributes, also
  // each entry's attributes (none where they cannot be had).
  int ContentsOfDirectory(DirHandle& handle, std::vector<std::string>& names,
                          std::vector<std::optional<struct stat>>* attributes = nullptr);
  void ReleaseDirectory(DirHandle* handle);
  int AttributesOfItem(const std::string& path, struct stat& attributes);
  int AttributesOfItem(FileHandle& handle, struct stat& attributes);
  int AttributesOfFileSystem(const std::string& path, struct statvfs& attributes);
  int SetAttributes(const std::string& path, const Attributes& attributes);
  int SetAttributes(FileHandle& handle, const Attributes& attributes);
  int Access(const std::string& path, int mask);

  // Namespace.
  int MoveItem(const std::string& source, const std::string& destination, unsigned flags);
  int RemoveItem(const std::string& path);
  int RemoveDirectory(const std::string& path);
  int CreateDirectory(const std::string& path, mode_t mode, const Caller* caller);
  int CreateNode(const std::string& path, mode_t mode, dev_t device, const Caller* caller);
  int LinkItem(const std::string& path, const std::string& newPath);
  int CreateSymbolicLink(const std::string& path, const std::string& destination, const Caller* caller);
  int DestinationOfSymbolicLink(const std::string& path, std::string& destination);

  // Extended attributes of the stored item.
  int ExtendedAttributesOfItem(const std::string& path, std::vector<std::string>& names);
  int ValueOfExtendedAttribute(const std::string& path, const std::string& name, std::string& value);
  int SetExtendedAttribute(const std::string& path, const std::string& name, const std::string& value, int flags);
  int RemoveExtendedAttribute(const std::string& path, const std::string& name);

 private:
  // A volume path resolved: its folder, name and how the name shows.
  struct Resolved {
    Location where;
    Name name;
  };
  // 0, or -errno (ENOENT for hidden paths).
  int Resolve(const std::string& path, Resolved& r) const;
  // The attributes of a resolved path.
  int AttributesOf(Resolved& r, struct stat& attributes);

  FileHandle* NewHandle(int fd, std::shared_ptr<FileState> file);
  void Release(FileHandle* handle, bool final);
  int OpenOnce(const std::string& path, int flags, FileHandle*& handle, bool& keepCache);
  int CreateOnce(const std::string& path, mode_t mode, int flags, const Caller* caller, FileHandle*& handle,
                 bool& keepCache);
  // Opens (creating when create is set and the name is free) the transcoded file r.
  int OpenTranscoded(const std::string& path, Resolved& r, int flags, bool create, mode_t mode,
                     const Caller* caller, FileHandle*& handle, bool& keepCache);
  // The content of a stored transcoded file, for reading; logs why it cannot be decoded.
  int OpenContent(const std::string& path, int dirFd, const std::string& stored, int cacheDir,
                  std::unique_ptr<Vantor::Transcoder>& content);
  // The write-back: with the file's gate held exclusively, commits what was written to
  // it. At a close (or fsync) only a finished WAV file, or a new file left empty; at the
  // last release everything; at an unmount under a writer only a finished WAV file.
  enum class When { kClose, kLastRelease, kUnmount };
  int Commit(const std::shared_ptr<FileState>& file, When when);
  // Gives file the traits of the stored file it replaces (or of the content) and times,
  // and names it name in dirFd, replacing what is there.
  int Place(Vantor::UnnamedFile& file, int dirFd, const std::string& name, Vantor::Transcoder& content,
            const Vantor::FileTimes& times);
  // Whether the kernel's cached contents of path are still those of version.
  bool StillCached(const std::string& path, const std::optional<Version>& version);
  // The kernel keeps the length it was last told of a file while it trusts the name
  // (reads stop there, or are filled with zeros): what it was told of each shown file is
  // remembered, and an opening of another version has the kernel look the name up again.
  void Told(const FileKey& key, const std::optional<Version>& version);
  bool ToldOther(const FileKey& key, const Version& version);

  // Attributes of an open transcoded file, on its stored file where it has one.
  int StateAttributes(FileState& file, const Name* name, struct stat& st);
  int StateSetAttributes(const std::shared_ptr<FileState>& file, const Attributes& a);
  // The image size of a stored FLAC file, cached while the file's version stays.
  long long ImageSize(int dirFd, const std::string& name, const struct stat& st);
  // The image size when it is known for this version of the file.
  std::optional<long long> KnownImageSize(const struct stat& st);
  // The item whose extended attributes the resolved path shows: the stored item, or the
  // content of a new file not stored yet, as a path for the *xattr calls (follow: the
  // calls that follow a symbolic link, for a descriptor's own name) and the descriptor
  // it names, if any.
  struct XattrPlace {
    std::string path;
    bool follow = false;
    UniqueFd item;
  };
  int XattrTarget(Resolved& r, XattrPlace& at);
  // Gives a new item to the caller and corrects the mode for our own umask.
  void Adopt(int dirFd, const std::string& name, int fd, mode_t mode, bool isLink, const Caller* caller) const;

  // 0 when a new item (a regular file or link when shownType) may take the resolved name;
  // else -EEXIST or -EPERM (logged with the operation log).
  int MayCreate(const std::string& path, const Resolved& r, bool shownType, const std::string& log);
  // The renaming policies (LoopbackNamespace.cpp).
  int MoveOnce(const std::string& source, const std::string& destination, unsigned flags);
  int RemoveOnce(const std::string& path);
  int MoveToGhost(Resolved& from, Resolved& to);
  int MoveShown(const std::string& source, Resolved& from, const std::string& destination, Resolved& to,
                unsigned flags);
  int DecodeOnMove(const std::string& source, Resolved& from, const std::string& destination, Resolved& to,
                   unsigned flags);
  int EncodeOnMove(const std::string& source, Resolved& from, const std::string& destination, Resolved& to,
                   unsigned flags);

  RootFolder root_;
  std::atomic<bool> stopSweeping_{false};
  UniqueFd fallbackCache_;  // where caches go when the stored file's folder takes none
  mode_t umask_;            // this process's file mode creation mask, read once
  OpenFiles openFiles_;

  std::mutex handlesMutex_;  // guards handles_; taken alone
  std::set<FileHandle*> handles_;

  static constexpr size_t kMaxRemembered = 65536;
  // Image sizes of stored FLAC files, valid while the file's version stays.
  std::mutex sizesMutex_;  // guards sizes_; taken alone
  struct InodeHash {
    size_t operator()(const std::pair<dev_t, ino_t>& k) const { return std::hash<ino_t>()(k.second) * 31 + k.first; }
  };
  std::unordered_map<std::pair<dev_t, ino_t>, std::pair<Version, long long>, InodeHash> sizes_;
  // The version of each file as the volume last opened it, for the kernel's cache.
  std::mutex versionsMutex_;  // guards versions_; taken alone
  std::unordered_map<std::string, Version> versions_;
  // The version of each shown file the kernel was last given attributes of; none where
  // it was given a length that is not its image's (and then, or without a record, an
  // opening has the kernel look the name up first).
  std::mutex toldMutex_;  // guards told_; taken alone
  std::unordered_map<FileKey, std::optional<Version>, FileKeyHash> told_;
};

}  // namespace Lyrebox
