// Namespace operations: renames (with their encoding and decoding policies), removals,
// folders, nodes, hard and symbolic links. Names that the volume keeps for itself (a FLAC
// name shown as WAV, a free FLAC name a file would vanish under, temporary names) cannot
// be taken; files removed while open become ghosts.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <stdexcept>
#include <system_error>

#include "fs/LoopbackFS.h"
#include "fs/MountPoint.h"
#include "transcode/Conversion.h"

namespace Lyrebox {

namespace {

bool SameFolder(int a, int b) {
  dev_t da, db;
  ino_t ia, ib;
  return Identify(a, da, ia) && Identify(b, db, ib) && da == db && ia == ib;
}

// Holds the gates of up to two open files exclusively, so that no commit of theirs runs
// while their names change (a commit in progress finishes first).
class Gates {
 public:
  Gates(const std::shared_ptr<FileState>& a, const std::shared_ptr<FileState>& b) {
    if (a && b && a != b) {
      std::lock(a->Gate(), b->Gate());
      held_[0] = &a->Gate();
      held_[1] = &b->Gate();
    } else if (a || b) {
      held_[0] = &(a ? a : b)->Gate();
      held_[0]->lock();
    }
  }
  ~Gates() {
    for (std::shared_mutex* m : held_)
      if (m) m->unlock();
  }
  Gates(const Gates&) = delete;
  Gates& operator=(const Gates&) = delete;

