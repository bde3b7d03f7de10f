#include "fs/RootFolder.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <system_error>

namespace Lyrebox {

namespace {

// openat2 where the kernel has it (5.6 on); -1 with ENOSYS where it does not.
int OpenAt2(int dirFd, const char* path, int flags, unsigned long long resolve) {
  open_how how{};
  how.flags = static_cast<unsigned long long>(flags);
  how.resolve = resolve;
  return static_cast<int>(syscall(SYS_openat2, dirFd, path, &how, sizeof how));
}

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

}  // namespace

RootFolder::RootFolder(const std::string& path) : fd_(open(path.c_str(), kFolderFlags)) {
  if (!fd_) throw std::system_error(errno, std::generic_category(), path);
}

void RootFolder::Hide(const std::string& path) { hidden_ = path; }

bool RootFolder::IsHidden(const std::string& path) const {
  return !hidden_.empty() && path.compare(0, hidden_.size(), hidden_) == 0 &&
         (path.size() == hidden_.size() || path[hidden_.size()] == '/');
}

UniqueFd RootFolder::OpenBeneath(const std::string& rel, int& error) const {
  error = 0;
  UniqueFd dir;
  // The folder walked from so far: the root folder's own descriptor until the first piece.
  auto from = [&] { return dir ? dir.Get() : fd_.Get(); };
  static std::atomic<bool> noOpenAt2{false};  // set once when the kernel has no openat2
  size_t start = 0;
  while (start < rel.size()) {
    // As much of the path as one call takes, cut at a "/"; one name at a time without
    // openat2.
    size_t end = rel.size();
    if (noOpenAt2) {
      end = rel.find('/', start);
      if (end == std::string::npos) end = rel.size();
    } else if (end - start >= PATH_MAX) {
      end = rel.rfind('/', start + PATH_MAX - 1);
      if (end == std::string::npos || end <= start) {
        error = ENAMETOOLONG;
        return UniqueFd();
      }
    }
    const std::string piece = rel.substr(start, end - start);
    int next = -1;
    if (!noOpenAt2) {
      next = OpenAt2(from(), piece.c_str(), kFolderFlags,
                     RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
      if (next < 0 && errno == ENOSYS) {
        noOpenAt2 = true;
        continue;
      }
    } else {
      next = (piece == ".." || piece == ".") ? (errno = ENOENT, -1)
                                             : openat(from(), piece.c_str(), kFolderFlags | O_NOFOLLOW);
    }
    if (next < 0) {
      error = errno;
      return UniqueFd();
    }
    dir.Reset(next);
    start = end + 1;
  }
  if (!dir) {
    dir.Reset(fcntl(fd_.Get(), F_DUPFD_CLOEXEC, 0));
    if (!dir) error = errno;
  }
  return dir;
}

int RootFolder::Locate(const std::string& path, Location& where) const {
  if (path.empty() || path[0] != '/') return -EINVAL;
  const size_t slash = path.rfind('/');
  where.name = path.substr(slash + 1);
  if (where.name.size() > NAME_MAX) return -ENAMETOOLONG;
  int error = 0;
  where.dir = OpenBeneath(slash == 0 ? std::string() : path.substr(1, slash - 1), error);
  return where.dir ? 0 : -error;
}

UniqueFd RootFolder::OpenFolder(const std::string& path, int& error) const {
  Location where;
  if ((error = -Locate(path, where)) != 0) return UniqueFd();
  UniqueFd dir(openat(where.dir.Get(), where.Name(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  error = dir ? 0 : errno;
  return dir;
}

bool Identify(int fd, dev_t& dev, ino_t& ino) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  dev = st.st_dev;
  ino = st.st_ino;
  return true;
}

}  // namespace Lyrebox
