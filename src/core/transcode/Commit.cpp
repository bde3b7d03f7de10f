// Unnamed files, their traits, and the commit that names them.
#include "transcode/Commit.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <tuple>
#include <vector>

namespace Vantor {

namespace {

constexpr char kTemporaryPrefix[] = ".lyrebox-";
constexpr char kTemporarySuffix[] = ".tmp";
constexpr size_t kTemporaryRandom = 8;

std::string SelfPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

std::string TemporaryName() {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[kTemporaryRandom];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    // Not expected on Linux; the clock still makes a name that is unlikely to be taken.
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(now.tv_nsec >> (i * 3));
  }
  std::string name = kTemporaryPrefix;
  for (unsigned char b : bytes) name += kAlphabet[b % (sizeof kAlphabet - 1)];
  return name + kTemporarySuffix;
}

bool SameFile(int a, int b) {
  struct stat sa, sb;
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// An error of setting one extended attribute that only means "not here, not by us".
bool Ignorable(int error) { return error == EPERM || error == EACCES || error == ENOTSUP || error == ENODATA; }

int SyncFolder(int dirFd) {
  UniqueFd dir(openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return -errno;
  return fsync(dir.Get()) == 0 ? 0 : -errno;
}

}  // namespace

bool IsTemporaryName(const std::string& name) {
  const size_t prefix = sizeof kTemporaryPrefix - 1, suffix = sizeof kTemporarySuffix - 1;
  if (name.size() != prefix + kTemporaryRandom + suffix) return false;
  if (name.compare(0, prefix, kTemporaryPrefix) != 0 || name.compare(prefix + kTemporaryRandom, suffix, kTemporarySuffix) != 0)
    return false;
  for (size_t i = prefix; i < prefix + kTemporaryRandom; ++i) {
    const char c = name[i];
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

UnnamedFile::UnnamedFile(int dirFd) {
  dir_.Reset(fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
  if (!dir_) {
    error_ = errno;
    return;
  }
  fd_.Reset(openat(dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (fd_) return;
  error_ = errno;
  // Only a file system without unnamed files falls back to a temporary name.
  if (error_ != EOPNOTSUPP && error_ != EISDIR && error_ != EINVAL) return;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = TemporaryName();
    fd_.Reset(openat(dirFd, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd_) {
      tempName_ = std::move(name);
      error_ = 0;
      return;
    }
    error_ = errno;
    if (error_ != EEXIST) return;
  }
}

UnnamedFile::~UnnamedFile() {
  if (!committed_ && !tempName_.empty() && dir_) unlinkat(dir_.Get(), tempName_.c_str(), 0);
}

bool UnnamedFile::IsIn(int dirFd) const { return dir_ && SameFile(dir_.Get(), dirFd); }

int UnnamedFile::TakeTraits(int from) {
  struct stat st;
  if (fstat(from, &st) != 0) return -errno;
  struct stat own;
  if (fstat(fd_.Get(), &own) != 0) return -errno;
  if (own.st_uid != st.st_uid || own.st_gid != st.st_gid) {
    // Only root may give a file away; anyone else keeps at least the group if allowed.
    if (fchown(fd_.Get(), st.st_uid, st.st_gid) != 0) (void)!fchown(fd_.Get(), static_cast<uid_t>(-1), st.st_gid);
  }

  // Extended attributes through the descriptor's own name, which also serves O_PATH.
  const std::string source = SelfPath(from);
  std::vector<char> names;
  for (;;) {
    ssize_t size = listxattr(source.c_str(), nullptr, 0);
    if (size < 0 && (errno == ENOTSUP || errno == EPERM)) size = 0;
    if (size < 0) return -errno;
    names.resize(static_cast<size_t>(size));
    if (size == 0) break;
    size = listxattr(source.c_str(), names.data(), names.size());
    if (size >= 0) {
      names.resize(static_cast<size_t>(size));
      break;
    }
    if (errno != ERANGE) return -errno;
  }
  std::vector<char> value;
  for (size_t at = 0; at < names.size();) {
    const char* name = names.data() + at;
    at += strnlen(name, names.size() - at) + 1;
    ssize_t size;
    for (;;) {
      size = getxattr(source.c_str(), name, nullptr, 0);
      if (size < 0) break;
      value.resize(static_cast<size_t>(size));
      size = getxattr(source.c_str(), name, value.data(), value.size());
      if (size >= 0 || errno != ERANGE) break;
    }
    if (size < 0) {
      if (Ignorable(errno)) continue;
      return -errno;
    }
    if (fsetxattr(fd_.Get(), name, value.data(), static_cast<size_t>(size), 0) != 0 && !Ignorable(errno)) return -errno;
  }
  // After chown, which may clear set-id bits.
  return SetMode(st.st_mode);
}

int UnnamedFile::SetMode(mode_t mode) { return fchmod(fd_.Get(), mode & 07777) == 0 ? 0 : -errno; }

int UnnamedFile::SetTimes(const FileTimes& times) {
  if (!times.access && !times.modification) return 0;
  const timespec both[2] = {times.access.value_or(timespec{0, UTIME_OMIT}),
                            times.modification.value_or(timespec{0, UTIME_OMIT})};
  return futimens(fd_.Get(), both) == 0 ? 0 : -errno;
}

int UnnamedFile::Commit(int dirFd, const std::string& name, bool replace) {
  if (!fd_ || committed_) return -EBADF;
  if (!IsIn(dirFd)) return -EXDEV;
  if (fsync(fd_.Get()) != 0) return -errno;
  if (tempName_.empty()) {
    const std::string self = SelfPath(fd_.Get());
    if (!replace) {
      if (linkat(AT_FDCWD, self.c_str(), dirFd, name.c_str(), AT_SYMLINK_FOLLOW) != 0) return -errno;
      committed_ = true;
      return SyncFolder(dirFd);
    }
    // No system call links over an existing name: a temporary name first, for as short
    // a time as a rename takes.
    for (int attempt = 0; tempName_.empty(); ++attempt) {
      std::string temp = TemporaryName();
      if (linkat(AT_FDCWD, self.c_str(), dirFd, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        tempName_ = std::move(temp);
      } else if (errno != EEXIST || attempt >= 100) {
        return -errno;
      }
    }
  }
  int r = renameat2(dirFd, tempName_.c_str(), dirFd, name.c_str(), replace ? 0 : RENAME_NOREPLACE);
  if (r != 0 && errno == EINVAL && !replace) {
    // A file system without RENAME_NOREPLACE: a link fails just as well on a taken name.
    r = linkat(dirFd, tempName_.c_str(), dirFd, name.c_str(), 0);
    if (r == 0) unlinkat(dirFd, tempName_.c_str(), 0);
  }
  if (r != 0) {
    const int error = errno;
    unlinkat(dirFd, tempName_.c_str(), 0);
    tempName_.clear();
    // Unnamed again; a later commit may still name it.
    return -error;
  }
  tempName_.clear();
  committed_ = true;
  return SyncFolder(dirFd);
}

int CopyContent(int from, int to) {
  if (ftruncate(to, 0) != 0) return -errno;
  off_t in = 0, out = 0;
  bool plain = false;
  std::vector<char> buffer;
  for (;;) {
    ssize_t n;
    if (!plain) {
      n = copy_file_range(from, &in, to, &out, 1 << 30, 0);
      if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
        plain = true;
        continue;
      }
    } else {
      buffer.resize(1 << 20);
      n = pread(from, buffer.data(), buffer.size(), in);
      if (n > 0) {
        for (ssize_t done = 0; done < n;) {
          const ssize_t w = pwrite(to, buffer.data() + done, static_cast<size_t>(n - done), out + done);
          if (w < 0 && errno == EINTR) continue;
          if (w <= 0) return w < 0 ? -errno : -EIO;
          done += w;
        }
        in += n;
        out += n;
      }
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) return 0;
  }
}

int SweepTemporaryFiles(int rootFd, const timespec& before, const std::string& skip, const std::atomic<bool>* stop) {
  struct stat rootStat;
  if (fstat(rootFd, &rootStat) != 0) return 0;
  int removed = 0;
  // Folders still to walk, as descriptors of their own, with their path from root.
  std::vector<std::pair<UniqueFd, std::string>> pending;
  pending.emplace_back(UniqueFd(openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), "");
  while (!pending.empty() && !(stop && *stop)) {
    auto [dirFd, path] = std::move(pending.back());
    pending.pop_back();
    if (!dirFd) continue;
    // fdopendir takes the descriptor; a duplicate stays for the *at calls below.
    UniqueFd own(fcntl(dirFd.Get(), F_DUPFD_CLOEXEC, 0));
    DIR* dir = own ? fdopendir(own.Get()) : nullptr;
    if (!dir) continue;
    own.Release();
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = path.empty() ? name : path + "/" + name;
      if (child == skip) continue;  // not even examined: it may be the volume itself
      struct stat st;
      if (fstatat(dirFd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != rootStat.st_dev) continue;
      if (S_ISDIR(st.st_mode)) {
        pending.emplace_back(UniqueFd(openat(dirFd.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)),
                             child);
      } else if (S_ISREG(st.st_mode) && IsTemporaryName(name) &&
                 std::tie(st.st_ctim.tv_sec, st.st_ctim.tv_nsec) < std::tie(before.tv_sec, before.tv_nsec) &&
                 unlinkat(dirFd.Get(), name.c_str(), 0) == 0) {
        ++removed;
      }
    }
    closedir(dir);
  }
  return removed;
}

}  // namespace Vantor