 private:
  std::shared_mutex* held_[2] = {nullptr, nullptr};
};

bool Exists(const Name& n) {
  return n.kind == NameKind::kPlain || n.kind == NameKind::kShown || n.kind == NameKind::kKeptFLAC;
}

// A regular file or link given a FLAC name would be shown under its WAV name: such names
// are the volume's own. True when the item of type `mode` may take `to` in its folder,
// coming from `from` (a rename within the folder may free the WAV name).
bool MayTakeName(mode_t mode, const std::string& to, int toDir, const std::string& fromName, int fromDir) {
  if (!ShownType(mode)) return true;
  const std::string wav = ShownName(to);
  if (wav.empty()) return true;
  struct stat st;
  if (fstatat(toDir, wav.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  // The WAV name that keeps the FLAC name visible is the very item leaving.
  return !(wav == fromName && SameFolder(toDir, fromDir));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Renaming

int LoopbackFS::MoveItem(const std::string& source, const std::string& destination, unsigned flags) {
  if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE | RENAME_EXCHANGE)) return -EINVAL;
  // The last release of an open file may commit it between the lookup and the move (a
  // new file stored, data kept as WAV): the names are then looked up again.
  int e = -EAGAIN;
  for (int attempt = 0; attempt < 3 && e == -EAGAIN; ++attempt) e = MoveOnce(source, destination, flags);
  return e == -EAGAIN ? -EBUSY : e;
}

int LoopbackFS::MoveOnce(const std::string& source, const std::string& destination, unsigned flags) {
  Resolved from, to;
  if (int e = Resolve(source, from)) return e;
  if (int e = Resolve(destination, to)) return e;
  const NameKind fk = from.name.kind, tk = to.name.kind;
  const int fromDir = from.where.dir.Get(), toDir = to.where.dir.Get();
  auto log = [&](const std::string& why) {
    AppendLog("moveItemAtPath: " + source + " toPath: " + destination + (why.empty() ? "" : ": " + why));
  };

  // libfuse hides a file removed while open under a name of its own.
  if (flags == 0 && IsGhostName(to.where.name) && tk == NameKind::kAbsent) return MoveToGhost(from, to);

  std::shared_ptr<FileState> fromFile;
  switch (fk) {
    case NameKind::kPlain:
      if (from.name.error) return -from.name.error;
      break;
    case NameKind::kShown:
    case NameKind::kFreeWAV: {
      FileKey key;
      if (!KeyOf(fromDir, from.name.stored, key)) return -errno;
      fromFile = openFiles_.Find(key);
      if (fk == NameKind::kFreeWAV && !fromFile) return -ENOENT;
      break;
    }
    default:
      return -ENOENT;
  }
  if (source == destination) return 0;
  if (to.name.kind == NameKind::kPlain && to.name.error) return -to.name.error;

  std::shared_ptr<FileState> toFile;
  if (tk == NameKind::kShown || tk == NameKind::kFreeWAV) {
    FileKey key;
    if (KeyOf(toDir, to.name.stored, key)) toFile = openFiles_.Find(key);
  }
  if (tk == NameKind::kKeptFLAC) {
    log("the volume shows " + to.where.name + " as " + ShownName(to.where.name));
    return -EEXIST;
  }
  const bool toTaken = Exists(to.name) || toFile != nullptr;
  if ((flags & RENAME_NOREPLACE) && toTaken) return -EEXIST;
  if (tk == NameKind::kInternal) return -EPERM;

  // The type of what moves, as the volume shows it.
  const mode_t fromMode = fk == NameKind::kPlain ? from.name.st.st_mode : S_IFREG;
  if ((tk == NameKind::kReservedFLAC || tk == NameKind::kAbsent || tk == NameKind::kPlain) &&
      !MayTakeName(fromMode, to.where.name, toDir, from.where.name, fromDir)) {
    log("FLAC files are made by writing WAV files");
    return -EPERM;
  }

  if (flags & RENAME_EXCHANGE) {
    // Both sides as they are stored; an exchange that would turn one into the other's
    // kind (a FLAC file under a plain name) is not offered.
    const bool fromStored = fk == NameKind::kShown, toStored = tk == NameKind::kShown;
    if (fk != tk || fromFile || toFile || (!fromStored && fk != NameKind::kPlain)) return -EINVAL;
    const char* a = fromStored ? from.name.stored.c_str() : from.where.Name();
    const char* b = toStored ? to.name.stored.c_str() : to.where.Name();
    return renameat2(fromDir, a, toDir, b, RENAME_EXCHANGE) == 0 ? 0 : -errno;
  }

  if (fk == NameKind::kShown || fk == NameKind::kFreeWAV) {
    if (tk == NameKind::kShown || tk == NameKind::kFreeWAV) return MoveShown(source, from, destination, to, flags);
    return DecodeOnMove(source, from, destination, to, flags);
  }
  if (tk == NameKind::kShown || tk == NameKind::kFreeWAV) {
    if (S_ISREG(fromMode)) return EncodeOnMove(source, from, destination, to, flags);
    if (S_ISDIR(fromMode) && toTaken) return -ENOTDIR;
    // Anything else moves under the WAV name as it is, replacing the file shown there.
    if (renameat2(fromDir, from.where.Name(), toDir, to.where.name.c_str(), flags) != 0) return -errno;
    if (toFile) openFiles_.Detach(toFile);
    if (tk == NameKind::kShown) unlinkat(toDir, to.name.stored.c_str(), 0);
    return 0;
  }
  return renameat2(fromDir, from.where.Name(), toDir, to.where.Name(), flags) == 0 ? 0 : -errno;
}

// A shown WAV file given another free WAV name: the FLAC file moves. A new file not
// stored yet has nothing on disk to move; what its new name showed stays stored until
// the new file is committed over it.
int LoopbackFS::MoveShown(const std::string&, Resolved& from, const std::string& destination, Resolved& to,
                          unsigned flags) {
  const int fromDir = from.where.dir.Get(), toDir = to.where.dir.Get();
  FileKey fromKey, toKey;
  if (!KeyOf(fromDir, from.name.stored, fromKey) || !KeyOf(toDir, to.name.stored, toKey)) return -errno;
  auto fromFile = openFiles_.Find(fromKey);
  auto toFile = openFiles_.Find(toKey);
  Gates gates(fromFile, toFile);
  if ((fromFile && !fromFile->Locate().attached) || (toFile && !toFile->Locate().attached)) return -EAGAIN;
  if (from.name.kind == NameKind::kShown &&
      renameat2(fromDir, from.name.stored.c_str(), toDir, to.name.stored.c_str(), flags) != 0)
    return -errno;
  if (toFile && toFile != fromFile) openFiles_.Detach(toFile);
  if (fromFile) openFiles_.Move(fromFile, toKey, UniqueFd(fcntl(toDir, F_DUPFD_CLOEXEC, 0)), destination);
  return 0;
}

// A shown WAV file given a name that is not a free WAV name becomes a real file with the
// WAV image as its content. The destination is replaced only once the decoded file is
// complete and on disk; the FLAC file goes after that.
int LoopbackFS::DecodeOnMove(const std::string& source, Resolved& from, const std::string& destination,
                             Resolved& to, unsigned flags) {
  const int fromDir = from.where.dir.Get(), toDir = to.where.dir.Get();
  if (to.name.kind == NameKind::kPlain && S_ISDIR(to.name.st.st_mode)) return -EISDIR;
  FileKey fromKey;
  if (!KeyOf(fromDir, from.name.stored, fromKey)) return -errno;
  auto file = openFiles_.Find(fromKey);
  const bool stored = from.name.kind == NameKind::kShown;
  const bool modified = file && file->Content().IsModified();

  // No audio involved (a link, an empty file): the item itself moves.
  if (stored && !modified && (S_ISLNK(from.name.st.st_mode) || from.name.st.st_size == 0)) {
    if (renameat2(fromDir, from.name.stored.c_str(), toDir, to.where.name.c_str(), flags) != 0) return -errno;
    if (file) openFiles_.Detach(file);
    return 0;
  }

  std::unique_ptr<Vantor::Transcoder> own;
  std::unique_lock<std::shared_mutex> gate;
  Vantor::Transcoder* content = nullptr;
  if (file) {
    gate = std::unique_lock<std::shared_mutex>(file->Gate());
    if (!file->Locate().attached) return -EAGAIN;
    content = &file->Content();
  } else {
    if (int e = OpenContent(source, fromDir, from.name.stored, toDir, own)) return e;
    content = own.get();
  }
  if (content->ProduceAll() != 0) {
    AppendLog("moveItemAtPath: " + source + " toPath: " + destination + ": the audio cannot be decoded");
    return -EIO;
  }
  Vantor::UnnamedFile& cache = content->Cache();
  std::unique_ptr<Vantor::UnnamedFile> copy;
  int error = 0;
  Vantor::UnnamedFile* wav = InFolder(cache, toDir, copy, error);
  if (error != 0) return error;
  // A renamed file keeps its permissions, owner and times: those of the FLAC file.
  const int traits = content->Source() >= 0 ? content->Source() : cache.Fd();
  if (wav != &cache || content->Source() >= 0) {
    if (int e = wav->TakeTraits(traits)) return e;
  }
  Vantor::FileTimes times = file ? file->Times() : Vantor::FileTimes{};
  if (stored && !modified) {
    if (!times.access) times.access = from.name.st.st_atim;
    if (!times.modification) times.modification = from.name.st.st_mtim;
  }
  if (int e = wav->SetTimes(times)) return e;
  if (int e = wav->Commit(toDir, to.where.name, !(flags & RENAME_NOREPLACE))) return e;
  if (stored) unlinkat(fromDir, from.name.stored.c_str(), 0);
  if (file) openFiles_.Detach(file);
  return 0;
}

// A regular file given a free WAV name is encoded into the FLAC file of that name, which
// takes its permissions, owner, extended attributes and times; the source goes once the
// FLAC file is in place. What is not audio moves as it is, under the WAV name.
int LoopbackFS::EncodeOnMove(const std::string& source, Resolved& from, const std::string& destination,
                             Resolved& to, unsigned flags) {
  const int fromDir = from.where.dir.Get(), toDir = to.where.dir.Get();
  const struct stat& st = from.name.st;
  FileKey toKey;
  if (!KeyOf(toDir, to.name.stored, toKey)) return -errno;
  const unsigned replace = flags & RENAME_NOREPLACE;

  auto toFile = openFiles_.Find(toKey);
  Gates gate(toFile, nullptr);
  if (st.st_size == 0) {
    // No audio involved: the empty file is stored under the FLAC name as it is.
    if (renameat2(fromDir, from.where.Name(), toDir, to.name.stored.c_str(), replace) != 0) return -errno;
    if (toFile) openFiles_.Detach(toFile);
    return 0;
  }

  std::string reason;
  {
    UniqueFd src(openat(fromDir, from.where.Name(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!src) return -errno;
    Vantor::UnnamedFile flac(toDir);
    if (!flac.Valid()) return -flac.Error();
    try {
      Vantor::EncodeWAV(src.Get(), flac.Fd(), ShownName(to.name.stored), toDir);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& e) {
      reason = e.what();
    }
    if (reason.empty()) {
      int e = flac.TakeTraits(src.Get());
      if (e == 0) e = flac.SetTimes(Vantor::FileTimes{st.st_atim, st.st_mtim});
      if (e == 0) e = flac.Commit(toDir, to.name.stored, !replace);
      if (e != 0) return e;
      unlinkat(fromDir, from.where.Name(), 0);
      if (toFile) openFiles_.Detach(toFile);
      return 0;
    }
  }
  // Not audio that can be encoded: it keeps its bytes under the WAV name, which shows it
  // from now on in place of the file shown there before.
  AppendLog("moveItemAtPath: " + source + " toPath: " + destination + ": kept as WAV (" + reason + ")");
  if (renameat2(fromDir, from.where.Name(), toDir, to.where.name.c_str(), replace) != 0) return -errno;
  if (toFile) openFiles_.Detach(toFile);
  if (to.name.kind == NameKind::kShown) unlinkat(toDir, to.name.stored.c_str(), 0);
  return 0;
}

// The kernel removes a file that is open by renaming it to a ".fuse_hidden" name (and
// removes that name at the last release; libfuse keeps such names for itself). The
// stored file is removed now; the opening stays reachable under the hidden name.
int LoopbackFS::MoveToGhost(Resolved& from, Resolved& to) {
  const int fromDir = from.where.dir.Get();
  FileKey ghostKey;
  if (!KeyOf(to.where.dir.Get(), to.where.name, ghostKey)) return -errno;
  const bool transcoded = from.name.kind == NameKind::kShown || from.name.kind == NameKind::kFreeWAV;
  std::shared_ptr<FileState> file;
  if (transcoded) {
    FileKey key;
    if (!KeyOf(fromDir, from.name.stored, key)) return -errno;
    file = openFiles_.Find(key);
    if (!file && from.name.kind == NameKind::kFreeWAV) return -ENOENT;
  } else if (from.name.kind != NameKind::kPlain || from.name.error) {
    return -ENOENT;
  }
  // The item itself answers for the ghost when no open state does (its last release may
  // have just ended, while the kernel still counts it open).
  const char* stored = transcoded ? from.name.stored.c_str() : from.where.Name();
  UniqueFd item;
  if (!file) {
    item.Reset(openat(fromDir, stored, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!item) return -errno;
  }
  Gates gate(file, nullptr);
  if (from.name.kind != NameKind::kFreeWAV && unlinkat(fromDir, stored, 0) != 0) return -errno;
  if (file) openFiles_.Detach(file);
  openFiles_.AddGhost(ghostKey, OpenFiles::Ghost{std::move(item), file});
  return 0;
}

// ---------------------------------------------------------------------------------------
// Removing

int LoopbackFS::RemoveItem(const std::string& path) {
  // As a move, a removal looks the name up again when a commit changed what it stands for.
  int e = -EAGAIN;
  for (int attempt = 0; attempt < 3 && e == -EAGAIN; ++attempt) e = RemoveOnce(path);
  return e == -EAGAIN ? -EBUSY : e;
}

int LoopbackFS::RemoveOnce(const std::string& path) {
  Resolved r;
  if (int e = Resolve(path, r)) return e;
  const int dirFd = r.where.dir.Get();
  FileKey key;
  if (IsGhostName(r.where.name) && KeyOf(dirFd, r.where.name, key)) {
    UniqueFd ghost;
    std::shared_ptr<FileState> content;
    if (openFiles_.FindGhost(key, ghost, content)) {
      openFiles_.RemoveGhost(key);
      return 0;
    }
  }
  switch (r.name.kind) {
    case NameKind::kPlain:
      if (r.name.error) return -r.name.error;
      return unlinkat(dirFd, r.where.Name(), 0) == 0 ? 0 : -errno;
    case NameKind::kShown:
    case NameKind::kFreeWAV: {
      if (!KeyOf(dirFd, r.name.stored, key)) return -errno;
      auto file = openFiles_.Find(key);
      Gates gate(file, nullptr);
      if (file && !file->Locate().attached) return -EAGAIN;
      if (!file && r.name.kind == NameKind::kFreeWAV) return -ENOENT;
      if (r.name.kind == NameKind::kShown && unlinkat(dirFd, r.name.stored.c_str(), 0) != 0) return -errno;
      // Removed while open: what was written goes with it, never committed later.
      if (file) openFiles_.Detach(file);
      return 0;
    }
    default:
      return -ENOENT;
  }
}

int LoopbackFS::RemoveDirectory(const std::string& path) {
  Resolved r;
  if (int e = Resolve(path, r)) return e;
  const int dirFd = r.where.dir.Get();
  switch (r.name.kind) {
    case NameKind::kPlain:
      break;
    case NameKind::kShown:
      return -ENOTDIR;
    default:
      return -ENOENT;
  }
  if (r.name.error) return -r.name.error;
  if (S_ISDIR(r.name.st.st_mode) && !openFiles_.PendingIn(r.name.st.st_dev, r.name.st.st_ino).empty()) {
    return -ENOTEMPTY;  // it holds new files that are not stored yet
  }
  return unlinkat(dirFd, r.where.Name(), AT_REMOVEDIR) == 0 ? 0 : -errno;
}

// ---------------------------------------------------------------------------------------
// Making folders, nodes and links

namespace {

// Whether a name the resolution found free for a new item is free in the volume too: a
// free WAV name may be held by a new file not stored yet.
bool HeldByNewFile(OpenFiles& files, int dirFd, const Name& n) {
  FileKey key;
  return n.kind == NameKind::kFreeWAV && KeyOf(dirFd, n.stored, key) && files.Find(key) != nullptr;
}

}  // namespace

int LoopbackFS::MayCreate(const std::string& path, const Resolved& r, bool shownType, const std::string& log) {
  switch (r.name.kind) {
    case NameKind::kShown:
    case NameKind::kKeptFLAC:
      return -EEXIST;
    case NameKind::kInternal:
      return -EPERM;
    case NameKind::kReservedFLAC:
      if (!shownType) break;
      AppendLog(log + path + ": FLAC files are made by writing WAV files");
      return -EPERM;
    default:
      break;
  }
  return HeldByNewFile(openFiles_, r.where.dir.Get(), r.name) ? -EEXIST : 0;
}

int LoopbackFS::CreateDirectory(const std::string& path, mode_t mode, const Caller* caller) {
  Resolved r;
  if (int e = Resolve(path, r)) return e;
  if (int e = MayCreate(path, r, false, "")) return e;
  const int dirFd = r.where.dir.Get();
  if (mkdirat(dirFd, r.where.Name(), mode) != 0) return -errno;
  Adopt(dirFd, r.where.name, -1, mode, false, caller);
  return 0;
}

int LoopbackFS::CreateNode(const std::string& path, mode_t mode, dev_t device, const Caller* caller) {
  Resolved r;
  if (int e = Resolve(path, r)) return e;
  if (int e = MayCreate(path, r, S_ISREG(mode), "createFileAtPath: ")) return e;
  const int dirFd = r.where.dir.Get();
  // An empty regular file under a free WAV name is stored under its FLAC name, as a
  // created file would be; other nodes (FIFOs, sockets, devices) keep the name given.
  const std::string name = S_ISREG(mode) && r.name.kind == NameKind::kFreeWAV ? r.name.stored : r.where.name;
  if (mknodat(dirFd, name.c_str(), mode, device) != 0) return -errno;
  Adopt(dirFd, name, -1, mode, false, caller);
  return 0;
}

int LoopbackFS::LinkItem(const std::string& path, const std::string& newPath) {
  Resolved from, to;
  if (int e = Resolve(path, from)) return e;
  if (int e = Resolve(newPath, to)) return e;
  const int fromDir = from.where.dir.Get(), toDir = to.where.dir.Get();
  auto refuse = [&](int e, const std::string& why) {
    AppendLog("linkItemAtPath: " + path + " toPath: " + newPath + ": " + why);
    return e;
  };

  const char* source = nullptr;
  mode_t mode = 0;
  switch (from.name.kind) {
    case NameKind::kPlain:
      if (from.name.error) return -from.name.error;
      source = from.where.Name();
      mode = from.name.st.st_mode;
      break;
    case NameKind::kShown: {
      FileKey key;
      if (!KeyOf(fromDir, from.name.stored, key)) return -errno;
      auto file = openFiles_.Find(key);
      // Two names of one FLAC file would part at the first write (each write commits a
      // new file), so only files without audio (empty, or links) and not open are linked;
      // a linked file is not opened for writing.
      if ((S_ISREG(from.name.st.st_mode) && from.name.st.st_size > 0) || file)
        return refuse(-EPERM, "hard links of FLAC files are not made");
      source = from.name.stored.c_str();
      mode = from.name.st.st_mode;
      break;
    }
    case NameKind::kFreeWAV: {
      FileKey key;
      if (KeyOf(fromDir, from.name.stored, key) && openFiles_.Find(key))
        return refuse(-EPERM, "the file is not stored yet");
      return -ENOENT;
    }
    default:
      return -ENOENT;
  }

  std::string name = to.where.name;
  switch (to.name.kind) {
    case NameKind::kShown:
    case NameKind::kKeptFLAC:
      return -EEXIST;
    case NameKind::kInternal:
      return -EPERM;
    case NameKind::kFreeWAV:
      if (HeldByNewFile(openFiles_, toDir, to.name)) return -EEXIST;
      // A second name of a stored FLAC file is a FLAC name too.
      if (from.name.kind == NameKind::kShown) name = to.name.stored;
      break;
    case NameKind::kPlain:
      if (to.name.error) return -to.name.error;
      break;
    default:
      break;
  }
  if (to.name.kind != NameKind::kFreeWAV && !MayTakeName(mode, name, toDir, "", -1))
    return refuse(-EPERM, "FLAC files are made by writing WAV files");
  return linkat(fromDir, source, toDir, name.c_str(), 0) == 0 ? 0 : -errno;
}

namespace {

// The folder part and the last name of a link's content ("a/b/c" -> "a/b/", "c").
void SplitContent(const std::string& content, std::string& folder, std::string& leaf) {
  const size_t slash = content.rfind('/');
  folder = slash == std::string::npos ? "" : content.substr(0, slash + 1);
  leaf = slash == std::string::npos ? content : content.substr(slash + 1);
}

// The folder that a relative link content's folder part names, seen from the link's folder.
UniqueFd ContentFolder(int linkDir, const std::string& folder) {
  return UniqueFd(openat(linkDir, folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

}  // namespace

int LoopbackFS::CreateSymbolicLink(const std::string& path, const std::string& destination, const Caller* caller) {
  Resolved r;
  if (int e = Resolve(path, r)) return e;
  if (int e = MayCreate(path, r, true, "createSymbolicLinkAtPath: ")) return e;
  const int dirFd = r.where.dir.Get();
  // A link under a free WAV name is stored under its FLAC name and shown as WAV, as the
  // file it leads to is. A relative destination names an item seen from the link's
  // folder: the link stores the name the root folder knows that item by, so that it
  // works on both sides. An absolute destination is stored as it is.
  const std::string name = r.name.kind == NameKind::kFreeWAV ? r.name.stored : r.where.name;
  std::string content = destination;
  if (!content.empty() && content[0] != '/') {
    std::string folder, leaf;
    SplitContent(content, folder, leaf);
    UniqueFd target = ContentFolder(dirFd, folder);
    if (target && Classify(target.Get(), leaf).kind == NameKind::kShown) content = folder + StoredName(leaf);
  }
  if (symlinkat(content.c_str(), dirFd, name.c_str()) != 0) return -errno;
  Adopt(dirFd, name, -1, 0, true, caller);
  return 0;
}

int LoopbackFS::DestinationOfSymbolicLink(const std::string& path, std::string& destination) {
  Resolved r;
  if (int e = Resolve(path, r)) return e;
  const int dirFd = r.where.dir.Get();
  const char* name = nullptr;
  switch (r.name.kind) {
    case NameKind::kPlain:
      if (r.name.error) return -r.name.error;
      name = r.where.Name();
      break;
    case NameKind::kShown:
      name = r.name.stored.c_str();
      break;
    default:
      return -ENOENT;
  }
  std::string content(256, '\0');
  for (;;) {
    const ssize_t n = readlinkat(dirFd, name, content.data(), content.size());
    if (n < 0) return -errno;
    if (static_cast<size_t>(n) < content.size()) {
      content.resize(static_cast<size_t>(n));
      break;
    }
    content.resize(content.size() * 2);
  }
  // The relative name of a FLAC file that the volume shows as WAV reads as the WAV name.
  destination = content;
  if (!content.empty() && content[0] != '/') {
    std::string folder, leaf;
    SplitContent(content, folder, leaf);
    const std::string shown = ShownName(leaf);
    if (!shown.empty()) {
      UniqueFd target = ContentFolder(dirFd, folder);
      if (target) {
        const Name n = Classify(target.Get(), shown);
        if (n.kind == NameKind::kShown && n.stored == leaf) destination = folder + shown;
      }
    }
  }
  return 0;
}

}  // namespace Lyrebox
