// The disk space that the caches of all open files may hold between them, and the giving
// back of what was read least recently once they would hold more.
//
// Every content decoded into a cache (a Transcoder) joins the budget for its life and
// reports the bytes its decoded audio takes on disk. Before it decodes more it asks for
// room (Reserve): when the caches would then hold more than the limit, the units (about
// 1 MiB of sample frames each) used longest ago, in any cache, are given back to the file
// system (holes punched) until they hold a little less, and are decoded again when read.
// Written data is never given back: a content written to leaves the budget's count
// (Transcoder).
//
// The limit is the configured size (SetLimit, 1 GiB unless set) and never more than a
// tenth of the free space of the watched folder's file system (WatchFolder), nor less
// than kMinimumLimit, so that a read always finds room.
//
// Thread-safe. Locks: mutex_ is taken before any Transcoder's mutex_; a Transcoder calls
// Reserve, Join and Leave only without its own mutex_ held (Add never blocks).
#pragma once

#include <atomic>
#include <cstdint>
#include <set>

#include "transcode/Mutex.h"
#include "transcode/UniqueFd.h"

namespace Vantor {

class Transcoder;

class CacheBudget {
 public:
  static constexpr long long kDefaultLimit = 1LL << 30;
  static constexpr long long kMinimumLimit = 8LL << 20;

  // The one budget of this process.
  static CacheBudget& Process();

  CacheBudget() = default;
  CacheBudget(const CacheBudget&) = delete;
  CacheBudget& operator=(const CacheBudget&) = delete;

  // The configured size in bytes (raised to kMinimumLimit).
  void SetLimit(long long bytes);
  // The folder whose file system's free space bounds the limit (a descriptor of the
  // caller's, duplicated); -1 for none.
  void WatchFolder(int dirFd);
  // The limit in force now.
  long long Limit();
  // Bytes held by the caches that count.
  long long Used() const { return used_.load(); }

  void Join(Transcoder* t);
  void Leave(Transcoder* t);
  // A change of the bytes a cache holds; never blocks.
  void Add(long long bytes) { used_ += bytes; }
  // Makes room for bytes more, giving back the units used longest ago where the caches
  // would hold more than the limit, and counts them as held until the caller gives them
  // back (with Add, in the same step as it counts what it wrote), so that writers at work
  // at once make room for each other. Call without any Transcoder's mutex held.
  void Reserve(long long bytes);

  // A stamp of the moment of a use: later uses have larger stamps.
  static std::uint64_t Stamp() { return ++clock_; }

 private:
  // With mutex_ held: works out the limit in force and keeps it in limit_.
  long long LimitLocked();
  // Counts bytes more as held if that keeps within limit.
  bool Take(long long bytes, long long limit);

  std::atomic<long long> used_{0};
  std::atomic<long long> configured_{kDefaultLimit};
  std::atomic<long long> limit_{kDefaultLimit};  // as last worked out
  std::atomic<long long> nextCheck_{0};  // when to look at the free space again (steady clock, ns)
  static inline std::atomic<std::uint64_t> clock_{0};

  Mutex mutex_;  // guards what follows; taken before any Transcoder's mutex_
  std::set<Transcoder*> members_;
  UniqueFd folder_;
};

}  // namespace Vantor
