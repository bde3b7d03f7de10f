// UniqueFd: the one owner of an open file descriptor, closed when the owner goes.
// Reopen: a new, independent descriptor (its own file offset) for an open file.
//
// Thread-safe as far as one owner is used by one thread at a time.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace Vantor {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  explicit operator bool() const { return Valid(); }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Opens the file that fd refers to again (through /proc/self/fd), with flags (O_CLOEXEC
// is added): a descriptor of its own, whose offset no other reader moves. Works for
// files that have been removed and for O_PATH descriptors. Invalid, with errno set, on
// failure.
inline UniqueFd Reopen(int fd, int flags) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return UniqueFd(::open(self.c_str(), flags | O_CLOEXEC));
}

}  // namespace Vantor
