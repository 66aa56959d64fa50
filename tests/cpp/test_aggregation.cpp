// Fold statistics and the five aggregators.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "floats.hpp"
#include "aggregation.hpp"

namespace quor {
namespace {

using test_floats::kNaN;
using test_floats::kInf;
using test_floats::bits;

// The aggregate of the scores' summary; the score taken straight from the
// list must be the same to the bit.
double aggregate(const char* name, double parameter, std::vector<double> scores) {
  const Aggregator aggregator = Aggregator::from_name(name, parameter, parameter, parameter);
  const double direct = aggregator.score(scores);
  const double value = aggregator.aggregate(fold_stats(std::move(scores), 5));
  EXPECT_EQ(bits(direct), bits(value));
  return value;
}

TEST(FoldStats, Summary) {
  const FoldStats s = fold_stats({1, 2, 3, 10}, 6);
  EXPECT_TRUE(s.mean == 4.0 && s.median == 2.5 && s.std == std::sqrt(12.5) && s.count == 4 && s.n_folds == 6);
  const FoldStats empty = fold_stats({}, 3);
  EXPECT_TRUE(empty.mean == -kInf && empty.median == -kInf && empty.std == 0.0 && empty.count == 0 && empty.n_folds == 3);
  const FoldStats one = fold_stats({-0.75}, 2);
  EXPECT_TRUE(one.mean == -0.75 && one.median == -0.75 && one.std == 0.0);
  // Fold order: 1e16 + 1 rounds back to 1e16, so the sum is 1 (0 in sorted order).
  EXPECT_EQ(fold_stats({1e16, 1, -1e16, 1}, 4).mean, 0.25);
  EXPECT_EQ(fold_stats({kNaN, 1, 2}, 3).median, 2.0);   // positive NaN last
  EXPECT_EQ(fold_stats({-kNaN, 1, 2}, 3).median, 1.0);  // negative NaN first
  EXPECT_TRUE(std::isnan(fold_stats({kNaN, 1, 2}, 3).mean));
  std::mt19937_64 rng(31);
  for (const std::size_t n : {2u, 3u, 256u, 257u, 1001u}) {  // lists longer than the stack copy too
    std::vector<double> scores(n);
    for (double& x : scores) x = std::normal_distribution<double>()(rng);
    std::vector<double> sorted = scores;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(fold_stats(scores, n).median, n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) * 0.5);
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
const std::vector<double> k1_2_3_10{1, 2, 3, 10};
INSTANTIATE_TEST_SUITE_P(
    Cases, AggregatorValues,
    testing::Values(
        AggregatorCase{"mean", 0, k1_2_3_10, 4.0}, AggregatorCase{"median", 0, k1_2_3_10, 2.5},
        AggregatorCase{"trimmed_mean", 0.25, k1_2_3_10, 2.5}, AggregatorCase{"trimmed_mean", 0.1, k1_2_3_10, 4.0},
        AggregatorCase{"trimmed_mean", 0.9, {10, 3, 2, 1}, 2.5},  // t capped at (4 − 1) / 2
        AggregatorCase{"trimmed_mean", 0.5, {9, 1, 5, 7, 3}, 5.0},
        AggregatorCase{"trimmed_mean", 0.39, {9, 1, 5, 7, 3}, 5.0},  // t = 1
        AggregatorCase{"trimmed_mean", -0.5, k1_2_3_10, 4.0}, AggregatorCase{"trimmed_mean", kNaN, k1_2_3_10, 4.0},
        AggregatorCase{"trimmed_mean", 7.0, k1_2_3_10, 2.5}, AggregatorCase{"trimmed_mean", 1e300, {1, 2, 3, 10, 0}, 2.0},
        AggregatorCase{"trimmed_mean", kInf, {1, 2, 3, 10, 0, 8}, 2.5},
        // Summed in sorted order: -1e16 + 1 + 1 + 1e16 = 0 (fold order would give 0.25).
        AggregatorCase{"trimmed_mean", 0.2, {1e16, 1, -1e16, 1, -2e16, 2e16}, 0.0},
        AggregatorCase{"signal_to_noise", 0.5, k1_2_3_10, 4.0 / (std::sqrt(12.5) + 0.5)},
        AggregatorCase{"signal_to_noise", 0.25, {3}, 12.0},
        AggregatorCase{"signal_to_noise", 0.0, {0.5, 0.5, 0.5}, kInf},  // unguarded division
        AggregatorCase{"signal_to_noise", 0.0, {-0.5, -0.5}, -kInf},
        AggregatorCase{"mean_minus_lambda_std", 2.0, k1_2_3_10, 4.0 - 2.0 * std::sqrt(12.5)},
        AggregatorCase{"mean_minus_lambda_std", 0.0, k1_2_3_10, 4.0}));

TEST(Aggregator, EdgeCases) {
  for (const char* name : {"mean", "median", "trimmed_mean", "signal_to_noise", "mean_minus_lambda_std"}) {
    EXPECT_EQ(aggregate(name, 0.3, {}), -kInf) << name;
  }
  EXPECT_TRUE(std::isnan(aggregate("signal_to_noise", 0.0, {0.0, 0.0})));
  std::mt19937_64 rng(77);
  for (int round = 0; round < 300; ++round) {  // trimmed mean against a brute force
    std::vector<double> scores(1 + rng() % 20);
    for (double& x : scores) x = std::normal_distribution<double>(0, 10)(rng);
    const double frac = std::uniform_real_distribution<double>(-0.2, 0.8)(rng);
    std::vector<double> sorted = scores;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    const std::size_t t = std::min<std::size_t>(frac > 0 ? static_cast<std::size_t>(std::floor(n * frac)) : 0, (n - 1) / 2);
    double sum = -0.0;
    for (std::size_t i = t; i < n - t; ++i) sum += sorted[i];
    EXPECT_EQ(bits(aggregate("trimmed_mean", frac, scores)), bits(sum / static_cast<double>(n - 2 * t)));
    EXPECT_EQ(aggregate("trimmed_mean", 0.5 + std::fabs(frac), scores), aggregate("median", 0, scores));
  }
}

}  // namespace
}  // namespace quor
