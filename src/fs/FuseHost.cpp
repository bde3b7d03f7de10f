#define FUSE_USE_VERSION 312
#include "fs/FuseHost.h"

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/statvfs.h>

#include <cstdint>
#include <exception>
#include <mutex>
#include <new>

#include "fs/LinkedNames.h"
#include "fs/LoopbackFS.h"

namespace Lyrebox {

// What the operations serve: the delegate, and the names of files with several links the
// kernel keeps attributes of.
struct FuseHost::Served {
  LoopbackFS& fs;
  LinkedNames linked;
};

namespace {

// ---------------------------------------------------------------------------------------
// libfuse's messages: to stderr, except while a mount is attempted, when the last one is
// kept as the reason of a failure.

std::mutex logMutex_;            // guards capture_; taken alone
std::string* capture_ = nullptr;

void LogMessage(enum fuse_log_level, const char* format, va_list args) {
  char text[1024];
  vsnprintf(text, sizeof text, format, args);
  std::lock_guard<std::mutex> lock(logMutex_);
  if (capture_) *capture_ += text;
  else fputs(text, stderr);
}

// libfuse's messages as one line, without their "fuse: " prefixes.
std::string Reason(const std::string& messages) {
  std::string reason;
  size_t start = 0;
  while (start < messages.size()) {
    size_t end = messages.find('\n', start);
    if (end == std::string::npos) end = messages.size();
    std::string line = messages.substr(start, end - start);
    if (line.rfind("fuse: ", 0) == 0) line.erase(0, 6);
    if (!line.empty()) reason += (reason.empty() ? "" : "; ") + line;
    start = end + 1;
  }
  return reason;
}

// ---------------------------------------------------------------------------------------
// The operations. Each one translates, calls the delegate and returns its result.

FuseHost::Served& Host() { return *static_cast<FuseHost::Served*>(fuse_get_context()->private_data); }
LoopbackFS& Fs() { return Host().fs; }

// Has the kernel drop what it keeps of paths (attributes and cached contents) and ask
// again. Called before the reply to the request that changed them, so that no request
// after it sees them stale.
void Invalidate(const std::vector<std::string>& paths) {
  fuse* f = fuse_get_context()->fuse;
  for (const auto& p : paths) fuse_invalidate_path(f, p.c_str());
}

// r, the result of a change through path: when it succeeded, the file's other names are
// invalidated.
int ThenOthers(const char* path, int r) {
  if (r == 0 && path) Invalidate(Host().linked.OthersOf(path));
  return r;
}

FileHandle* HandleOf(const fuse_file_info* fi) {
  return fi ? reinterpret_cast<FileHandle*>(static_cast<uintptr_t>(fi->fh)) : nullptr;
}

// What the kernel cached of a file's contents is kept across openings only while the
// delegate says the stored file did not change.
void SetHandle(fuse_file_info* fi, FileHandle* handle, bool keepCache, const char* path, bool created) {
  handle->path = path;
  // A file made by this opening, or emptied by it, is stored at its close as well, also
  // when the opening is for reading only (open(2) with O_CREAT or O_TRUNC and O_RDONLY).
  handle->writable = created || (fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC);
  fi->fh = reinterpret_cast<uintptr_t>(handle);
  fi->keep_cache = keepCache;
}

// The path of a request on an open file may be missing (the file was removed).
std::string PathOf(const char* path) { return path ? path : ""; }

Caller CallerOf() {
  fuse_context* c = fuse_get_context();
  return Caller{c->uid, c->gid};
}

// The one place where an exception becomes an error number: nothing throws past here.
template <typename F>
int Guard(F&& f) noexcept {
  try {
    return static_cast<int>(f());
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  } catch (const std::exception& e) {
    fuse_log(FUSE_LOG_ERR, "lyrebox: %s\n", e.what());
    return -EIO;
  } catch (...) {
    return -EIO;
  }
}

void* Init(fuse_conn_info* conn, fuse_config* config) {
  // open() sees O_TRUNC, so that overwriting a WAV file starts its opening empty.
  if (conn->capable & FUSE_CAP_ATOMIC_O_TRUNC) conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
  // A file removed while open is renamed to a hidden name by libfuse (and removed at its
  // last release); the delegate removes it at once and keeps the opening reachable under
  // that name, so that fstat, fchmod and the like on it still work.
  config->hard_remove = 0;
  // The files' own inode numbers: hard links share one, and tools that track inodes work.
  config->use_ino = 1;
  // Operations on an open file come with its handle only: the delegate never looks a
  // path up again for them.
  config->nullpath_ok = 1;
  // Whether cached contents are still good is decided at open (keep_cache), not by an
  // automatic invalidation at every change of the attributes the kernel sees.
  conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
  return fuse_get_context()->private_data;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
  return Guard([&] {
    FileHandle* h = HandleOf(fi);
    int r = h ? Fs().AttributesOfItem(*h, *st) : Fs().AttributesOfItem(PathOf(path), *st);
    if (r == 0 && path && Host().linked.Matters(*st)) Host().linked.Saw(path, *st);
    return r;
  });
}

int ReadLink(const char* path, char* buffer, size_t size) {
  return Guard([&] {
    std::string destination;
    int r = Fs().DestinationOfSymbolicLink(path, destination);
    if (r != 0 || size == 0) return r;
    size_t n = std::min(destination.size(), size - 1);
    memcpy(buffer, destination.data(), n);
    buffer[n] = '\0';
    return 0;
  });
}

int MakeDirectory(const char* path, mode_t mode) {
  return Guard([&] {
    Caller caller = CallerOf();
    return Fs().CreateDirectory(path, mode, &caller);
  });
}

int Remove(const char* path) {
  return Guard([&] {
    const std::vector<std::string> others = Host().linked.OthersOf(path);
    int r = Fs().RemoveItem(path);
    if (r == 0) {
      Host().linked.Forget(path);
      Invalidate(others);
    }
    return r;
  });
}

int RemoveDirectory(const char* path) {
  return Guard([&] { return Fs().RemoveDirectory(path); });
}

int MakeNode(const char* path, mode_t mode, dev_t device) {
  return Guard([&] {
    Caller caller = CallerOf();
    return Fs().CreateNode(path, mode, device, &caller);
  });
}

int SymbolicLink(const char* destination, const char* path) {
  return Guard([&] {
    Caller caller = CallerOf();
    return Fs().CreateSymbolicLink(path, destination, &caller);
  });
}

int Rename(const char* from, const char* to, unsigned int flags) {
  return Guard([&] {
    std::vector<std::string> others = Host().linked.OthersOf(from);
    for (auto& name : Host().linked.OthersOf(to)) others.push_back(std::move(name));
    int r = Fs().MoveItem(from, to, flags);
    if (r == 0) {
      if (flags & RENAME_EXCHANGE) {
        Host().linked.Forget(from);
        Host().linked.Forget(to);
      } else {
        Host().linked.Moved(from, to);
      }
      Invalidate(others);
    }
    return r;
  });
}

int Link(const char* from, const char* to) {
  return Guard([&] {
    int r = Fs().LinkItem(from, to);
    struct stat st;
    if (r == 0 && Fs().AttributesOfItem(from, st) == 0) {
      Host().linked.Saw(from, st);
      Host().linked.Saw(to, st);
      // The source's own node too: the kernel takes the new name for another file.
      Invalidate(Host().linked.OthersOf(to));
    }
    return r;
  });
}

// Attribute changes go to the opening's handle when the kernel names one (the file may
// have been removed), else to the path.
int SetAttributes(const char* path, fuse_file_info* fi, const Attributes& a) {
  return Guard([&] {
    FileHandle* h = HandleOf(fi);
    return ThenOthers(path ? path : h ? h->path.c_str() : nullptr,
                      h ? Fs().SetAttributes(*h, a) : Fs().SetAttributes(PathOf(path), a));
  });
}

int ChangeMode(const char* path, mode_t mode, fuse_file_info* fi) {
  Attributes a;
  a.mode = mode;
  return SetAttributes(path, fi, a);
}

int ChangeOwner(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
  Attributes a;
  if (uid != static_cast<uid_t>(-1)) a.uid = uid;
  if (gid != static_cast<gid_t>(-1)) a.gid = gid;
  return SetAttributes(path, fi, a);
}

int ChangeTimes(const char* path, const struct timespec tv[2], fuse_file_info* fi) {
  Attributes a;
  a.accessTime = tv[0];
  a.modificationTime = tv[1];
  return SetAttributes(path, fi, a);
}

int Truncate(const char* path, off_t length, fuse_file_info* fi) {
  Attributes a;
  a.size = length;
  return SetAttributes(path, fi, a);
}

int Open(const char* path, fuse_file_info* fi) {
  return Guard([&] {
    FileHandle* handle = nullptr;
    bool keepCache = false;
    int r = Fs().OpenFile(path, fi->flags, handle, keepCache);
    if (r == 0) SetHandle(fi, handle, keepCache, path, false);
    return r;
  });
}

int Create(const char* path, mode_t mode, fuse_file_info* fi) {
  return Guard([&] {
    Caller caller = CallerOf();
    FileHandle* handle = nullptr;
    bool keepCache = false;
    int r = Fs().CreateFile(path, mode, fi->flags, &caller, handle, keepCache);
    if (r == 0) SetHandle(fi, handle, keepCache, path, true);
    return r;
  });
}

int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  return Guard([&] {
    FileHandle* h = HandleOf(fi);
    return h ? Fs().ReadFile(*h, buffer, size, offset) : -EBADF;
  });
}

int Write(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  return Guard([&] {
    FileHandle* h = HandleOf(fi);
    return h ? Fs().WriteFile(*h, buffer, size, offset) : -EBADF;
  });
}

int StatFS(const char* path, struct statvfs* st) {
  return Guard([&] { return Fs().AttributesOfFileSystem(path, *st); });
}

// What a flush or release of an opening for writing may have changed, for the kernel to
// ask again: a transcoded file may have been stored (a new file, written data), and the
// stored file's attributes (inode, size, times) are the file's now; the other names of a
// plain file with several links show what was written through this one. (libfuse names
// no path for requests on a handle: the path is the opening's own.)
std::vector<std::string> Changed(const FileHandle& h) {
  if (!h.writable) return {};
  if (h.file) return {h.file->VolumePath()};
  return Host().linked.OthersOf(h.path);
}

int Flush(const char*, fuse_file_info* fi) {
  return Guard([&] {
    FileHandle* h = HandleOf(fi);
    if (!h) return -EBADF;
    int r = Fs().Flush(*h);
    Invalidate(Changed(*h));
    return r;
  });
}

int Release(const char*, fuse_file_info* fi) {
  return Guard([&] {
    FileHandle* h = HandleOf(fi);
    const std::vector<std::string> changed = h ? Changed(*h) : std::vector<std::string>{};
    Fs().ReleaseFile(h);
    Invalidate(changed);
    return 0;
  });
}

int Fsync(const char*, int dataOnly, fuse_file_info* fi) {
  return Guard([&] {
    FileHandle* h = HandleOf(fi);
    return h ? Fs().Fsync(*h, dataOnly != 0) : -EBADF;
  });
}

int SetXattr(const char* path, const char* name, const char* value, size_t size, int flags) {
  return Guard([&] { return ThenOthers(path, Fs().SetExtendedAttribute(path, name, std::string(value, size), flags)); });
}

int GetXattr(const char* path, const char* name, char* value, size_t size) {
  return Guard([&] {
    std::string v;
    int r = Fs().ValueOfExtendedAttribute(path, name, v);
    if (r != 0) return r;
    if (size == 0) return static_cast<int>(v.size());
    if (size < v.size()) return -ERANGE;
    memcpy(value, v.data(), v.size());
    return static_cast<int>(v.size());
  });
}

int ListXattr(const char* path, char* list, size_t size) {
  return Guard([&] {
    std::vector<std::string> names;
    int r = Fs().ExtendedAttributesOfItem(path, names);
    if (r != 0) return r;
    std::string all;
    for (const auto& n : names) all.append(n).push_back('\0');
    if (size == 0) return static_cast<int>(all.size());
    if (size < all.size()) return -ERANGE;
    memcpy(list, all.data(), all.size());
    return static_cast<int>(all.size());
  });
}

int RemoveXattr(const char* path, const char* name) {
  return Guard([&] { return ThenOthers(path, Fs().RemoveExtendedAttribute(path, name)); });
}

DirHandle* DirHandleOf(const fuse_file_info* fi) {
  return fi ? reinterpret_cast<DirHandle*>(static_cast<uintptr_t>(fi->fh)) : nullptr;
}

int OpenDirectory(const char* path, fuse_file_info* fi) {
  return Guard([&] {
    DirHandle* handle = nullptr;
    int r = Fs().OpenDirectory(path, handle);
    if (r == 0) fi->fh = reinterpret_cast<uintptr_t>(handle);
    return r;
  });
}

int ReleaseDirectory(const char*, fuse_file_info* fi) {
  return Guard([&] {
    Fs().ReleaseDirectory(DirHandleOf(fi));
    return 0;
  });
}

int ReadDirectory(const char*, void* buffer, fuse_fill_dir_t fill, off_t offset, fuse_file_info* fi,
                  fuse_readdir_flags flags) {
  return Guard([&] {
    DirHandle* h = DirHandleOf(fi);
    if (!h) return -EBADF;
    // With FUSE_READDIR_PLUS the kernel takes each entry's attributes along and looks
    // none of the names up again. Entries go out with offsets (entry k is followed by
    // offset k + 1), as libfuse passes the attributes on only then; the listing is made
    // at offset 0 and handed out from the handle until the kernel has it all.
    const bool plus = flags & FUSE_READDIR_PLUS;
    if (offset == 0 || !h->listed || (plus && h->attributes.size() != h->names.size())) {
      h->names.clear();
      h->attributes.clear();
      h->listed = false;
      if (int r = Fs().ContentsOfDirectory(*h, h->names, plus ? &h->attributes : nullptr)) return r;
      h->listed = true;
    }
    const off_t count = static_cast<off_t>(h->names.size()) + 2;
    for (off_t k = std::max<off_t>(offset, 0); k < count; ++k) {
      const char* name = k == 0 ? "." : k == 1 ? ".." : h->names[static_cast<size_t>(k - 2)].c_str();
      const struct stat* st = nullptr;
      if (plus && k >= 2 && h->attributes[static_cast<size_t>(k - 2)]) {
        st = &*h->attributes[static_cast<size_t>(k - 2)];
        if (Host().linked.Matters(*st)) Host().linked.Saw(h->path + (h->path.size() > 1 ? "/" : "") + name, *st);
      }
      if (fill(buffer, name, st, k + 1, st ? FUSE_FILL_DIR_PLUS : static_cast<fuse_fill_dir_flags>(0))) break;
    }
    return 0;
  });
}

int Access(const char* path, int mask) {
  return Guard([&] { return Fs().Access(path, mask); });
}

fuse_operations Operations() {
  fuse_operations ops = {};
  ops.init = Init;
  ops.getattr = GetAttr;
  ops.readlink = ReadLink;
  ops.mkdir = MakeDirectory;
  ops.mknod = MakeNode;
  ops.unlink = Remove;
  ops.rmdir = RemoveDirectory;
  ops.symlink = SymbolicLink;
  ops.rename = Rename;
  ops.link = Link;
  ops.chmod = ChangeMode;
  ops.chown = ChangeOwner;
  ops.utimens = ChangeTimes;
  ops.truncate = Truncate;
  ops.open = Open;
  ops.create = Create;
  ops.read = Read;
  ops.write = Write;
  ops.statfs = StatFS;
  ops.flush = Flush;
  ops.release = Release;
  ops.fsync = Fsync;
  ops.setxattr = SetXattr;
  ops.getxattr = GetXattr;
  ops.listxattr = ListXattr;
  ops.removexattr = RemoveXattr;
  ops.opendir = OpenDirectory;
  ops.readdir = ReadDirectory;
  ops.releasedir = ReleaseDirectory;
  ops.access = Access;
  return ops;
}

bool SharedWithOthers(const std::vector<std::string>& options) {
  for (const auto& o : options) {
    if (o.find("allow_other") != std::string::npos || o.find("allow_root") != std::string::npos)
      return true;
  }
  return false;
}

}  // namespace

