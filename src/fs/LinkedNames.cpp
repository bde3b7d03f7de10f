#include "fs/LinkedNames.h"

namespace Lyrebox {

void LinkedNames::Saw(const std::string& path, const struct stat& st) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) {
    KeepLocked(path, Key{st.st_dev, st.st_ino});
  } else if (!files_.empty()) {
    ForgetLocked(path);
  }
}

std::vector<std::string> LinkedNames::OthersOf(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> others;
  auto it = files_.find(path);
  if (it == files_.end()) return others;
  for (const auto& name : names_.at(it->second)) {
    if (name != path) others.push_back(name);
  }
  return others;
}

void LinkedNames::Forget(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  ForgetLocked(path);
}

void LinkedNames::Moved(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (files_.empty()) return;
  auto it = files_.find(from);
  auto victim = files_.find(to);
  // Two names of one file: the rename changes nothing.
  if (it != files_.end() && victim != files_.end() && it->second == victim->second) return;
  ForgetLocked(to);
  std::vector<std::pair<std::string, Key>> moved;
  const std::string folder = from + "/";
  for (const auto& [path, key] : files_) {
    if (path == from) moved.emplace_back(to, key);
    else if (path.compare(0, folder.size(), folder) == 0) moved.emplace_back(to + path.substr(from.size()), key);
  }
  for (const auto& [path, key] : moved) {
    ForgetLocked(path == to ? from : from + path.substr(to.size()));
    KeepLocked(path, key);
  }
}

void LinkedNames::ForgetLocked(const std::string& path) {
  auto it = files_.find(path);
  if (it == files_.end()) return;
  auto names = names_.find(it->second);
  names->second.erase(path);
  if (names->second.empty()) names_.erase(names);
  files_.erase(it);
  count_ = files_.size();
}

void LinkedNames::KeepLocked(const std::string& path, const Key& key) {
  auto it = files_.find(path);
  if (it != files_.end()) {
    if (it->second == key) return;
    ForgetLocked(path);
  }
  if (files_.size() >= kMax) {
    files_.clear();
    names_.clear();
    count_ = 0;
  }
  files_.emplace(path, key);
  names_[key].insert(path);
  count_ = files_.size();
}

}  // namespace Lyrebox
