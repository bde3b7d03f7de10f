#include "fs/LoopbackFS.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <unordered_set>

#include "fs/MountPoint.h"
#include "transcode/Conversion.h"
#include "transcode/NameMapping.h"
#include "transcode/Registry.h"
#include "transcode/Transcoder.h"
#include "transcode/WAVImage.h"

namespace Lyrebox {

struct FileHandle {
  int fd = -1;              // plain opening: its descriptor
  bool transcoded = false;  // transcoded opening: this handle is its registry key
  // Read and Write hold it shared; Flush, Release and a conversion hold it exclusively,
  // so that a conversion never sees a write half done.
  std::shared_mutex gate;
};

namespace {

int Errno() { return errno ? errno : EIO; }

// The stored path of a path in the root folder: a WAV name stands for the FLAC name
// beside it only when no item bears the WAV name itself (a dangling symbolic link
// included, and anything that cannot be examined) and the FLAC item, if there is one,
// is a regular file or a symbolic link. When mapped, *flac receives the FLAC item's
// status (lstat), or st_mode 0 when there is none.
std::string MapStored(const std::string& full, bool& mapped, struct stat* flac = nullptr) {
  std::string stored = Vantor::TranscodeFilename(full, mapped, true);
  if (!mapped) return full;
  struct stat st;
  if (lstat(full.c_str(), &st) == 0 || errno != ENOENT) {
    mapped = false;
    return full;
  }
  if (lstat(stored.c_str(), &st) != 0) {
    st.st_mode = 0;
  } else if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    mapped = false;
    return full;
  }
  if (flac) *flac = st;
  return stored;
}

// Whether a directory entry with a FLAC name is shown under its WAV name: regular files
// and symbolic links are, folders and the like are not.
bool ShownAsWAV(const std::string& dir, const dirent& entry) {
  if (entry.d_type == DT_REG || entry.d_type == DT_LNK) return true;
  if (entry.d_type != DT_UNKNOWN) return false;
  struct stat st;
  return lstat((dir + "/" + entry.d_name).c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode));
}

