// File contents: opening, reading and writing plain and transcoded files, and the
// write-back that commits what was written to a transcoded file.
#include "fs/LoopbackFS.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <system_error>

#include "audio/AudioFileReader.h"
#include "fs/MountPoint.h"
#include "transcode/CacheBudget.h"
#include "transcode/Conversion.h"
#include "transcode/Events.h"

namespace Lyrebox {

namespace {

// Reads or writes until everything is done, the end of the file, or an error.
template <typename Op>
long Repeat(size_t size, Op op) {
  size_t done = 0;
  while (done < size) {
    long n = op(done);
    if (n == -EINTR) continue;
    if (n < 0) return done > 0 ? static_cast<long>(done) : n;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

// The stored file name in dirFd, opened for reading without following a link and
// without changing its access time where this process may ask for that. Invalid with
// errno set when it cannot be opened or is no regular file.
UniqueFd OpenStored(int dirFd, const std::string& name) {
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  UniqueFd fd(openat(dirFd, name.c_str(), flags | O_NOATIME));
  if (!fd && errno == EPERM) fd.Reset(openat(dirFd, name.c_str(), flags));
  struct stat st;
  if (fd && fstat(fd.Get(), &st) == 0 && !S_ISREG(st.st_mode)) {
    fd.Reset();
    errno = S_ISLNK(st.st_mode) ? ELOOP : EINVAL;
  }
  return fd;
}

}  // namespace

Vantor::UnnamedFile* InFolder(Vantor::UnnamedFile& cache, int dirFd, std::unique_ptr<Vantor::UnnamedFile>& copy,
                              int& error) {
  error = 0;
  if (cache.IsIn(dirFd)) return &cache;
  copy = std::make_unique<Vantor::UnnamedFile>(dirFd);
  if (!copy->Valid()) error = -copy->Error();
  else error = Vantor::CopyContent(cache.Fd(), copy->Fd());
  return copy.get();
}

// The traits (mode, owner, extended attributes) are those of the stored file it replaces,
// or, where there is none, of the new file's own content (a file being created carries
// the mode and owner it was created with).
int LoopbackFS::Place(Vantor::UnnamedFile& file, int dirFd, const std::string& name, Vantor::Transcoder& content,
                      const Vantor::FileTimes& times) {
  UniqueFd stored(openat(dirFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  int e = 0;
  if (stored && fstat(stored.Get(), &st) == 0 && S_ISREG(st.st_mode)) {
    e = file.TakeTraits(stored.Get());
  } else if (content.Source() >= 0) {
    e = file.TakeTraits(content.Source());
  } else if (&file != &content.Cache()) {
    e = file.TakeTraits(content.Cache().Fd());
  }
  if (e == 0) e = file.SetTimes(times);
  return e != 0 ? e : file.Commit(dirFd, name, true);
}

LoopbackFS::LoopbackFS(const std::string& rootPath) : root_(rootPath) {
  umask_ = umask(022);
  umask(umask_);
  const char* tmp = getenv("TMPDIR");
  fallbackCache_.Reset(open(tmp && *tmp ? tmp : "/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC));
  // Caches live beside the stored files: their budget is bounded by this file system's free space.
  Vantor::CacheBudget::Process().WatchFolder(root_.Fd());
}

LoopbackFS::~LoopbackFS() { ReleaseAll(); }

void LoopbackFS::HideVolumePath(const std::string& path) { root_.Hide(path); }

int LoopbackFS::SweepTemporaryFiles(const timespec& before) {
  // The hidden volume path, relative to the root folder: without its leading "/".
  const std::string& hidden = root_.Hidden();
  return Vantor::SweepTemporaryFiles(root_.Fd(), before, hidden.empty() ? hidden : hidden.substr(1), &stopSweeping_);
}

int LoopbackFS::Resolve(const std::string& path, Resolved& r) const {
  if (root_.IsHidden(path)) return -ENOENT;
  if (int e = root_.Locate(path, r.where)) return e;
  r.name = Classify(r.where.dir.Get(), r.where.name);
  return 0;
}

FileHandle* LoopbackFS::NewHandle(int fd, std::shared_ptr<FileState> file) {
  auto* handle = new FileHandle;
  handle->fd = fd;
  handle->file = std::move(file);
  std::lock_guard<std::mutex> lock(handlesMutex_);
  handles_.insert(handle);
  return handle;
}

void LoopbackFS::Adopt(int dirFd, const std::string& name, int fd, mode_t mode, bool isLink,
                       const Caller* caller) const {
  bool chowned = false;
  if (caller && geteuid() == 0 && (caller->uid != geteuid() || caller->gid != getegid())) {
    const int r = fd >= 0 ? fchown(fd, caller->uid, caller->gid)
                          : fchownat(dirFd, name.c_str(), caller->uid, caller->gid, AT_SYMLINK_NOFOLLOW);
    chowned = r == 0;
  }
  if (isLink) return;
  // The kernel has applied the caller's umask; ours must not take away more. A change
  // of owner may also have cleared set-id bits.
  mode &= 07777;
  if ((mode & umask_) || (chowned && (mode & 06000))) {
    if (fd >= 0) fchmod(fd, mode);
    else fchmodat(dirFd, name.c_str(), mode, 0);
  }
}

bool LoopbackFS::StillCached(const std::string& path, const std::optional<Version>& version) {
  std::lock_guard<std::mutex> lock(versionsMutex_);
  if (!version) {
    versions_.erase(path);
    return false;
  }
  auto it = versions_.find(path);
  const bool same = it != versions_.end() && it->second == *version;
  if (versions_.size() >= kMaxRemembered) versions_.clear();
  versions_[path] = *version;
  return same;
}

void LoopbackFS::Told(const FileKey& key, const std::optional<Version>& version) {
  std::lock_guard<std::mutex> lock(toldMutex_);
  if (told_.size() >= kMaxRemembered) told_.clear();
  told_[key] = version;
}

bool LoopbackFS::ToldOther(const FileKey& key, const Version& version) {
  std::lock_guard<std::mutex> lock(toldMutex_);
  // Not told at all: the kernel learned of the file another way (a rename moves what it
  // knows of the old name to the new one).
  auto it = told_.find(key);
  if (it != told_.end() && it->second && *it->second == version) return false;
  if (told_.size() >= kMaxRemembered) told_.clear();
  told_[key] = version;  // once: the lookup that follows tells it this version
  return true;
}

// ---------------------------------------------------------------------------------------
// Opening

int LoopbackFS::OpenContent(const std::string& path, int dirFd, const std::string& stored, int cacheDir,
                            std::unique_ptr<Vantor::Transcoder>& content) {
  UniqueFd source = OpenStored(dirFd, stored);
  if (!source) return -errno;
  try {
    content = std::make_unique<Vantor::Transcoder>(std::move(source), cacheDir, fallbackCache_.Get());
    return 0;
  } catch (const std::system_error& e) {
    return -e.code().value();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    // Not a FLAC stream that can be decoded: never shown as a silent, empty WAV file.
    AppendLog("openFileAtPath: " + path + ": cannot decode " + stored + " (" + e.what() + ")");
    return -EIO;
  }
}

int LoopbackFS::OpenTranscoded(const std::string& path, Resolved& r, int flags, bool create, mode_t mode,
                               const Caller* caller, FileHandle*& handle, bool& keepCache) {
  const int dirFd = r.where.dir.Get();
  FileKey key;
  if (!KeyOf(dirFd, r.name.stored, key)) return -errno;
  const bool shown = r.name.kind == NameKind::kShown;
  std::optional<Version> version;
  if (shown) version = Version::Of(r.name.st);
  // Storing written audio makes a new file: the other names of a linked FLAC file would
  // part from this one, so such a file is not written through the volume.
  if (shown && (flags & O_ACCMODE) != O_RDONLY && r.name.st.st_nlink > 1) {
    AppendLog("openFileAtPath: " + path + ": " + r.name.stored + " has other hard links and is not written");
    return -EPERM;
  }

  // An open file whose stored file was replaced behind the volume is not reused: the new
  // opening reads the new file.
  if (auto found = openFiles_.Find(key)) {
    std::shared_lock<std::shared_mutex> gate(found->Gate());
    if (shown && !found->Content().IsModified() && !found->IsVersion(*version)) openFiles_.Detach(found);
  }

  int error = 0;
  bool made = false;
  auto file = openFiles_.Acquire(key, [&]() -> std::shared_ptr<FileState> {
    std::unique_ptr<Vantor::Transcoder> content;
    if (shown) {
      error = OpenContent(path, dirFd, r.name.stored, dirFd, content);
    } else if (!create) {
      error = -ENOENT;
    } else {
      try {
        content = std::make_unique<Vantor::Transcoder>(UniqueFd(), dirFd, -1);
      } catch (const std::system_error& e) {
        error = -e.code().value();
      }
      if (content) {
        // The new file carries its mode and owner until it is stored.
        const int cache = content->Cache().Fd();
        if (fchmod(cache, mode & 07777) != 0) error = -errno;
        if (caller && geteuid() == 0 && (caller->uid != geteuid() || caller->gid != getegid()) &&
            fchown(cache, caller->uid, caller->gid) == 0) {
          fchmod(cache, mode & 07777);
        }
      }
    }
    if (error != 0 || !content) return nullptr;
    made = true;
    UniqueFd dir(fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    return std::make_shared<FileState>(std::move(content), std::move(dir), key, path, !shown);
  });
  if (!file) return error != 0 ? error : -EIO;

  auto refuse = [&](int e) {
    if (openFiles_.Release(*file)) openFiles_.Forget(file);
    return e;
  };
  if (create && (flags & O_EXCL) && !made) return refuse(-EEXIST);
  const bool writing = (flags & O_ACCMODE) != O_RDONLY;
  if (writing && (flags & O_TRUNC)) {
    // The opening starts empty; the stored file stays as it is until the commit.
    std::unique_lock<std::shared_mutex> gate(file->Gate());
    if (int e = file->Content().Truncate(0)) return refuse(e);
  }
  handle = NewHandle(-1, file);
  keepCache = StillCached(path, file->Content().IsModified() ? std::nullopt : version);
  return 0;
}

int LoopbackFS::OpenFile(const std::string& path, int flags, FileHandle*& handle, bool& keepCache) {
  // A conversion may replace what the name stands for between the lookup and the open
  // (a FLAC file by the WAV file kept instead): the name is then looked up again.
  int e = -ENOENT;
  for (int attempt = 0; attempt < 3 && e == -ENOENT; ++attempt) e = OpenOnce(path, flags, handle, keepCache);
  return e;
}

int LoopbackFS::OpenOnce(const std::string& path, int flags, FileHandle*& handle, bool& keepCache) {
  Resolved r;
  if (int e = Resolve(path, r)) return e;
  const int dirFd = r.where.dir.Get();
  keepCache = false;
  if (IsGhostName(r.where.name)) {
    FileKey key;
    UniqueFd ghost;
    std::shared_ptr<FileState> content;
    if (KeyOf(dirFd, r.where.name, key) && openFiles_.FindGhost(key, ghost, content)) {
      if (content) {
        openFiles_.Reopen(*content);
        handle = NewHandle(-1, content);
        return 0;
      }
      UniqueFd fd = Vantor::Reopen(ghost.Get(), flags & ~(O_CREAT | O_EXCL | O_NOCTTY));
      if (!fd) return -errno;
      handle = NewHandle(fd.Release(), nullptr);
      return 0;
    }
  }
  switch (r.name.kind) {
    case NameKind::kShown: {
      // A file changed behind the volume since the kernel was last told its attributes:
      // an opening that fails with ESTALE is tried again by the kernel after a fresh
      // lookup of the name, which tells it the new length. (A writer's opening is joined
      // as it is, and one that empties the file needs no length.)
      FileKey key;
      if (!(flags & O_TRUNC) && KeyOf(dirFd, r.name.stored, key)) {
        auto found = openFiles_.Find(key);
        if (!(found && found->Content().IsModified()) && ToldOther(key, Version::Of(r.name.st))) return -ESTALE;
      }
      return OpenTranscoded(path, r, flags, false, 0, nullptr, handle, keepCache);
    }
    case NameKind::kFreeWAV:
      return OpenTranscoded(path, r, flags, false, 0, nullptr, handle, keepCache);
    case NameKind::kInternal:
    case NameKind::kKeptFLAC:
    case NameKind::kReservedFLAC:
    case NameKind::kAbsent:
      return -ENOENT;
    case NameKind::kPlain:
      break;
  }
  const int fd = openat(dirFd, r.where.Name(), (flags & ~(O_CREAT | O_EXCL)) | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -errno;
  handle = NewHandle(fd, nullptr);
  struct stat st;
  keepCache = fstat(fd, &st) == 0 && StillCached(path, Version::Of(st));
  return 0;
}

int LoopbackFS::CreateFile(const std::string& path, mode_t mode, int flags, const Caller* caller,
                           FileHandle*& handle, bool& keepCache) {
  int e = -ENOENT;
  for (int attempt = 0; attempt < 3 && e == -ENOENT; ++attempt) e = CreateOnce(path, mode, flags, caller, handle, keepCache);
  return e;
}

int LoopbackFS::CreateOnce(const std::string& path, mode_t mode, int flags, const Caller* caller,
                           FileHandle*& handle, bool& keepCache) {
  Resolved r;
  if (int e = Resolve(path, r)) return e;
  keepCache = false;
  switch (r.name.kind) {
    case NameKind::kShown:
      if (flags & O_EXCL) return -EEXIST;
      [[fallthrough]];
    case NameKind::kFreeWAV:
      return OpenTranscoded(path, r, flags, true, mode, caller, handle, keepCache);
    case NameKind::kKeptFLAC:
      AppendLog("createFileAtPath: " + path + ": the volume shows this file as " + ShownName(r.where.name));
      return -EEXIST;
    case NameKind::kReservedFLAC:
    case NameKind::kInternal:
      AppendLog("createFileAtPath: " + path + ": FLAC files are made by writing WAV files");
      return -EPERM;
    case NameKind::kPlain:
    case NameKind::kAbsent:
      break;
  }
  const int dirFd = r.where.dir.Get();
  const int fd = openat(dirFd, r.where.Name(), flags | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return -errno;
  if (r.name.kind == NameKind::kAbsent) Adopt(dirFd, r.where.name, fd, mode, false, caller);
  handle = NewHandle(fd, nullptr);
  StillCached(path, std::nullopt);
  return 0;
}

// ---------------------------------------------------------------------------------------
// Reading and writing

long LoopbackFS::ReadFile(FileHandle& handle, char* buffer, size_t size, off_t offset) {
  if (handle.file) {
    FileState& file = *handle.file;
    std::shared_lock<std::shared_mutex> gate(file.Gate());
    return Repeat(size, [&](size_t done) {
      return static_cast<long>(file.Content().Read(buffer + done, size - done, offset + static_cast<off_t>(done)));
    });
  }
  return Repeat(size, [&](size_t done) {
    const ssize_t n = pread(handle.fd, buffer + done, size - done, offset + static_cast<off_t>(done));
    return n < 0 ? -static_cast<long>(errno) : static_cast<long>(n);
  });
}

long LoopbackFS::WriteFile(FileHandle& handle, const char* buffer, size_t size, off_t offset) {
  if (handle.file) {
    FileState& file = *handle.file;
    std::shared_lock<std::shared_mutex> gate(file.Gate());
    if (!file.Content().CanWrite()) {
      AppendLog("writeFileAtPath: " + file.Locate().volumePath);
      return -EACCES;
    }
    const long n = Repeat(size, [&](size_t done) {
      return static_cast<long>(file.Content().Write(buffer + done, size - done, offset + static_cast<off_t>(done)));
    });
    if (n > 0) file.ForgetModificationTime();
    return n;
  }
  return Repeat(size, [&](size_t done) {
    const ssize_t n = pwrite(handle.fd, buffer + done, size - done, offset + static_cast<off_t>(done));
    return n < 0 ? -static_cast<long>(errno) : static_cast<long>(n);
  });
}

int LoopbackFS::Flush(FileHandle& handle) {
  if (!handle.file) {
    // What close() of the descriptor would report (some file systems report write
    // errors only there), while the descriptor itself stays open for the opening.
    const int copy = dup(handle.fd);
    if (copy < 0) return -errno;
    return close(copy) == 0 ? 0 : -errno;
  }
  std::unique_lock<std::shared_mutex> gate(handle.file->Gate());
  return Commit(handle.file, When::kClose);
}

int LoopbackFS::Fsync(FileHandle& handle, bool dataOnly) {
  if (handle.file) {
    // The committed FLAC file is the durable form; a WAV file still being written has
    // none yet (its data is kept and committed when it is complete).
    std::unique_lock<std::shared_mutex> gate(handle.file->Gate());
    return Commit(handle.file, When::kClose);
  }
  const int r = dataOnly ? fdatasync(handle.fd) : fsync(handle.fd);
  return r == 0 ? 0 : -errno;
}

void LoopbackFS::ReleaseFile(FileHandle* handle) { Release(handle, true); }

void LoopbackFS::Release(FileHandle* handle, bool final) {
  {
    std::lock_guard<std::mutex> lock(handlesMutex_);
    if (!handles_.erase(handle)) return;
  }
  if (handle->file) {
    if (openFiles_.Release(*handle->file)) {
      {
        std::unique_lock<std::shared_mutex> gate(handle->file->Gate());
        Commit(handle->file, final ? When::kLastRelease : When::kUnmount);
        // Unmounted under a writer: a finished WAV file is saved, anything else would
        // replace the stored file by a part of the new one, so the stored file stays.
        if (!final && handle->file->Content().IsModified()) {
          const FileState::Where where = handle->file->Locate();
          if (where.attached) {
            AppendLog("writeFileAtPath: " + where.volumePath +
                      ": not saved, the volume was unmounted while it was being written");
          }
        }
      }
      openFiles_.Forget(handle->file);
    }
  } else {
    close(handle->fd);
  }
  delete handle;
}

void LoopbackFS::ReleaseAll() {
  std::set<FileHandle*> open;
  {
    std::lock_guard<std::mutex> lock(handlesMutex_);
    open = handles_;
  }
  for (FileHandle* h : open) Release(h, false);
}

// ---------------------------------------------------------------------------------------
// The write-back

int LoopbackFS::Commit(const std::shared_ptr<FileState>& file, When when) {
  const bool final = when == When::kLastRelease;
  Vantor::Transcoder& content = file->Content();
  FileState::Where where = file->Locate();
  // A new file is stored even when nothing was written to it (an empty file); a removed
  // file is not brought back: what was written to it goes with it.
  if ((!content.IsModified() && !where.pending) || !where.attached || !where.dir) return 0;
  const int dirFd = where.dir.Get();
  const long long size = content.Size();
  if (size < 0) return static_cast<int>(size);
  // Until the last release, only a WAV file its writer has finished (whole, and with
  // every byte written) is converted; the data of one still being written is kept for a
  // later close.
  if (!final && size > 0 && (content.HasHoles() || !Vantor::IsCompleteWAV(content.Cache().Fd()))) return 0;
  // An emptied song is stored empty only at the last release: before it, the emptying is
  // most likely the start of a rewrite (a shell's "> file" closes the file once before
  // its command writes), and the old song must stay until the new one is complete.
  // A new file closed empty is stored empty (touch); one still open at an unmount is not.
  if (!final && size == 0 && (!where.pending || when == When::kUnmount)) return 0;
  if (int e = content.ProduceAll()) {
    // The stored audio cannot be read back in full: committing would replace it by a
    // file with holes, so the stored file stays as it is.
    AppendLog("writeFileAtPath: " + where.volumePath + ": the stored audio cannot be read, changes not saved");
    return e;
  }
  const std::string shown = ShownName(where.name);
  auto stored = [&](Vantor::UnnamedFile& flac) {
    if (int e = Place(flac, dirFd, where.name, content, file->Times())) return e;
    content.SetModified(false);
    file->MarkCommitted();
    // The stored file is this content now: openings that come later share it.
    struct stat st;
    FileKey key;
    if (fstat(flac.Fd(), &st) == 0 && KeyOf(dirFd, where.name, key)) {
      file->SetVersion(Version::Of(st));
      // The kernel has the written length; the image's may differ from it.
      const long long image = content.Size();
      Told(key, image == size ? std::optional<Version>(Version::Of(st)) : std::nullopt);
    }
    return 0;
  };
  // An empty file: no audio involved; stored as an empty file under its FLAC name.
  Vantor::UnnamedFile flac(dirFd);
  if (!flac.Valid()) return -flac.Error();
  if (size == 0) return stored(flac);
  std::string reason;
  try {
    Vantor::EncodeWAV(content.Cache().Fd(), flac.Fd(), shown, dirFd);
    return stored(flac);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    reason = e.what();
  }
  if (!final) return 0;

  // Data that cannot be encoded is kept as a real WAV file under the shown name, so
  // that nothing written is lost; then the FLAC file it replaces goes.
  std::unique_ptr<Vantor::UnnamedFile> copy;
  int e = 0;
  Vantor::UnnamedFile* wav = InFolder(content.Cache(), dirFd, copy, e);
  if (e == 0) e = Place(*wav, dirFd, shown, content, file->Times());
  if (e != 0) return e;
  if (!where.pending) unlinkat(dirFd, where.name.c_str(), 0);
  content.SetModified(false);
  openFiles_.Detach(file);
  AppendLog("writeFileAtPath: " + where.volumePath + ": kept as WAV (" + reason + ")");
  Vantor::ConversionEvent kept;
  kept.kind = Vantor::ConversionEvent::Kind::kKeptAsWAV;
  kept.name = shown;
  kept.reason = "not a WAV file that can be encoded (" + reason + ")";
  Vantor::ReportConversion(kept);
  return 0;
}

}  // namespace Lyrebox
