// The volume's delegate: one method per request of the FUSE host, on volume paths
// (beginning with "/"). A volume path's stored path is rootPath_ followed by the path;
// a WAV name with no real file behind it stands for the FLAC file beside it (a
// transcoded file), served by one Vantor::Transcoder per opening, registered in the
// transcoder registry under the opening's FileHandle. Everything else passes through to
// the root folder unchanged.
//
// Results are 0 (or a byte count) on success and -errno on failure; no method throws
// for a failure of the file system (an exception out of one means no memory or a bug,
// and the host turns it into an error). Refused operations append one line to the log
// file (AppendLog).
//
// Thread-safe: the host calls any method from several threads at once. The state shared
// between requests is the registry (locked by itself) and the set of open handles
// (handlesMutex_, taken alone). Calls on one FileHandle: Read/Write may overlap each
// other; Flush, the handle's Truncate and Release wait for them (FileHandle::gate).
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>

#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Lyrebox {

// The user on whose behalf a request runs: new items are given to that user when the
// volume runs as root for several users.
struct Caller {
  uid_t uid;
  gid_t gid;
};

// One opening of a file: the descriptor of a plain file, or the registry key of the
// Transcoder of a transcoded one.
struct FileHandle;

// What SetAttributes changes; an unset field stays as it is.
struct Attributes {
  std::optional<mode_t> mode;
  std::optional<uid_t> uid;  // as chown: (uid_t)-1 leaves the owner
  std::optional<gid_t> gid;
  std::optional<timespec> accessTime;  // UTIME_NOW and UTIME_OMIT pass through
  std::optional<timespec> modificationTime;
};

class LoopbackFS {
 public:
  explicit LoopbackFS(std::string rootPath);
  // Releases the openings still open (a conversion of written data runs first).
  ~LoopbackFS();
  LoopbackFS(const LoopbackFS&) = delete;
  LoopbackFS& operator=(const LoopbackFS&) = delete;

  const std::string& RootPath() const { return rootPath_; }
  // Hides a volume path and what is below it (the mount point, when it lies inside the
  // root folder, so that the volume does not contain itself). Call before serving.
  void HideVolumePath(const std::string& path);
  bool IsHidden(const std::string& path) const;

  // File contents. A handle given out by OpenFile or CreateFile stays valid until
  // ReleaseFile; path arguments of the handle operations only serve the log.
  int OpenFile(const std::string& path, int flags, FileHandle*& handle);
  int CreateFile(const std::string& path, mode_t mode, int flags, const Caller* caller,
                 FileHandle*& handle);
  long ReadFile(FileHandle& handle, char* buffer, size_t size, off_t offset);
  long WriteFile(const std::string& path, FileHandle& handle, const char* buffer, size_t size,
                 off_t offset);
  // close() of one descriptor of the opening: written WAV data is encoded now, so that
  // the FLAC file is in place when close() returns.
  int Flush(FileHandle& handle);
  int Fsync(FileHandle& handle, bool dataOnly);
  void ReleaseFile(FileHandle* handle);
  int TruncateFile(const std::string& path, off_t length);
  int TruncateFile(FileHandle& handle, off_t length);
  // Releases every opening still open; for shutting down.
  void ReleaseAll();

  // Directories and attributes.
  int ContentsOfDirectory(const std::string& path, std::vector<std::string>& names);
  int AttributesOfItem(const std::string& path, struct stat& attributes);
  int AttributesOfItem(FileHandle& handle, struct stat& attributes);
  int AttributesOfFileSystem(const std::string& path, struct statvfs& attributes);
  int SetAttributes(const std::string& path, const Attributes& attributes);
  int Access(const std::string& path, int mask);

  // Namespace.
  int MoveItem(const std::string& source, const std::string& destination, unsigned flags);
  int RemoveItem(const std::string& path);
  int CreateDirectory(const std::string& path, mode_t mode, const Caller* caller);
  int LinkItem(const std::string& path, const std::string& newPath);
  int CreateSymbolicLink(const std::string& path, const std::string& destination,
                         const Caller* caller);
  int DestinationOfSymbolicLink(const std::string& path, std::string& destination);

  // Extended attributes of the stored item.
  int ExtendedAttributesOfItem(const std::string& path, std::vector<std::string>& names);
  int ValueOfExtendedAttribute(const std::string& path, const std::string& name,
                               std::string& value);
  int SetExtendedAttribute(const std::string& path, const std::string& name,
                           const std::string& value, int flags);
  int RemoveExtendedAttribute(const std::string& path, const std::string& name);

  // The stored path of a volume path and whether it names a transcoded file. A WAV name
  // whose real item exists (also a dangling symbolic link) is never mapped.
  std::string StoredPath(const std::string& path, bool& mapped) const;
  std::string StoredPath(const std::string& path) const;

 private:
  FileHandle* NewHandle(int fd, bool transcoded);
  int OpenTranscoded(const std::string& stored, FileHandle*& handle);
  // Empties the stored FLAC file and every opening of it.
  int TruncateStored(const std::string& stored);
  // The byte size a transcoded file shows: the size written so far while an opening
  // holds data not yet encoded, else that of the WAV image of the FLAC file (whose
  // status is flac).
  long long TranscodedFileSize(const std::string& stored, const struct stat& flac) const;
  // Runs a conversion of the FLAC file stored; when it ends with the data kept as a real
  // WAV file instead, gives that file the FLAC file's owner.
  template <typename Conversion>
  void KeepingOwner(const std::string& stored, Conversion convert);
  // Gives a new item to the caller and corrects the mode for our own umask.
  void Adopt(int fd, const std::string& path, mode_t mode, bool isLink, const Caller* caller) const;

  const std::string rootPath_;
  std::string hidden_;  // set before serving, then only read
  mode_t umask_;  // this process's file mode creation mask, read once

  std::mutex handlesMutex_;  // guards handles_; taken alone
  std::set<FileHandle*> handles_;

  // Image sizes of FLAC files, valid while the file's status matches the key.
  struct SizeKey {
    dev_t dev;
    ino_t ino;
    off_t size;
    time_t mtime;
    long mtimeNs;
    time_t ctime;
    long ctimeNs;
    bool operator==(const SizeKey&) const = default;
  };
  static constexpr size_t kMaxSizes = 65536;
  mutable std::mutex sizesMutex_;  // guards sizes_; taken alone
  mutable std::unordered_map<std::string, std::pair<SizeKey, long long>> sizes_;
};

}  // namespace Lyrebox