FuseHost::FuseHost(LoopbackFS& fs, std::vector<std::string> options, bool debug)
    : served_(new Served{fs, {}}), options_(std::move(options)), debug_(debug) {}

FuseHost::~FuseHost() {
  Unmount();
  if (fuse_) fuse_destroy(fuse_);
}

bool FuseHost::Mount(const std::string& mountPoint, std::string& error) {
  mountPoint_ = mountPoint;
  fuse_set_log_func(LogMessage);

  // The kernel keeps names for a second and attributes for a tenth of one: listings
  // carry each entry's attributes, so that `ls -l` or `find` asks for none of them again.
  // What changes through the volume is invalidated as it changes (the other names of a
  // file with several links, each a node of its own to the kernel; a transcoded file
  // whose written data is stored at close); what changes behind it, in the root folder,
  // shows within the tenth of a second, and an opening always reads the stored file as
  // it is then (the delegate decides at open whether cached contents are still good).
  std::vector<std::string> args = {
      "lyrebox", "-o",
      "fsname=lyrebox,subtype=lyrebox,entry_timeout=1,attr_timeout=0.1,negative_timeout=0"};
  // Shared with other users, the kernel checks their rights against the attributes shown.
  if (SharedWithOthers(options_)) args.insert(args.end(), {"-o", "default_permissions"});
  for (const auto& o : options_) args.insert(args.end(), {"-o", o});
  if (debug_) args.push_back("-d");

  fuse_args fargs = FUSE_ARGS_INIT(0, nullptr);
  for (const auto& a : args) {
    if (fuse_opt_add_arg(&fargs, a.c_str()) != 0) {
      fuse_opt_free_args(&fargs);
      error = "out of memory";
      return false;
    }
  }

  std::string message;
  {
    std::lock_guard<std::mutex> lock(logMutex_);
    capture_ = &message;
  }
  fuse_operations ops = Operations();
  fuse_ = fuse_new(&fargs, &ops, sizeof ops, served_.get());
  fuse_opt_free_args(&fargs);
  if (fuse_ && fuse_mount(fuse_, mountPoint_.c_str()) == 0) mounted_ = true;
  {
    std::lock_guard<std::mutex> lock(logMutex_);
    capture_ = nullptr;
  }
  if (mounted_) return true;
  error = message.empty() ? "could not mount " + mountPoint_ : Reason(message);
  if (fuse_) fuse_destroy(fuse_);
  fuse_ = nullptr;
  return false;
}

int FuseHost::Loop() {
  if (!mounted_ || exiting_) return 0;
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(config, 64);
  fuse_loop_cfg_set_idle_threads(config, 8);
  int r = fuse_loop_mt(fuse_, config);
  fuse_loop_cfg_destroy(config);
  return r;
}

void FuseHost::Exit() {
  if (!fuse_ || exiting_.exchange(true)) return;
  fuse_exit(fuse_);
  // The loop notices the exit flag only when a worker finishes a request: make one. A
  // statfs always reaches the file system; after an unmount it reaches the folder below.
  struct statvfs st;
  statvfs(mountPoint_.c_str(), &st);
}

void FuseHost::Unmount() {
  if (!mounted_) return;
  fuse_unmount(fuse_);
  mounted_ = false;
}

}  // namespace Lyrebox
