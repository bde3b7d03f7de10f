// The set of produced positions: merging, removal, equality, against a plain set model.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "transcode/RangeSet.h"

using Set = Vantor::EnsembleT<long long>;
using R = Vantor::RangeT<long long>;

namespace {

Set Make(std::initializer_list<std::pair<long long, long long>> ranges) {
  Set s;
  for (auto [b, e] : ranges) s.Add(R(b, e));
  return s;
}

std::string Show(const Set& s) {
  std::string out;
  for (std::size_t k = 0; k < s.Count(); ++k) out += "[" + std::to_string(s[k].begin) + "," + std::to_string(s[k].end) + ")";
  return "{" + out + "}";
}

}  // namespace

TEST(RangeSet, AddThenRemove) {
  const struct { Set start; R added; Set removed, expected; } cases[] = {
      {Make({{0, 5}}), R(5, 10), Set(), Make({{0, 10}})},
      {Make({{0, 20}}), R(21, 30), Set(), Make({{0, 20}, {21, 30}})},
      {Make({{10, 20}, {30, 40}, {200, 300}}), R(0, 100), Set(), Make({{0, 100}, {200, 300}})},
      {Make({{0, 10}, {40, 60}}), R(5, 50), Set(), Make({{0, 60}})},
      {Make({{0, 100}}), R(20, 30), Set(), Make({{0, 100}})},
      {Make({{0, 100}}), R(9, 3), Set(), Make({{0, 100}})},
      {Make({{-10, -5}}), R(-5, 0), Set(), Make({{-10, 0}})},
      {Make({{0, 100}}), R(0, 0), Make({{10, 20}, {30, 40}}), Make({{0, 10}, {20, 30}, {40, 100}})},
      {Make({{10, 20}}), R(0, 0), Make({{0, 100}}), Set()},
      {Make({{0, 20}}), R(0, 0), Make({{20, 30}}), Make({{0, 20}})},
      {Set(), R(0, 0), Make({{0, 5}}), Set()},
      {Make({{0, 10}, {20, 30}}), R(0, 0), Make({{5, 25}}), Make({{0, 5}, {25, 30}})},
  };
  for (const auto& c : cases) {
    Set s = c.start;
    s.Add(c.added);
    s.Remove(c.removed);
    EXPECT_TRUE(s == c.expected) << Show(c.start) << " gave " << Show(s);
  }
  EXPECT_TRUE(Set(R(5, 5)) == Set());
  EXPECT_TRUE(Make({{0, 5}, {5, 10}}) == Set(R(0, 10)));
  EXPECT_FALSE(Make({{0, 5}, {6, 10}}) == Set(R(0, 10)));
}

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
