// The choice of a node's split among its scored splits.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "scored_split.hpp"

namespace quor {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

ScoredSplit record(double score, std::uint64_t feature, std::uint32_t code) {
  ScoredSplit r;
  r.score = score, r.feature = feature, r.code = code;
  return r;
}

TEST(ChooseBestSplit, FiniteOnlyThenFeatureThenCode) {
  EXPECT_EQ(choose_best_split({}), nullptr);
  EXPECT_EQ(choose_best_split(std::vector{record(kNaN, 0, 0), record(kInf, 1, 0), record(-kInf, 2, 0)}), nullptr);
  const std::vector nan_first{record(kNaN, 0, 0), record(0.1, 3, 2), record(0.2, 4, 1)};
  EXPECT_EQ(choose_best_split(nan_first), &nan_first[2]);
  const std::vector zeros{record(0.0, 2, 1), record(-0.0, 1, 1)};  // equal scores
  EXPECT_EQ(choose_best_split(zeros), &zeros[1]);
  // Random pools, shuffled: the winner is always the same (feature, code).
  std::mt19937_64 rng(8);
  const double pool[] = {kNaN, kInf, -kInf, 0.0, 0.25, 0.5, -1.0};
  for (int round = 0; round < 300; ++round) {
    std::vector<ScoredSplit> records;
    for (std::uint64_t f = 0; f < 4; ++f) {
      for (std::uint32_t code = 0; code < 3; ++code) {
        if (rng() % 3) records.push_back(record(pool[rng() % 7], f, code));
      }
    }
    double best = -kInf;
    for (const auto& r : records) best = std::isfinite(r.score) ? std::max(best, r.score) : best;
    // Records are generated in (feature, code) order: the first with the best score must win.
    const auto it = best == -kInf ? records.end() : std::find_if(records.begin(), records.end(), [&](const ScoredSplit& r) { return r.score == best; });
    const auto expected = it == records.end() ? std::pair<std::uint64_t, std::uint32_t>() : std::pair(it->feature, it->code);
    std::shuffle(records.begin(), records.end(), rng);
    const ScoredSplit* chosen = choose_best_split(records);
    ASSERT_EQ(chosen != nullptr, it != records.end());
    if (chosen) {
      EXPECT_EQ(std::pair(chosen->feature, chosen->code), expected);
    }
  }
}

}  // namespace
}  // namespace quor