std::string DirOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Reads or writes until everything is done, the end of the file, or an error.
template <typename Op>
long Repeat(size_t size, Op op) {
  size_t done = 0;
  while (done < size) {
    long n = op(done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? static_cast<long>(done) : -Errno();
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

}  // namespace

LoopbackFS::LoopbackFS(std::string rootPath) : rootPath_(std::move(rootPath)) {
  umask_ = umask(022);
  umask(umask_);
}

LoopbackFS::~LoopbackFS() { ReleaseAll(); }

std::string LoopbackFS::StoredPath(const std::string& path, bool& mapped) const {
  return MapStored(rootPath_ + path, mapped);
}

std::string LoopbackFS::StoredPath(const std::string& path) const {
  bool mapped;
  return StoredPath(path, mapped);
}

void LoopbackFS::HideVolumePath(const std::string& path) { hidden_ = path; }

bool LoopbackFS::IsHidden(const std::string& path) const {
  return !hidden_.empty() && path.compare(0, hidden_.size(), hidden_) == 0 &&
         (path.size() == hidden_.size() || path[hidden_.size()] == '/');
}

FileHandle* LoopbackFS::NewHandle(int fd, bool transcoded) {
  auto* handle = new FileHandle;
  handle->fd = fd;
  handle->transcoded = transcoded;
  std::lock_guard<std::mutex> lock(handlesMutex_);
  handles_.insert(handle);
  return handle;
}

void LoopbackFS::Adopt(int fd, const std::string& path, mode_t mode, bool isLink,
                       const Caller* caller) const {
  bool chowned = false;
  if (caller && geteuid() == 0 && (caller->uid != geteuid() || caller->gid != getegid())) {
    int r = fd >= 0 ? fchown(fd, caller->uid, caller->gid)
                    : lchown(path.c_str(), caller->uid, caller->gid);
    chowned = r == 0;
  }
  if (isLink) return;
  // The kernel has applied the caller's umask; ours must not take away more. A change
  // of owner may also have cleared set-id bits.
  mode &= 07777;
  if ((mode & umask_) || (chowned && (mode & 06000))) {
    if (fd >= 0) fchmod(fd, mode);
    else chmod(path.c_str(), mode);
  }
}

// ---------------------------------------------------------------------------------------
// File contents

template <typename Conversion>
void LoopbackFS::KeepingOwner(const std::string& stored, Conversion convert) {
  struct stat before;
  bool had = geteuid() == 0 && stat(stored.c_str(), &before) == 0;
  convert();
  // Data that could not be encoded is kept as a real WAV file made by this process: it
  // belongs to whoever owned the FLAC file it replaces.
  struct stat now;
  if (!had || stat(stored.c_str(), &now) == 0) return;
  bool mapped;
  std::string wav = Vantor::TranscodeFilename(stored, mapped, false);
  if (mapped && lstat(wav.c_str(), &now) == 0 && (now.st_uid != before.st_uid || now.st_gid != before.st_gid))
    lchown(wav.c_str(), before.st_uid, before.st_gid);
}

int LoopbackFS::OpenTranscoded(const std::string& stored, FileHandle*& handle) {
  Vantor::Transcoder* transcoder;
  try {
    errno = 0;
    transcoder = new Vantor::Transcoder(stored);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    return -Errno();
  }
  handle = NewHandle(-1, true);
  Vantor::RegisterTranscoder(handle, transcoder);
  return 0;
}

int LoopbackFS::TruncateStored(const std::string& stored) {
  if (truncate(stored.c_str(), 0) != 0) return -Errno();
  Vantor::ForEachTranscoderOn(stored, [](Vantor::Transcoder& t) { t.Truncate(0); });
  return 0;
}

int LoopbackFS::OpenFile(const std::string& path, int flags, FileHandle*& handle) {
  bool mapped;
  std::string stored = StoredPath(path, mapped);
  if (mapped) {
    struct stat st;
    if (stat(stored.c_str(), &st) != 0) return -Errno();
    bool writing = (flags & O_ACCMODE) != O_RDONLY;
    if (writing && access(stored.c_str(), W_OK) != 0) return -Errno();
    // The host passes O_TRUNC on to open: the file starts empty, as a new one.
    if (writing && (flags & O_TRUNC)) {
      int r = TruncateStored(stored);
      if (r != 0) return r;
    }
    return OpenTranscoded(stored, handle);
  }
  int fd = open(stored.c_str(), (flags & ~(O_CREAT | O_EXCL | O_DIRECT)) | O_CLOEXEC);
  if (fd < 0) return -Errno();
  handle = NewHandle(fd, false);
  return 0;
}

int LoopbackFS::CreateFile(const std::string& path, mode_t mode, int flags, const Caller* caller,
                           FileHandle*& handle) {
  bool mapped;
  std::string stored = StoredPath(path, mapped);
  int how = mapped ? O_WRONLY : (flags & ~(O_CREAT | O_EXCL | O_DIRECT | O_TRUNC));
  int fd = open(stored.c_str(), how | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  bool created = fd >= 0;
  if (fd < 0 && errno == EEXIST && !(flags & O_EXCL)) {
    // Made by someone else since the host looked: open it as it is (a FLAC file is
    // emptied, as the new WAV file replaces it).
    fd = open(stored.c_str(), how | (mapped ? O_TRUNC : (flags & O_TRUNC)) | O_CLOEXEC);
    if (fd >= 0 && mapped)
      Vantor::ForEachTranscoderOn(stored, [](Vantor::Transcoder& t) { t.Truncate(0); });
  }
  if (fd < 0) return -Errno();
  if (created) Adopt(fd, stored, mode, false, caller);
  if (!mapped) {
    handle = NewHandle(fd, false);
    return 0;
  }
  close(fd);
  int r = OpenTranscoded(stored, handle);
  if (r == 0) return 0;
  // No transcoder: keep what is written as a real WAV file under the name asked for, not
  // as WAV bytes in a file named FLAC.
  if (created) unlink(stored.c_str());
  std::string wav = rootPath_ + path;
  fd = open(wav.c_str(), (flags & ~(O_CREAT | O_DIRECT)) | O_CREAT | O_CLOEXEC, mode);
  if (fd < 0) return -Errno();
  Adopt(fd, wav, mode, false, caller);
  handle = NewHandle(fd, false);
  return 0;
}

long LoopbackFS::ReadFile(FileHandle& handle, char* buffer, size_t size, off_t offset) {
  std::shared_lock<std::shared_mutex> gate(handle.gate);
  if (handle.transcoded) {
    Vantor::Transcoder* t = Vantor::FindTranscoder(&handle);
    if (!t) return -EBADF;
    return Repeat(size, [&](size_t done) {
      return static_cast<long>(t->Read(buffer + done, size - done, offset + static_cast<off_t>(done)));
    });
  }
  return Repeat(size, [&](size_t done) {
    return static_cast<long>(pread(handle.fd, buffer + done, size - done, offset + static_cast<off_t>(done)));
  });
}

long LoopbackFS::WriteFile(const std::string& path, FileHandle& handle, const char* buffer,
                           size_t size, off_t offset) {
  std::shared_lock<std::shared_mutex> gate(handle.gate);
  if (handle.transcoded) {
    Vantor::Transcoder* t = Vantor::FindTranscoder(&handle);
    if (!t) return -EBADF;
    if (!t->CanWrite()) {
      AppendLog("writeFileAtPath: " + path);
      return -EACCES;
    }
    long n = Repeat(size, [&](size_t done) {
      return static_cast<long>(t->Write(buffer + done, size - done, offset + static_cast<off_t>(done)));
    });
    return n == 0 && size > 0 ? -EACCES : n;
  }
  return Repeat(size, [&](size_t done) {
    return static_cast<long>(pwrite(handle.fd, buffer + done, size - done, offset + static_cast<off_t>(done)));
  });
}

int LoopbackFS::Flush(FileHandle& handle) {
  if (!handle.transcoded) return 0;
  std::unique_lock<std::shared_mutex> gate(handle.gate);
  Vantor::Transcoder* t = Vantor::FindTranscoder(&handle);
  if (t && t->IsModified()) KeepingOwner(t->Path(), [t] { t->Flush(); });
  return 0;
}

int LoopbackFS::Fsync(FileHandle& handle, bool dataOnly) {
  if (handle.transcoded) return Flush(handle);  // the encoded FLAC file is the durable form
  int r = dataOnly ? fdatasync(handle.fd) : fsync(handle.fd);
  return r == 0 ? 0 : -Errno();
}

void LoopbackFS::ReleaseFile(FileHandle* handle) {
  {
    std::lock_guard<std::mutex> lock(handlesMutex_);
    if (!handles_.erase(handle)) return;
  }
  {
    std::unique_lock<std::shared_mutex> gate(handle->gate);
    if (handle->transcoded) {
      Vantor::Transcoder* t = Vantor::FindTranscoder(handle);
      Vantor::UnregisterTranscoder(handle);
      if (t && t->IsModified()) {
        std::string stored = t->Path();
        KeepingOwner(stored, [t] { delete t; });  // encodes what was written since the last flush
      } else {
        delete t;
      }
    } else {
      close(handle->fd);
    }
  }
  delete handle;
}

void LoopbackFS::ReleaseAll() {
  std::set<FileHandle*> open;
  {
    std::lock_guard<std::mutex> lock(handlesMutex_);
    open = handles_;
  }
  for (FileHandle* h : open) ReleaseFile(h);
}

int LoopbackFS::TruncateFile(const std::string& path, off_t length) {
  bool mapped;
  std::string stored = StoredPath(path, mapped);
  if (mapped && length != 0) {
    AppendLog("truncateFileAtPath: " + path + " offset: " + std::to_string(length));
    return -EACCES;
  }
  if (mapped) return TruncateStored(stored);
  return truncate(stored.c_str(), length) == 0 ? 0 : -Errno();
}

int LoopbackFS::TruncateFile(FileHandle& handle, off_t length) {
  std::shared_lock<std::shared_mutex> gate(handle.gate);
  if (handle.transcoded) {
    Vantor::Transcoder* t = Vantor::FindTranscoder(&handle);
    if (!t) return -EBADF;
    // Cut to nothing, the file is empty for every opening, as a plain file would be.
    return length == 0 ? TruncateStored(t->Path()) : t->Truncate(length);
  }
  return ftruncate(handle.fd, length) == 0 ? 0 : -Errno();
}

// ---------------------------------------------------------------------------------------
// Directories and attributes

int LoopbackFS::ContentsOfDirectory(const std::string& path, std::vector<std::string>& names) {
  std::string dir = rootPath_ + path;
  DIR* d = opendir(dir.c_str());
  if (!d) return -Errno();
  std::vector<std::string> all;
  std::vector<bool> regular;
  errno = 0;
  while (dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!hidden_.empty() && IsHidden((path == "/" ? "" : path) + "/" + name)) continue;
    regular.push_back(ShownAsWAV(dir, *entry));
    all.push_back(std::move(name));
    errno = 0;
  }
  int err = errno;
  closedir(d);
  if (err) return -err;

  std::unordered_set<std::string> present(all.begin(), all.end());
  names.clear();
  names.reserve(all.size());
  for (size_t i = 0; i < all.size(); ++i) {
    bool mapped;
    std::string shown = Vantor::TranscodeFilename(all[i], mapped);
    names.push_back(mapped && regular[i] && !present.count(shown) ? shown : all[i]);
  }
  return 0;
}

long long LoopbackFS::TranscodedFileSize(const std::string& stored, const struct stat& flac) const {
  long long size = -1;
  Vantor::ForEachTranscoderOn(stored, [&](Vantor::Transcoder& t) {
    if (t.IsModified()) size = std::max(size, t.CurrentSize());
  });
  if (size >= 0) return size;

  // The image size depends on the FLAC file's content only: it is kept for as long as
  // the file's identity, size and change time stay the same.
  SizeKey key{flac.st_dev, flac.st_ino, flac.st_size, flac.st_mtim.tv_sec, flac.st_mtim.tv_nsec,
              flac.st_ctim.tv_sec, flac.st_ctim.tv_nsec};
  {
    std::lock_guard<std::mutex> lock(sizesMutex_);
    auto it = sizes_.find(stored);
    if (it != sizes_.end() && it->second.first == key) return it->second.second;
  }
  size = Vantor::TranscodedSize(stored);
  std::lock_guard<std::mutex> lock(sizesMutex_);
  if (sizes_.size() >= kMaxSizes) sizes_.clear();
  sizes_[stored] = {key, size};
  return size;
}

int LoopbackFS::AttributesOfItem(const std::string& path, struct stat& attributes) {
  if (IsHidden(path)) return -ENOENT;
  bool mapped;
  std::string stored = MapStored(rootPath_ + path, mapped, &attributes);
  if (!mapped) return lstat(stored.c_str(), &attributes) == 0 ? 0 : -Errno();
  if (attributes.st_mode == 0) return -ENOENT;
  if (!S_ISREG(attributes.st_mode)) return 0;  // a symbolic link shows as one
  attributes.st_size = TranscodedFileSize(stored, attributes);
  attributes.st_blocks = (attributes.st_size + 511) / 512;
  return 0;
}

int LoopbackFS::AttributesOfItem(FileHandle& handle, struct stat& attributes) {
  if (!handle.transcoded) return fstat(handle.fd, &attributes) == 0 ? 0 : -Errno();
  Vantor::Transcoder* t = Vantor::FindTranscoder(&handle);
  if (!t) return -EBADF;
  if (stat(t->Path().c_str(), &attributes) != 0) {
    // Removed while open: still a regular file to this opening.
    attributes = {};
    attributes.st_mode = S_IFREG | 0644;
    attributes.st_uid = geteuid();
    attributes.st_gid = getegid();
  }
  long long size = -1;
  Vantor::ForEachTranscoderOn(t->Path(), [&](Vantor::Transcoder& other) {
    if (other.IsModified()) size = std::max(size, other.CurrentSize());
  });
  attributes.st_size = size >= 0 ? size : t->CurrentSize();
  attributes.st_blocks = (attributes.st_size + 511) / 512;
  return 0;
}

int LoopbackFS::AttributesOfFileSystem(const std::string& path, struct statvfs& attributes) {
  return statvfs(StoredPath(path).c_str(), &attributes) == 0 ? 0 : -Errno();
}

int LoopbackFS::SetAttributes(const std::string& path, const Attributes& a) {
  std::string stored = StoredPath(path);
  const char* s = stored.c_str();
  bool ok = true;
  if (a.mode) ok = chmod(s, *a.mode & 07777) == 0;
  if (ok && (a.uid || a.gid)) {
    uid_t uid = a.uid.value_or(static_cast<uid_t>(-1));
    gid_t gid = a.gid.value_or(static_cast<gid_t>(-1));
    ok = lchown(s, uid, gid) == 0;
  }
  if (ok && (a.accessTime || a.modificationTime)) {
    timespec times[2] = {a.accessTime.value_or(timespec{0, UTIME_OMIT}),
                         a.modificationTime.value_or(timespec{0, UTIME_OMIT})};
    ok = utimensat(AT_FDCWD, s, times, AT_SYMLINK_NOFOLLOW) == 0;
  }
  if (ok) return 0;
  AppendLog("setAttributes:ofItemAtPath: " + path);
  return -EACCES;
}

int LoopbackFS::Access(const std::string& path, int mask) {
  return access(StoredPath(path).c_str(), mask) == 0 ? 0 : -Errno();
}

// ---------------------------------------------------------------------------------------
// Namespace

int LoopbackFS::MoveItem(const std::string& source, const std::string& destination,
                         unsigned flags) {
  if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE | RENAME_EXCHANGE)) return -EINVAL;
  const std::string rp = rootPath_ + source;
  const std::string rq = rootPath_ + destination;
  bool mp, mq;
  std::string sp = StoredPath(source, mp);
  std::string sq = StoredPath(destination, mq);
  auto rename = [flags](const std::string& from, const std::string& to) {
    int r = flags ? renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags)
                  : ::rename(from.c_str(), to.c_str());
    return r == 0 ? 0 : -Errno();
  };
  if (flags & RENAME_EXCHANGE) return mp || mq ? -EINVAL : rename(rp, rq);
  struct stat st;
  if ((flags & RENAME_NOREPLACE) && lstat(sq.c_str(), &st) == 0) return -EEXIST;

  if (mp) {
    if (mq) return rename(sp, sq);
    // To a name that is not a free WAV name: the file becomes a real WAV file there,
    // with the FLAC file's permissions and owner, as a renamed file keeps its own.
    struct stat flac;
    if (stat(sp.c_str(), &flac) != 0) return -Errno();
    try {
      Vantor::Transcoder exported(sp, rq);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      AppendLog("moveItemAtPath: " + source + " toPath: " + destination);
      return -EACCES;
    }
    chmod(rq.c_str(), flac.st_mode & 07777);
    if (geteuid() == 0) lchown(rq.c_str(), flac.st_uid, flac.st_gid);
    unlink(sp.c_str());
    return 0;
  }
  if (mq) {
    // A file given a free WAV name is encoded into the FLAC file of that name.
    if (stat(rp.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      try {
        Vantor::ToFLAC(rp, sq);
        unlink(rp.c_str());
        return 0;
      } catch (const std::bad_alloc&) {
        throw;
      } catch (...) {
        // Not audio: it moves as it is, replacing what the WAV name showed.
        unlink(sq.c_str());
      }
    }
    return rename(rp, rq);
  }
  return rename(rp, sq);
}

