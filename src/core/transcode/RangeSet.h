// The set of positions (sample frames) already produced, kept as ordered, disjoint,
// non-touching half-open ranges, so that each set has exactly one representation and
// equality is an element-wise comparison.
//
// Not thread-safe: the owning Transcoder guards it with its mutex_.
#pragma once

#include <cstddef>
#include <vector>

namespace Vantor {

template <typename T>
struct RangeT {
  T begin;
  T end;
  RangeT(T b, T e) : begin(b), end(e) {}
};

template <typename T>
class EnsembleT {
 public:
  EnsembleT() = default;
  explicit EnsembleT(RangeT<T> r) {
    if (r.begin < r.end) ranges_.push_back(r);
  }
  EnsembleT(EnsembleT const&) = default;
  EnsembleT& operator=(EnsembleT const&) = default;

  // this = this ∪ r.
  void Add(RangeT<T> r);
  // this = this \ other.
  void Remove(EnsembleT<T> other);

  std::size_t Count() const { return ranges_.size(); }
  const RangeT<T>& operator[](std::size_t k) const { return ranges_[k]; }
  bool Empty() const { return ranges_.empty(); }

  template <typename U>
  friend bool operator==(EnsembleT<U> const& a, EnsembleT<U> const& b);

 private:
  std::vector<RangeT<T>> ranges_;
};

template <typename T>
bool operator==(EnsembleT<T> const& a, EnsembleT<T> const& b) {
  if (a.ranges_.size() != b.ranges_.size()) return false;
  for (std::size_t k = 0; k < a.ranges_.size(); ++k) {
    if (a.ranges_[k].begin != b.ranges_[k].begin || a.ranges_[k].end != b.ranges_[k].end) return false;
  }
  return true;
}

template <typename T>
void EnsembleT<T>::Add(RangeT<T> r) {
  if (r.end <= r.begin) return;
  std::vector<RangeT<T>> out;
  out.reserve(ranges_.size() + 1);
  std::size_t i = 0;
  const std::size_t n = ranges_.size();
  // Ranges wholly before r and not touching it.
  while (i < n && ranges_[i].end < r.begin) out.push_back(ranges_[i++]);
  if (i == n) {
    out.push_back(r);
  } else if (ranges_[i].begin > r.end) {
    out.push_back(r);
    while (i < n) out.push_back(ranges_[i++]);
  } else {
    // r overlaps or touches ranges_[i] and possibly more.
    T begin = ranges_[i].begin < r.begin ? ranges_[i].begin : r.begin;
    T end = r.end;
    while (i < n && ranges_[i].begin <= r.end) {
      if (ranges_[i].end > end) end = ranges_[i].end;
      ++i;
    }
    out.push_back(RangeT<T>(begin, end));
    while (i < n) out.push_back(ranges_[i++]);
  }
  ranges_.swap(out);
}

template <typename T>
void EnsembleT<T>::Remove(EnsembleT<T> other) {
  std::vector<RangeT<T>> out;
  out.reserve(ranges_.size() + other.ranges_.size());
  std::size_t i = 0, j = 0;
  const std::size_t n = ranges_.size(), m = other.ranges_.size();
  bool pending = false;
  T c{};
  while (i < n && j < m) {
    const RangeT<T> a = ranges_[i];
    const RangeT<T> b = other.ranges_[j];
    if (!pending) {
      if (b.end <= a.begin) {
        ++j;
        continue;
      }
      if (a.begin < b.begin && a.end <= b.begin) {
        out.push_back(a);
        ++i;
        continue;
      }
      if (a.begin < b.begin) out.push_back(RangeT<T>(a.begin, b.begin));
    } else {
      if (a.end <= b.begin) {
        out.push_back(RangeT<T>(c, a.end));
        ++i;
        pending = false;
        continue;
      }
      out.push_back(RangeT<T>(c, b.begin));
    }
    // Tail step: what is left of a after b.
    if (a.end <= b.end) {
      ++i;
      pending = false;
    } else {
      c = b.end;
      ++j;
      pending = true;
    }
  }
  if (pending) {
    out.push_back(RangeT<T>(c, ranges_[i].end));
    ++i;
  }
  while (i < n) out.push_back(ranges_[i++]);
  ranges_.swap(out);
}

}  // namespace Vantor
