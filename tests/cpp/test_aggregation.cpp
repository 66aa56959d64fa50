// Fold statistics, the five aggregators and the choice of a node's split.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "aggregation.hpp"

namespace quor {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

double aggregate(const char* name, double parameter, std::vector<double> scores) {
  return Aggregator::from_name(name, parameter, parameter, parameter).aggregate(fold_stats(std::move(scores), 5));
}

TEST(FoldStats, WorkedExample) {
  const FoldStats s = fold_stats({1, 2, 3, 10}, 6);
  EXPECT_EQ(s.mean, 4.0);
  EXPECT_EQ(s.median, 2.5);
  EXPECT_EQ(s.std, std::sqrt(12.5));
  EXPECT_EQ(s.count, 4u);
  EXPECT_EQ(s.n_folds, 6u);
  EXPECT_EQ(s.scores, (std::vector<double>{1, 2, 3, 10}));  // fold order kept
}

TEST(FoldStats, EmptyAndSingle) {
  const FoldStats empty = fold_stats({}, 3);
  EXPECT_EQ(empty.mean, -kInf);
  EXPECT_EQ(empty.median, -kInf);
  EXPECT_EQ(empty.std, 0.0);
  EXPECT_EQ(empty.count, 0u);
  EXPECT_EQ(empty.n_folds, 3u);
  const FoldStats one = fold_stats({-0.75}, 2);
  EXPECT_EQ(one.mean, -0.75);
  EXPECT_EQ(one.median, -0.75);
  EXPECT_EQ(one.std, 0.0);
}

TEST(FoldStats, SumsRunInFoldOrder) {
  // In fold order 1e16 + 1 rounds back to 1e16, so the sum is 1; in sorted
  // order it is 0. The mean must be the fold-order one.
  const FoldStats s = fold_stats({1e16, 1, -1e16, 1}, 4);
  EXPECT_EQ(s.mean, 0.25);
  double sq = -0.0;
  for (const double x : s.scores) sq += (x - 0.25) * (x - 0.25);
  EXPECT_EQ(bits(s.std), bits(std::sqrt(sq / 4.0)));
}

TEST(FoldStats, MedianUsesTotalOrder) {
  EXPECT_EQ(fold_stats({kNaN, 1, 2}, 3).median, 2.0);    // positive NaN last
  EXPECT_EQ(fold_stats({-kNaN, 1, 2}, 3).median, 1.0);   // negative NaN first
  EXPECT_TRUE(std::signbit(fold_stats({0.0, -0.0, -0.0}, 3).median));
  EXPECT_TRUE(std::isnan(fold_stats({kNaN, 1, 2}, 3).mean));
}

TEST(FoldStats, LongListsMatchSortedOracle) {
  std::mt19937_64 rng(31);
  std::normal_distribution<double> normal;
  for (const std::size_t n : {2u, 3u, 255u, 256u, 257u, 1001u}) {
    std::vector<double> scores(n);
    for (double& x : scores) x = normal(rng);
    std::vector<double> sorted = scores;
    std::sort(sorted.begin(), sorted.end());
    const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) * 0.5;
    EXPECT_EQ(fold_stats(scores, n).median, median) << n;
  }
}

struct AggregatorCase {
  const char* name;
  double parameter;
  std::vector<double> scores;
  double expected;
};

class AggregatorValues : public testing::TestWithParam<AggregatorCase> {};

