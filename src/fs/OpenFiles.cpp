#include "fs/OpenFiles.h"

#include <ctype.h>
#include <fcntl.h>
#include <string.h>

#include "fs/Names.h"

namespace Lyrebox {

bool KeyOf(int dirFd, const std::string& name, FileKey& key) {
  if (!Identify(dirFd, key.dev, key.ino)) return false;
  key.name = name;
  return true;
}

Version Version::Of(const struct stat& st) {
  Version v;
  v.dev = st.st_dev;
  v.ino = st.st_ino;
  v.size = st.st_size;
  v.mtime = st.st_mtim;
  v.ctime = st.st_ctim;
  return v;
}

bool Version::operator==(const Version& o) const {
  return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
         mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
}

bool IsGhostName(const std::string& name) {
  // ".fuse_hidden" and two 8-digit hexadecimal numbers (libfuse's hidden_name).
  static const char kPrefix[] = ".fuse_hidden";
  const size_t prefix = sizeof kPrefix - 1;
  if (name.size() != prefix + 16 || name.compare(0, prefix, kPrefix) != 0) return false;
  for (size_t i = prefix; i < name.size(); ++i) {
    if (!isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

FileState::FileState(std::unique_ptr<Vantor::Transcoder> content, UniqueFd dir, const FileKey& key,
                   std::string volumePath, bool pending)
    : content_(std::move(content)), dir_(std::move(dir)), key_(key), volumePath_(std::move(volumePath)),
      pending_(pending) {
  struct stat st;
  if (!pending && content_->Source() >= 0 && fstat(content_->Source(), &st) == 0) source_ = Version::Of(st);
}

FileState::Where FileState::Locate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Where w;
  w.dir.Reset(fcntl(dir_.Get(), F_DUPFD_CLOEXEC, 0));
  w.name = key_.name;
  w.volumePath = volumePath_;
  w.attached = attached_;
  w.pending = pending_;
  return w;
}

std::string FileState::VolumePath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return volumePath_;
}

bool FileState::IsVersion(const Version& v) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return source_ == v;
}

void FileState::SetVersion(const Version& v) {
  std::lock_guard<std::mutex> lock(mutex_);
  source_ = v;
}

void FileState::MarkCommitted() {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_ = false;
}

Vantor::FileTimes FileState::Times() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return times_;
}

void FileState::SetTimes(const Vantor::FileTimes& times) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (times.access) times_.access = times.access;
  if (times.modification) times_.modification = times.modification;
}

void FileState::ForgetModificationTime() {
  std::lock_guard<std::mutex> lock(mutex_);
  times_.modification.reset();
}

std::shared_ptr<FileState> OpenFiles::AcquireLocked(const FileKey& key) {
  auto it = byKey_.find(key);
  if (it == byKey_.end()) return nullptr;
  std::lock_guard<std::mutex> own(it->second->mutex_);
  ++it->second->openings_;
  return it->second;
}

std::shared_ptr<FileState> OpenFiles::Find(const FileKey& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = byKey_.find(key);
  return it == byKey_.end() ? nullptr : it->second;
}

void OpenFiles::Reopen(FileState& file) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::lock_guard<std::mutex> own(file.mutex_);
  ++file.openings_;
}

bool OpenFiles::Release(FileState& file) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::lock_guard<std::mutex> own(file.mutex_);
  return --file.openings_ <= 0;
}

void OpenFiles::Forget(const std::shared_ptr<FileState>& file) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::lock_guard<std::mutex> own(file->mutex_);
  if (file->openings_ > 0) return;
  auto it = byKey_.find(file->key_);
  if (it != byKey_.end() && it->second == file) byKey_.erase(it);
  file->attached_ = false;
}

void OpenFiles::Detach(const std::shared_ptr<FileState>& file) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::lock_guard<std::mutex> own(file->mutex_);
  auto it = byKey_.find(file->key_);
  if (it != byKey_.end() && it->second == file) byKey_.erase(it);
  file->attached_ = false;
}

void OpenFiles::Move(const std::shared_ptr<FileState>& file, const FileKey& key, UniqueFd dir,
                     const std::string& volumePath) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto there = byKey_.find(key);
  if (there != byKey_.end() && there->second != file) {
    std::lock_guard<std::mutex> own(there->second->mutex_);
    there->second->attached_ = false;
    byKey_.erase(there);
  }
  std::lock_guard<std::mutex> own(file->mutex_);
  auto it = byKey_.find(file->key_);
  if (it != byKey_.end() && it->second == file) byKey_.erase(it);
  if (!file->attached_) return;
  file->key_ = key;
  file->dir_ = std::move(dir);
  file->volumePath_ = volumePath;
  byKey_[key] = file;
}

std::vector<std::string> OpenFiles::PendingIn(dev_t dev, ino_t ino) {
  std::vector<std::string> names;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = byKey_.lower_bound(FileKey{dev, ino, ""}); it != byKey_.end(); ++it) {
    if (it->first.dev != dev || it->first.ino != ino) break;
    std::lock_guard<std::mutex> own(it->second->mutex_);
    if (it->second->pending_) names.push_back(ShownName(it->first.name));
  }
  return names;
}

void OpenFiles::AddGhost(const FileKey& key, Ghost ghost) {
  std::lock_guard<std::mutex> lock(mutex_);
  ghosts_[key] = std::move(ghost);
}

bool OpenFiles::FindGhost(const FileKey& key, UniqueFd& file, std::shared_ptr<FileState>& content) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = ghosts_.find(key);
  if (it == ghosts_.end()) return false;
  if (it->second.file) file.Reset(fcntl(it->second.file.Get(), F_DUPFD_CLOEXEC, 0));
  content = it->second.content;
  return true;
}

void OpenFiles::RemoveGhost(const FileKey& key) {
  Ghost gone;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = ghosts_.find(key);
  if (it == ghosts_.end()) return;
  gone = std::move(it->second);
  ghosts_.erase(it);
}

}  // namespace Lyrebox
