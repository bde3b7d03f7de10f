// The names of files with several links that the kernel was given attributes of.
//
// The kernel keeps attributes for a short while per node, and libfuse makes each name of
// a file a node of its own: a change through one name (a link more or less, a mode, an
// owner, a time, written data) leaves what the kernel keeps for the file's other names as
// it was. The host records here which names of which file the kernel knows, and
// invalidates the other names after each change through one of them.
//
// Volume paths, as the host sees them. Only files with more than one link are kept, at
// most kMax names (beyond that the record starts anew: a forgotten name is stale only as
// long as the kernel keeps attributes).
//
// Thread-safe: one mutex, taken alone.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Lyrebox {

class LinkedNames {
 public:
  // The kernel was given st for path: kept when it is a file with several links, else
  // forgotten.
  void Saw(const std::string& path, const struct stat& st);
  // Whether Saw would change anything for st (cheap: no lock).
  bool Matters(const struct stat& st) const { return (!S_ISDIR(st.st_mode) && st.st_nlink > 1) || count_ > 0; }
  // The other names known of path's file.
  std::vector<std::string> OthersOf(const std::string& path) const;
  // path names nothing any more.
  void Forget(const std::string& path);
  // path (and what is below it, for a folder) is now called to; what to was is gone.
  void Moved(const std::string& from, const std::string& to);

  static constexpr size_t kMax = 65536;

 private:
  using Key = std::pair<dev_t, ino_t>;
  void ForgetLocked(const std::string& path);
  void KeepLocked(const std::string& path, const Key& key);

  mutable std::mutex mutex_;  // guards everything below
  std::unordered_map<std::string, Key> files_;
  std::atomic<size_t> count_{0};  // files_.size(), for Matters
  std::map<Key, std::set<std::string>> names_;
};

}  // namespace Lyrebox
