// The set of produced positions against a plain set model: merging and removal.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "transcode/RangeSet.h"

using Set = Vantor::EnsembleT<long long>;
using R = Vantor::RangeT<long long>;

namespace {

std::string Show(const Set& s) {
  std::string out;
  for (std::size_t k = 0; k < s.Count(); ++k)
    out += "[" + std::to_string(s[k].begin) + "," + std::to_string(s[k].end) + ")";
  return "{" + out + "}";
}

}  // namespace

// Random Adds and Removes compared with std::set; the ranges must stay sorted,
// non-empty and neither overlapping nor touching.
TEST(RangeSet, MatchesPlainSetModel) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_int_distribution<long long> pos(-20, 80), len(0, 25);
  for (int round = 0; round < 200; ++round) {
    Set s;
    std::set<long long> model;
    for (int step = 0; step < 30; ++step) {
      const bool add = rng() % 3 != 0;
      Set other;
      for (int k = 0; k < (add ? 1 : 3); ++k) {
        const long long b = pos(rng), e = b + len(rng);
        other.Add(R(b, e));
        for (long long p = b; p < e; ++p) add ? (void)model.insert(p) : (void)model.erase(p);
      }
      if (!add) {
        s.Remove(other);
      } else if (other.Count() > 0) {
        s.Add(other[0]);
      }
      std::set<long long> held;
      for (std::size_t k = 0; k < s.Count(); ++k) {
        ASSERT_TRUE(s[k].begin < s[k].end && (k == 0 || s[k - 1].end < s[k].begin)) << Show(s);
        for (long long p = s[k].begin; p < s[k].end; ++p) held.insert(p);
      }
      ASSERT_EQ(held, model) << Show(s);
    }
  }
}