TEST_P(AggregatorValues, Value) {
  const AggregatorCase& c = GetParam();
  EXPECT_EQ(bits(aggregate(c.name, c.parameter, c.scores)), bits(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AggregatorValues,
    testing::Values(
        AggregatorCase{"mean", 0, {1, 2, 3, 10}, 4.0},
        AggregatorCase{"median", 0, {1, 2, 3, 10}, 2.5},
        AggregatorCase{"trimmed_mean", 0.25, {1, 2, 3, 10}, 2.5},
        AggregatorCase{"trimmed_mean", 0.1, {1, 2, 3, 10}, 4.0},
        AggregatorCase{"trimmed_mean", 0.9, {10, 3, 2, 1}, 2.5},  // t capped at (4 − 1) / 2 = 1
        AggregatorCase{"trimmed_mean", 0.5, {9, 1, 5, 7, 3}, 5.0},
        AggregatorCase{"trimmed_mean", 0.4, {9, 1, 5, 7, 3}, 5.0},  // floor(2.0) = 2
        AggregatorCase{"trimmed_mean", 0.39, {9, 1, 5, 7, 3}, 5.0},  // t = 1: (3 + 5 + 7) / 3
        AggregatorCase{"trimmed_mean", -0.5, {1, 2, 3, 10}, 4.0},
        AggregatorCase{"trimmed_mean", kNaN, {1, 2, 3, 10}, 4.0},
        AggregatorCase{"trimmed_mean", -kInf, {1, 2, 3, 10}, 4.0},
        AggregatorCase{"trimmed_mean", 7.0, {1, 2, 3, 10}, 2.5},
        AggregatorCase{"trimmed_mean", 1e300, {1, 2, 3, 10, 0}, 2.0},
        AggregatorCase{"trimmed_mean", kInf, {1, 2, 3, 10, 0, 8}, 2.5},
        AggregatorCase{"trimmed_mean", 0.5, {-0.5}, -0.5},
        // Sorted-order sum after dropping one from each end: -1e16 + 1 + 1 + 1e16.
        AggregatorCase{"trimmed_mean", 0.2, {1e16, 1, -1e16, 1, -2e16, 2e16}, 0.0},
        AggregatorCase{"signal_to_noise", 0.5, {1, 2, 3, 10}, 4.0 / (std::sqrt(12.5) + 0.5)},
        AggregatorCase{"signal_to_noise", 0.25, {3}, 12.0},
        AggregatorCase{"mean_minus_lambda_std", 2.0, {1, 2, 3, 10}, 4.0 - 2.0 * std::sqrt(12.5)},
        AggregatorCase{"mean_minus_lambda_std", 0.0, {1, 2, 3, 10}, 4.0},
        AggregatorCase{"mean_minus_lambda_std", -1.0, {1, 2, 3, 10}, 4.0 + std::sqrt(12.5)}));

TEST(Aggregator, EmptyListIsMinusInfinityForEveryKind) {
  for (const char* name : {"mean", "median", "trimmed_mean", "signal_to_noise", "mean_minus_lambda_std"}) {
    for (const double parameter : {0.0, 0.3, kNaN}) {
      EXPECT_EQ(aggregate(name, parameter, {}), -kInf) << name;
    }
  }
}

TEST(Aggregator, SignalToNoiseDividesWithoutGuard) {
  EXPECT_EQ(aggregate("signal_to_noise", 0.0, {0.5, 0.5, 0.5}), kInf);
  EXPECT_EQ(aggregate("signal_to_noise", 0.0, {-0.5, -0.5}), -kInf);
  EXPECT_TRUE(std::isnan(aggregate("signal_to_noise", 0.0, {0.0, 0.0})));
}

TEST(Aggregator, TrimmedMeanMatchesBruteForce) {
  std::mt19937_64 rng(77);
  std::normal_distribution<double> normal(0, 10);
  for (int round = 0; round < 300; ++round) {
    std::vector<double> scores(1 + rng() % 20);
    for (double& x : scores) x = normal(rng);
    const double frac = std::uniform_real_distribution<double>(-0.2, 0.8)(rng);
    std::vector<double> sorted = scores;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    std::size_t t = frac > 0 ? static_cast<std::size_t>(std::floor(n * frac)) : 0;
    t = std::min(t, (n - 1) / 2);
    double sum = -0.0;
    for (std::size_t i = t; i < n - t; ++i) sum += sorted[i];
    EXPECT_EQ(bits(aggregate("trimmed_mean", frac, scores)), bits(sum / static_cast<double>(n - 2 * t)));
    // Past a half, the trimmed mean is the median.
    EXPECT_EQ(aggregate("trimmed_mean", 0.5 + std::fabs(frac), scores), aggregate("median", 0, scores));
  }
}

ScoredSplit record(double score, std::uint64_t feature, std::uint32_t code) {
  ScoredSplit r;
  r.score = score;
  r.feature = feature;
  r.code = code;
  return r;
}

TEST(ChooseBestSplit, FiniteOnlyThenFeatureThenCode) {
  EXPECT_EQ(choose_best_split({}), nullptr);
  const std::vector<ScoredSplit> none{record(kNaN, 0, 0), record(kInf, 1, 0), record(-kInf, 2, 0)};
  EXPECT_EQ(choose_best_split(none), nullptr);
  // A NaN first must not block the comparison with later records.
  const std::vector<ScoredSplit> nan_first{record(kNaN, 0, 0), record(0.1, 3, 2), record(0.2, 4, 1)};
  EXPECT_EQ(choose_best_split(nan_first), &nan_first[2]);
  const std::vector<ScoredSplit> ties{record(0.5, 2, 1), record(0.5, 1, 9), record(0.5, 1, 3), record(0.4, 0, 0)};
  EXPECT_EQ(choose_best_split(ties), &ties[2]);
  const std::vector<ScoredSplit> zeros{record(0.0, 2, 1), record(-0.0, 1, 1)};  // equal scores
  EXPECT_EQ(choose_best_split(zeros), &zeros[1]);
}

TEST(ChooseBestSplit, IndependentOfRecordOrder) {
  std::mt19937_64 rng(8);
  const double pool[] = {kNaN, kInf, -kInf, 0.0, 0.25, 0.5, -1.0};
  for (int round = 0; round < 300; ++round) {
    std::vector<ScoredSplit> records;
    for (std::uint64_t f = 0; f < 4; ++f) {
      for (std::uint32_t code = 0; code < 3; ++code) {
        if (rng() % 3 != 0) records.push_back(record(pool[rng() % 7], f, code));
      }
    }
    // Oracle: scan for the maximum finite score, then the lexicographic minimum.
    const ScoredSplit* expected = nullptr;
    for (const ScoredSplit& r : records) {
      if (!std::isfinite(r.score)) continue;
      if (!expected || r.score > expected->score) expected = &r;
    }
    for (const ScoredSplit& r : records) {
      if (expected && r.score == expected->score &&
          std::make_pair(r.feature, r.code) < std::make_pair(expected->feature, expected->code)) {
        expected = &r;
      }
    }
    const bool any = expected != nullptr;
    const auto key = any ? std::make_pair(expected->feature, expected->code) : std::make_pair(std::uint64_t{0}, 0u);
    std::shuffle(records.begin(), records.end(), rng);
    const ScoredSplit* best = choose_best_split(records);
    ASSERT_EQ(best != nullptr, any);
    if (best) {
      EXPECT_EQ(std::make_pair(best->feature, best->code), key);
    }
  }
}

}  // namespace
}  // namespace quor
