// The shared budget of the caches: accounting, the limit, and eviction by least recent use.
#include "transcode/CacheBudget.h"

#include <fcntl.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <chrono>

#include "transcode/Transcoder.h"

namespace Vantor {

CacheBudget& CacheBudget::Process() {
  static CacheBudget budget;
  return budget;
}

namespace {

// How often the free space is looked at again.
constexpr long long kCheckInterval = 1000000000LL;

long long Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void CacheBudget::SetLimit(long long bytes) {
  configured_ = std::max(bytes, kMinimumLimit);
  Lock lock(mutex_);
  LimitLocked();
}

void CacheBudget::WatchFolder(int dirFd) {
  Lock lock(mutex_);
  folder_.Reset(dirFd >= 0 ? fcntl(dirFd, F_DUPFD_CLOEXEC, 0) : -1);
  LimitLocked();
}

long long CacheBudget::Limit() {
  Lock lock(mutex_);
  return LimitLocked();
}

long long CacheBudget::LimitLocked() {
  long long limit = configured_.load();
  struct statvfs st;
  if (folder_ && fstatvfs(folder_.Get(), &st) == 0) {
    // What the caches hold themselves is counted as free: a cache growing to its limit
    // does not lower the limit.
    const long long free = static_cast<long long>(st.f_bavail) * static_cast<long long>(st.f_frsize) + used_.load();
    limit = std::min(limit, free / 10);
  }
  limit = std::max(limit, kMinimumLimit);
  limit_ = limit;
  nextCheck_ = Now() + kCheckInterval;
  return limit;
}

void CacheBudget::Join(Transcoder* t) {
  Lock lock(mutex_);
  members_.insert(t);
}

void CacheBudget::Leave(Transcoder* t) {
  // Once this returns no eviction is at work on t, and none will start.
  Lock lock(mutex_);
  members_.erase(t);
}

bool CacheBudget::Take(long long bytes, long long limit) {
  long long used = used_.load();
  while (used + bytes <= limit) {
    if (used_.compare_exchange_weak(used, used + bytes)) return true;
  }
  return false;
}

void CacheBudget::Reserve(long long bytes) {
  if (Now() < nextCheck_.load() && Take(bytes, limit_.load())) return;
  Lock lock(mutex_);
  const long long limit = LimitLocked();
  if (Take(bytes, limit)) return;
  // Down to an eighth below the limit, so that eviction comes in rounds, not per piece.
  const long long target = limit - limit / 8;
  while (used_.load() + bytes > target || !Take(bytes, limit)) {
    Transcoder* victim = nullptr;
    long long unit = -1;
    std::uint64_t oldest = UINT64_MAX;
    for (Transcoder* t : members_) {
      std::uint64_t stamp;
      long long u;
      if (t->OldestUnit(stamp, u) && stamp < oldest) {
        oldest = stamp;
        victim = t;
        unit = u;
      }
    }
    // Nothing left that may be given back (pinned by readers, or being decoded): over
    // the limit until some is.
    if (!victim) {
      used_ += bytes;
      return;
    }
    victim->EvictUnit(unit);
  }
}

}  // namespace Vantor
