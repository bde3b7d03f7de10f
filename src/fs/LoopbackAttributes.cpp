// Attributes, listings and extended attributes. A transcoded file shows the size of its
// WAV image (or of what was written to it) and everything else of its stored file; what
// serves a read never changes a time stamp nor shows in a listing.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <unordered_set>

#include "audio/FLACDecode.h"
#include "fs/LoopbackFS.h"
#include "fs/MountPoint.h"
#include "transcode/WAVImage.h"

namespace Lyrebox {

namespace {

// Bytes at the start of a FLAC file read ahead for its image size (its metadata).
constexpr off_t kImageHead = 64 * 1024;

std::string SelfPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The item name in dirFd as a descriptor that any attribute call can use (O_PATH, the
// item itself when it is a symbolic link).
UniqueFd Item(int dirFd, const char* name) { return UniqueFd(openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC)); }

// UTIME_NOW as the time it is now.
timespec Now(timespec t) {
  if (t.tv_nsec == UTIME_NOW) clock_gettime(CLOCK_REALTIME, &t);
  return t;
}

// Applies a to the item open on fd (O_PATH is enough): the descriptor's own name serves
// the calls that take no descriptor, so that no path is looked up again.
int SetOnDescriptor(int fd, const Attributes& a) {
  const std::string self = SelfPath(fd);
  if (a.size) {
    UniqueFd w = Vantor::Reopen(fd, O_WRONLY | O_NONBLOCK);
    if (!w || ftruncate(w.Get(), *a.size) != 0) return -errno;
  }
  if (a.mode) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -errno;
    if (S_ISLNK(st.st_mode)) return -EOPNOTSUPP;  // Linux keeps no mode for links
    if (fchmodat(AT_FDCWD, self.c_str(), *a.mode & 07777, 0) != 0) return -errno;
  }
  if (a.uid || a.gid) {
    if (fchownat(fd, "", a.uid.value_or(static_cast<uid_t>(-1)), a.gid.value_or(static_cast<gid_t>(-1)),
                 AT_EMPTY_PATH) != 0)
      return -errno;
  }
  if (a.accessTime || a.modificationTime) {
    const timespec times[2] = {a.accessTime.value_or(timespec{0, UTIME_OMIT}),
                               a.modificationTime.value_or(timespec{0, UTIME_OMIT})};
    struct stat st;
    if (fstat(fd, &st) != 0) return -errno;
    // utimensat on the descriptor's own name would follow a link to its target.
    if (S_ISLNK(st.st_mode)) return -EOPNOTSUPP;
    if (utimensat(AT_FDCWD, self.c_str(), times, 0) != 0) return -errno;
  }
  return 0;
}

// Applies a to the item name in dirFd, never following a symbolic link.
int SetOnName(int dirFd, const char* name, const Attributes& a) {
  Attributes rest = a;
  if (a.uid || a.gid) {
    if (fchownat(dirFd, name, a.uid.value_or(static_cast<uid_t>(-1)), a.gid.value_or(static_cast<gid_t>(-1)),
                 AT_SYMLINK_NOFOLLOW) != 0)
      return -errno;
    rest.uid.reset();
    rest.gid.reset();
  }
  if (a.accessTime || a.modificationTime) {
    const timespec times[2] = {a.accessTime.value_or(timespec{0, UTIME_OMIT}),
                               a.modificationTime.value_or(timespec{0, UTIME_OMIT})};
    if (utimensat(dirFd, name, times, AT_SYMLINK_NOFOLLOW) != 0) return -errno;
    rest.accessTime.reset();
    rest.modificationTime.reset();
  }
  if (!rest.size && !rest.mode) return 0;
  UniqueFd item = Item(dirFd, name);
  if (!item) return -errno;
  return SetOnDescriptor(item.Get(), rest);
}

}  // namespace

std::optional<long long> LoopbackFS::KnownImageSize(const struct stat& st) {
  std::lock_guard<std::mutex> lock(sizesMutex_);
  auto it = sizes_.find(std::make_pair(st.st_dev, st.st_ino));
  if (it == sizes_.end() || !(it->second.first == Version::Of(st))) return std::nullopt;
  return it->second.second;
}

