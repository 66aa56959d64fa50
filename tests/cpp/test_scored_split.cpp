// The choice of a node's split among its scored splits.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "floats.hpp"
#include "scored_split.hpp"

namespace quor {
namespace {

using test_floats::kNaN;
using test_floats::kInf;

ScoredSplit scored_split(double score, std::uint64_t feature, std::uint32_t code) {
  ScoredSplit r;
  r.score = score, r.feature = feature, r.code = code;
  return r;
}

TEST(ChooseBestSplit, FiniteOnlyThenFeatureThenCode) {
  EXPECT_EQ(choose_best_split({}), nullptr);
  EXPECT_EQ(choose_best_split(std::vector{scored_split(kNaN, 0, 0), scored_split(kInf, 1, 0), scored_split(-kInf, 2, 0)}), nullptr);
  const std::vector nan_first{scored_split(kNaN, 0, 0), scored_split(0.1, 3, 2), scored_split(0.2, 4, 1)};
  EXPECT_EQ(choose_best_split(nan_first), &nan_first[2]);
  const std::vector zeros{scored_split(0.0, 2, 1), scored_split(-0.0, 1, 1)};  // equal scores
  EXPECT_EQ(choose_best_split(zeros), &zeros[1]);
  // Random pools, shuffled: the winner is always the same (feature, code).
  std::mt19937_64 rng(8);
  const double pool[] = {kNaN, kInf, -kInf, 0.0, 0.25, 0.5, -1.0};
  for (int round = 0; round < 300; ++round) {
    std::vector<ScoredSplit> scored;
    for (std::uint64_t f = 0; f < 4; ++f) {
      for (std::uint32_t code = 0; code < 3; ++code) {
        if (rng() % 3) scored.push_back(scored_split(pool[rng() % 7], f, code));
      }
    }
    double best = -kInf;
    for (const auto& r : scored) best = std::isfinite(r.score) ? std::max(best, r.score) : best;
    // Scored splits are generated in (feature, code) order: the first with the best score must win.
    const auto it = best == -kInf ? scored.end() : std::find_if(scored.begin(), scored.end(), [&](const ScoredSplit& r) { return r.score == best; });
    const auto expected = it == scored.end() ? std::pair<std::uint64_t, std::uint32_t>() : std::pair(it->feature, it->code);
    std::shuffle(scored.begin(), scored.end(), rng);
    const ScoredSplit* chosen = choose_best_split(scored);
    ASSERT_EQ(chosen != nullptr, it != scored.end());
    if (chosen) {
      EXPECT_EQ(std::pair(chosen->feature, chosen->code), expected);
    }
  }
}

}  // namespace
}  // namespace quor