int LoopbackFS::RemoveItem(const std::string& path) {
  std::string stored = StoredPath(path);
  struct stat st;
  if (lstat(stored.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return rmdir(stored.c_str()) == 0 ? 0 : -Errno();
  if (unlink(stored.c_str()) == 0) return 0;
  AppendLog("removeItemAtPath: " + path);
  return -EACCES;
}

int LoopbackFS::CreateDirectory(const std::string& path, mode_t mode, const Caller* caller) {
  std::string dir = rootPath_ + path;
  if (mkdir(dir.c_str(), mode) != 0) {
    AppendLog("createDirectoryAtPath: " + path);
    return -EACCES;
  }
  Adopt(-1, dir, mode, false, caller);
  return 0;
}

int LoopbackFS::LinkItem(const std::string& path, const std::string& newPath) {
  return link(StoredPath(path).c_str(), StoredPath(newPath).c_str()) == 0 ? 0 : -Errno();
}

int LoopbackFS::CreateSymbolicLink(const std::string& path, const std::string& destination,
                                   const Caller* caller) {
  std::string stored = StoredPath(path);
  // A relative destination names an item seen from the link's folder: the link stores
  // the name the root folder knows that item by, so that it works on both sides. An
  // absolute destination is stored as it is.
  std::string content = destination;
  if (!content.empty() && content[0] != '/') {
    bool mapped;
    MapStored(DirOf(rootPath_ + path) + "/" + destination, mapped);
    if (mapped) content = Vantor::TranscodeFilename(destination, mapped, true);
  }
  if (symlink(content.c_str(), stored.c_str()) != 0) {
    AppendLog("createSymbolicLinkAtPath: " + path + " withDestinationPath: " + destination);
    return -EACCES;
  }
  Adopt(-1, stored, 0, true, caller);
  return 0;
}

int LoopbackFS::DestinationOfSymbolicLink(const std::string& path, std::string& destination) {
  std::string stored = StoredPath(path);
  std::string content(256, '\0');
  for (;;) {
    ssize_t n = readlink(stored.c_str(), content.data(), content.size());
    if (n < 0) {
      AppendLog("destinationOfSymbolicLinkAtPath: " + path);
      return -EACCES;
    }
    if (static_cast<size_t>(n) < content.size()) {
      content.resize(static_cast<size_t>(n));
      break;
    }
    content.resize(content.size() * 2);
  }
  // The relative name of a FLAC file that the volume shows as WAV reads as the WAV name.
  destination = content;
  if (!content.empty() && content[0] != '/') {
    bool forward, back;
    std::string shown = Vantor::TranscodeFilename(content, forward);
    std::string dir = DirOf(stored);
    if (forward && MapStored(dir + "/" + shown, back) == dir + "/" + content && back) destination = shown;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------
// Extended attributes: a transcoded file carries those of its FLAC file; a symbolic link
// its own (the kernel follows links before asking, where the caller wants that).

int LoopbackFS::ExtendedAttributesOfItem(const std::string& path, std::vector<std::string>& names) {
  std::string stored = StoredPath(path);
  auto list = llistxattr;
  std::string buffer;
  ssize_t m;
  do {
    ssize_t n = list(stored.c_str(), nullptr, 0);
    if (n < 0) return -Errno();
    buffer.assign(static_cast<size_t>(n), '\0');
    m = list(stored.c_str(), buffer.data(), buffer.size());
  } while (m < 0 && errno == ERANGE);
  if (m < 0) return -Errno();
  names.clear();
  for (size_t start = 0; start < static_cast<size_t>(m);) {
    size_t end = buffer.find('\0', start);
    if (end == std::string::npos || end > static_cast<size_t>(m)) end = static_cast<size_t>(m);
    names.push_back(buffer.substr(start, end - start));
    start = end + 1;
  }
  return 0;
}

int LoopbackFS::ValueOfExtendedAttribute(const std::string& path, const std::string& name,
                                         std::string& value) {
  std::string stored = StoredPath(path);
  auto get = lgetxattr;
  ssize_t m;
  do {
    ssize_t n = get(stored.c_str(), name.c_str(), nullptr, 0);
    if (n < 0) return -Errno();
    value.assign(static_cast<size_t>(n), '\0');
    m = get(stored.c_str(), name.c_str(), value.data(), value.size());
  } while (m < 0 && errno == ERANGE);
  if (m < 0) return -Errno();
  value.resize(static_cast<size_t>(m));
  return 0;
}

int LoopbackFS::SetExtendedAttribute(const std::string& path, const std::string& name,
                                     const std::string& value, int flags) {
  std::string stored = StoredPath(path);
  auto set = lsetxattr;
  return set(stored.c_str(), name.c_str(), value.data(), value.size(), flags) == 0 ? 0 : -Errno();
}

int LoopbackFS::RemoveExtendedAttribute(const std::string& path, const std::string& name) {
  std::string stored = StoredPath(path);
  auto remove = lremovexattr;
  return remove(stored.c_str(), name.c_str()) == 0 ? 0 : -Errno();
}

}  // namespace Lyrebox