long long LoopbackFS::ImageSize(int dirFd, const std::string& name, const struct stat& st) {
  if (st.st_size == 0) return 0;
  const Version version = Version::Of(st);
  const auto key = std::make_pair(st.st_dev, st.st_ino);
  {
    std::lock_guard<std::mutex> lock(sizesMutex_);
    auto it = sizes_.find(key);
    if (it != sizes_.end() && it->second.first == version) return it->second.second;
  }
  long long size = 0;
  try {
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    UniqueFd fd(openat(dirFd, name.c_str(), flags | O_NOATIME));
    if (!fd && errno == EPERM) fd.Reset(openat(dirFd, name.c_str(), flags));
    if (fd) {
      Vantor::FLACDecoder decoder(std::move(fd));
      size = Vantor::BuildWAV(-1, decoder, nullptr);
    }
  } catch (...) {
    // Not decodable: opening it says so.
  }
  std::lock_guard<std::mutex> lock(sizesMutex_);
  if (sizes_.size() >= kMaxRemembered) sizes_.clear();
  sizes_[key] = {version, size};
  return size;
}

int LoopbackFS::StateAttributes(FileState& file, const Name* name, struct stat& st) {
  Vantor::Transcoder& content = file.Content();
  FileState::Where where = file.Locate();
  bool based = false;
  if (where.attached && !where.pending) {
    if (name && name->kind == NameKind::kShown) {
      st = name->st;
      based = true;
    } else {
      based = fstatat(where.dir.Get(), where.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
    }
  }
  // Removed: the stored file it was read from still answers for it.
  if (!based && content.Source() >= 0) based = fstat(content.Source(), &st) == 0;
  struct stat cache;
  if (fstat(content.Cache().Fd(), &cache) != 0) return -errno;
  if (!based) {
    st = cache;
    st.st_nlink = where.attached ? 1 : 0;
  } else if (!where.attached) {
    st.st_nlink = 0;
  }
  if (content.IsModified() || !based) {
    st.st_mtim = cache.st_mtim;
    st.st_ctim = cache.st_ctim;
  }
  const Vantor::FileTimes times = file.Times();
  if (times.access) st.st_atim = *times.access;
  if (times.modification) st.st_mtim = *times.modification;
  const long long size = content.Size();
  if (size < 0) return static_cast<int>(size);
  st.st_size = size;
  st.st_blocks = (size + 511) / 512;
  return 0;
}

int LoopbackFS::AttributesOfItem(const std::string& path, struct stat& st) {
  Resolved r;
  if (int e = Resolve(path, r)) return e;
  return AttributesOf(r, st);
}

int LoopbackFS::AttributesOf(Resolved& r, struct stat& st) {
  const int dirFd = r.where.dir.Get();
  if (IsGhostName(r.where.name)) {
    FileKey key;
    UniqueFd ghost;
    std::shared_ptr<FileState> content;
    if (KeyOf(dirFd, r.where.name, key) && openFiles_.FindGhost(key, ghost, content)) {
      if (content) return StateAttributes(*content, nullptr, st);
      return fstat(ghost.Get(), &st) == 0 ? 0 : -errno;
    }
  }
  switch (r.name.kind) {
    case NameKind::kPlain:
      if (r.name.error) return -r.name.error;
      st = r.name.st;
      return 0;
    case NameKind::kShown:
    case NameKind::kFreeWAV: {
      FileKey key;
      if (!KeyOf(dirFd, r.name.stored, key)) return -errno;
      if (auto file = openFiles_.Find(key)) {
        const bool stale = r.name.kind == NameKind::kShown && !file->Content().IsModified() &&
                           !file->IsVersion(Version::Of(r.name.st));
        if (!stale) return StateAttributes(*file, &r.name, st);
      }
      if (r.name.kind == NameKind::kFreeWAV) return -ENOENT;
      st = r.name.st;
      if (S_ISREG(st.st_mode)) {
        st.st_size = ImageSize(dirFd, r.name.stored, st);
        st.st_blocks = (st.st_size + 511) / 512;
        Told(key, Version::Of(r.name.st));
      }
      return 0;
    }
    default:
      return -ENOENT;
  }
}

int LoopbackFS::AttributesOfItem(FileHandle& handle, struct stat& st) {
  if (handle.file) return StateAttributes(*handle.file, nullptr, st);
  return fstat(handle.fd, &st) == 0 ? 0 : -errno;
}

int LoopbackFS::AttributesOfFileSystem(const std::string&, struct statvfs& st) {
  return fstatvfs(root_.Fd(), &st) == 0 ? 0 : -errno;
}

int LoopbackFS::StateSetAttributes(const std::shared_ptr<FileState>& file, const Attributes& a) {
  Vantor::Transcoder& content = file->Content();
  if (a.size) {
    std::unique_lock<std::shared_mutex> gate(file->Gate());
    if (int e = content.Truncate(*a.size)) return e;
  }
  Attributes rest = a;
  rest.size.reset();
  if (rest.accessTime) rest.accessTime = Now(*rest.accessTime);
  if (rest.modificationTime) rest.modificationTime = Now(*rest.modificationTime);
  auto given = [](const std::optional<timespec>& t) {
    return t && t->tv_nsec != UTIME_OMIT ? t : std::nullopt;
  };
  // Not while a commit is under way: it takes the traits of the stored file.
  std::shared_lock<std::shared_mutex> gate(file->Gate());
  // Times given while open go to the committed file too.
  file->SetTimes(Vantor::FileTimes{given(rest.accessTime), given(rest.modificationTime)});
  // Mode, owner and times live on the stored file until the commit, or on the new
  // file's own content while it has no stored file.
  FileState::Where where = file->Locate();
  UniqueFd target;
  if (where.attached && !where.pending) target = Item(where.dir.Get(), where.name.c_str());
  if (!target) {
    const int own = content.Source() >= 0 ? content.Source() : content.Cache().Fd();
    target.Reset(fcntl(own, F_DUPFD_CLOEXEC, 0));
  }
  if (!target) return -errno;
  return SetOnDescriptor(target.Get(), rest);
}

int LoopbackFS::SetAttributes(FileHandle& handle, const Attributes& a) {
  if (handle.file) return StateSetAttributes(handle.file, a);
  return SetOnDescriptor(handle.fd, a);
}

int LoopbackFS::SetAttributes(const std::string& path, const Attributes& a) {
  Resolved r;
  if (int e = Resolve(path, r)) return e;
  const int dirFd = r.where.dir.Get();
  int e = -ENOENT;
  if (IsGhostName(r.where.name)) {
    FileKey key;
    UniqueFd ghost;
    std::shared_ptr<FileState> content;
    if (KeyOf(dirFd, r.where.name, key) && openFiles_.FindGhost(key, ghost, content)) {
      return content ? StateSetAttributes(content, a) : SetOnDescriptor(ghost.Get(), a);
    }
  }
  switch (r.name.kind) {
    case NameKind::kPlain:
      e = r.name.error ? -r.name.error : SetOnName(dirFd, r.where.Name(), a);
      break;
    case NameKind::kShown:
    case NameKind::kFreeWAV: {
      FileKey key;
      if (!KeyOf(dirFd, r.name.stored, key)) return -errno;
      if (auto file = openFiles_.Find(key)) {
        e = StateSetAttributes(file, a);
      } else if (r.name.kind == NameKind::kShown && a.size && S_ISREG(r.name.st.st_mode)) {
        // A new length by path: an opening of the file, cut, and committed at its release.
        FileHandle* handle = nullptr;
        bool keep;
        e = OpenTranscoded(path, r, O_WRONLY, false, 0, nullptr, handle, keep);
        if (e == 0) {
          e = StateSetAttributes(handle->file, a);
          ReleaseFile(handle);
        }
      } else if (r.name.kind == NameKind::kShown) {
        e = SetOnName(dirFd, r.name.stored.c_str(), a);
      }
      break;
    }
    default:
      break;
  }
  if (e != 0 && e != -ENOENT) AppendLog("setAttributes:ofItemAtPath: " + path);
  return e;
}

int LoopbackFS::Access(const std::string& path, int mask) {
  Resolved r;
  if (int e = Resolve(path, r)) return e;
  switch (r.name.kind) {
    case NameKind::kPlain:
      if (r.name.error) return -r.name.error;
      break;
    case NameKind::kShown:
      break;
    case NameKind::kFreeWAV: {
      FileKey key;
      // A new file not stored yet belongs to whoever made it.
      return KeyOf(r.where.dir.Get(), r.name.stored, key) && openFiles_.Find(key) ? 0 : -ENOENT;
    }
    default:
      return -ENOENT;
  }
  const char* name = r.name.kind == NameKind::kShown ? r.name.stored.c_str() : r.where.Name();
  return faccessat(r.where.dir.Get(), name, mask, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

int LoopbackFS::OpenDirectory(const std::string& path, DirHandle*& handle) {
  if (root_.IsHidden(path)) return -ENOENT;
  int error = 0;
  UniqueFd folder = root_.OpenFolder(path, error);
  if (!folder) return -error;
  handle = new DirHandle;
  handle->fd = std::move(folder);
  handle->path = path;
  return 0;
}

void LoopbackFS::ReleaseDirectory(DirHandle* handle) { delete handle; }

int LoopbackFS::ContentsOfDirectory(DirHandle& handle, std::vector<std::string>& names,
                                    std::vector<std::optional<struct stat>>* attributes) {
  dev_t dev = 0;
  ino_t ino = 0;
  const int dirFd = handle.fd.Get();
  Identify(dirFd, dev, ino);
  // A listing of its own each time, from the start: readdir on a duplicate of the
  // descriptor would share its position with earlier listings.
  UniqueFd own = Vantor::Reopen(dirFd, O_RDONLY | O_DIRECTORY);
  DIR* d = own ? fdopendir(own.Get()) : nullptr;
  if (!d) return -errno;
  own.Release();
  const std::string& path = handle.path;
  const std::string prefix = path == "/" ? "/" : path + "/";

  struct Entry {
    std::string name;
    unsigned char type;
  };
  std::vector<Entry> all;
  errno = 0;
  while (dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || Vantor::IsTemporaryName(name) || root_.IsHidden(prefix + name)) continue;
    all.push_back({std::move(name), entry->d_type});
    errno = 0;
  }
  const int err = errno;
  closedir(d);
  if (err) return -err;

  std::unordered_set<std::string> present;
  for (const Entry& e : all) present.insert(e.name);
  names.clear();
  names.reserve(all.size());
  // The stored name of each listed entry.
  std::vector<const std::string*> stored;
  stored.reserve(all.size());
  for (const Entry& e : all) {
    stored.push_back(&e.name);
    const std::string shown = ShownName(e.name);
    bool asWAV = !shown.empty() && !present.count(shown);
    if (asWAV) {
      if (e.type == DT_UNKNOWN) {
        struct stat st;
        asWAV = fstatat(dirFd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && ShownType(st.st_mode);
      } else {
        asWAV = e.type == DT_REG || e.type == DT_LNK;
      }
    }
    names.push_back(asWAV ? shown : e.name);
  }
  // New files being written have no stored file yet.
  for (std::string& name : openFiles_.PendingIn(dev, ino)) {
    if (!present.count(name) && !present.count(StoredName(name))) names.push_back(std::move(name));
  }
  if (!attributes) return 0;
  // Each entry's attributes as a lookup of its name would give them, so that a listing
  // with attributes spares the kernel a lookup per entry.
  attributes->assign(names.size(), std::nullopt);
  // The common cases from one lstat of the stored item: a plain item, and a FLAC file
  // shown as WAV that no opening holds (its image size). Everything else (open files,
  // ghosts, new files) takes the way of a lookup, AttributesOf.
  std::vector<std::optional<struct stat>> items(names.size());
  std::vector<std::optional<long long>> sizes(names.size());
  std::vector<UniqueFd> reading;
  for (size_t i = 0; i < stored.size(); ++i) {
    const std::string& name = *stored[i];
    struct stat st;
    if (IsGhostName(name) || fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const bool shown = names[i] != name;
    if (shown && openFiles_.Find(FileKey{dev, ino, name})) continue;
    items[i] = st;
    // The heads of the FLAC files whose image size is not known yet are asked of the
    // disk at once, so that their reads overlap instead of following one another.
    if (!shown || !S_ISREG(st.st_mode)) continue;
    sizes[i] = st.st_size == 0 ? std::optional<long long>(0) : KnownImageSize(st);
    if (!sizes[i]) {
      UniqueFd fd(openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOATIME));
      if (fd) {
        posix_fadvise(fd.Get(), 0, kImageHead, POSIX_FADV_WILLNEED);
        reading.push_back(std::move(fd));
      }
    }
  }
  for (size_t i = 0; i < names.size(); ++i) {
    if (i < stored.size() && items[i]) {
      struct stat st = *items[i];
      if (names[i] != *stored[i] && S_ISREG(st.st_mode)) {
        Told(FileKey{dev, ino, *stored[i]}, Version::Of(st));
        st.st_size = sizes[i] ? *sizes[i] : ImageSize(dirFd, *stored[i], st);
        st.st_blocks = (st.st_size + 511) / 512;
      }
      (*attributes)[i] = st;
      continue;
    }
    Resolved r;
    r.where.dir.Reset(fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    if (!r.where.dir) break;
    r.where.name = names[i];
    r.name = Classify(dirFd, names[i]);
    struct stat st;
    if (AttributesOf(r, st) == 0) (*attributes)[i] = st;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------
// Extended attributes: those of the stored item (a transcoded file carries those of its
// FLAC file, a new file not stored yet those of its content), through a descriptor of it.

int LoopbackFS::ExtendedAttributesOfItem(const std::string& path, std::vector<std::string>& names) {
  Resolved r;
  if (int e = Resolve(path, r)) return e;
  XattrPlace at;
  if (int e = XattrTarget(r, at)) return e;
  std::string buffer;
  ssize_t m;
  do {
    const ssize_t n = at.follow ? listxattr(at.path.c_str(), nullptr, 0) : llistxattr(at.path.c_str(), nullptr, 0);
    if (n < 0) return -errno;
    buffer.assign(static_cast<size_t>(n), '\0');
    m = at.follow ? listxattr(at.path.c_str(), buffer.data(), buffer.size())
                  : llistxattr(at.path.c_str(), buffer.data(), buffer.size());
  } while (m < 0 && errno == ERANGE);
  if (m < 0) return -errno;
  names.clear();
  for (size_t start = 0; start < static_cast<size_t>(m);) {
    size_t end = buffer.find('\0', start);
    if (end == std::string::npos || end > static_cast<size_t>(m)) end = static_cast<size_t>(m);
    names.push_back(buffer.substr(start, end - start));
    start = end + 1;
  }
  return 0;
}

int LoopbackFS::ValueOfExtendedAttribute(const std::string& path, const std::string& name, std::string& value) {
  Resolved r;
  if (int e = Resolve(path, r)) return e;
  XattrPlace at;
  if (int e = XattrTarget(r, at)) return e;
  auto get = [&](void* buffer, size_t size) {
    return at.follow ? getxattr(at.path.c_str(), name.c_str(), buffer, size)
                     : lgetxattr(at.path.c_str(), name.c_str(), buffer, size);
  };
  ssize_t m;
  do {
    const ssize_t n = get(nullptr, 0);
    if (n < 0) return -errno;
    value.assign(static_cast<size_t>(n), '\0');
    m = get(value.data(), value.size());
  } while (m < 0 && errno == ERANGE);
  if (m < 0) return -errno;
  value.resize(static_cast<size_t>(m));
  return 0;
}

int LoopbackFS::SetExtendedAttribute(const std::string& path, const std::string& name, const std::string& value,
                                     int flags) {
  Resolved r;
  if (int e = Resolve(path, r)) return e;
  XattrPlace at;
  if (int e = XattrTarget(r, at)) return e;
  const int n = at.follow ? setxattr(at.path.c_str(), name.c_str(), value.data(), value.size(), flags)
                          : lsetxattr(at.path.c_str(), name.c_str(), value.data(), value.size(), flags);
  return n == 0 ? 0 : -errno;
}

int LoopbackFS::RemoveExtendedAttribute(const std::string& path, const std::string& name) {
  Resolved r;
  if (int e = Resolve(path, r)) return e;
  XattrPlace at;
  if (int e = XattrTarget(r, at)) return e;
  const int n = at.follow ? removexattr(at.path.c_str(), name.c_str()) : lremovexattr(at.path.c_str(), name.c_str());
  return n == 0 ? 0 : -errno;
}

int LoopbackFS::XattrTarget(Resolved& r, XattrPlace& at) {
  const int dirFd = r.where.dir.Get();
  // A name in the resolved folder: through the folder's descriptor, without following
  // the name when it is a symbolic link.
  auto inFolder = [&](const char* name) {
    at.path = SelfPath(dirFd) + "/" + name;
    at.follow = false;
    return 0;
  };
  FileKey key;
  std::shared_ptr<FileState> file;
  UniqueFd item;
  if (IsGhostName(r.where.name) && KeyOf(dirFd, r.where.name, key) && openFiles_.FindGhost(key, item, file)) {
    if (item) {
      at.item = std::move(item);
      at.path = SelfPath(at.item.Get());
      at.follow = true;
      return 0;
    }
  } else {
    switch (r.name.kind) {
      case NameKind::kPlain:
        if (r.name.error) return -r.name.error;
        return inFolder(r.where.Name());
      case NameKind::kShown:
        return inFolder(r.name.stored.c_str());
      case NameKind::kFreeWAV:
        if (!KeyOf(dirFd, r.name.stored, key)) return -errno;
        file = openFiles_.Find(key);
        break;
      default:
        return -ENOENT;
    }
  }
  if (!file) return -ENOENT;
  Vantor::Transcoder& content = file->Content();
  at.item.Reset(fcntl(content.Source() >= 0 ? content.Source() : content.Cache().Fd(), F_DUPFD_CLOEXEC, 0));
  if (!at.item) return -errno;
  at.path = SelfPath(at.item.Get());
  at.follow = true;
  return 0;
}

}  // namespace Lyrebox
