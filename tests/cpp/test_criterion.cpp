// Impurity criteria. Values whose summation order is fixed are compared by bit
// pattern; in particular `impurity` must be bit-identical to the inline
// helpers that the fold scorers and histograms recompute from sums and counts.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "criterion.hpp"
#include "errors.hpp"

namespace quor {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

std::vector<Criterion> all_regression() {
  return {Criterion::regression("mse"), Criterion::regression("variance"), Criterion::regression("mae")};
}

TEST(Criterion, EmptyTargetsHaveZeroImpurity) {
  for (const Criterion& c : all_regression()) {
    EXPECT_EQ(c.impurity(std::span<const double>()), 0.0) << c.name();
  }
  for (const char* name : {"gini", "entropy"}) {
    for (const std::uint64_t n_classes : {0u, 3u, 1000u}) {
      EXPECT_EQ(Criterion::classification(name, n_classes).impurity(std::span<const std::uint64_t>()), 0.0);
    }
  }
}

TEST(Criterion, WorkedRegressionValues) {
  const std::vector<double> y{1, 2, 3, 4};
  EXPECT_EQ(Criterion::regression("mse").impurity(y), 1.25);
  EXPECT_EQ(Criterion::regression("variance").impurity(y), 1.25);
  EXPECT_EQ(Criterion::regression("mae").impurity(y), 1.0);
  EXPECT_EQ(Criterion::regression("mae").impurity(std::vector<double>{5, 1, 100}), (4.0 + 0.0 + 95.0) / 3.0);
  // Decrease of the split [0] | [10, 10, 10].
  const Criterion mse = Criterion::mse();
  const double parent = mse.impurity(std::vector<double>{0, 10, 10, 10});
  const double decrease =
      parent - (3.0 * mse.impurity(std::vector<double>{10, 10, 10}) + 1.0 * mse.impurity(std::vector<double>{0})) / 4.0;
  EXPECT_EQ(parent, 18.75);
  EXPECT_EQ(decrease, 18.75);
}

TEST(Criterion, VarianceIsTheRawMomentFormulaInSampleOrder) {
  std::mt19937_64 rng(9);
  std::normal_distribution<double> normal(1e6, 3.0);
  const Criterion mse = Criterion::regression("mse");
  const Criterion variance = Criterion::regression("variance");
  for (int round = 0; round < 100; ++round) {
    std::vector<double> y(1 + rng() % 50);
    for (double& v : y) v = (rng() % 7 == 0) ? 1e16 * ((rng() % 2) ? 1 : -1) : normal(rng);
    if (round % 10 == 0) y.push_back(kInf);
    if (round % 10 == 1) y.push_back(kNaN);
    double s1 = -0.0, s2 = -0.0;
    for (const double v : y) {
      s1 += v;
      s2 += v * v;
    }
    const double expected = variance_from_sums(s1, s2, static_cast<double>(y.size()));
    EXPECT_EQ(bits(mse.impurity(y)), bits(expected));
    EXPECT_EQ(bits(variance.impurity(y)), bits(expected));
  }
}

TEST(Criterion, VarianceNeverNegativeOrNaN) {
  // Raw moments of non-representable constants cancel to a tiny value; it
  // must not go below 0, and infinities give 0 rather than NaN.
  EXPECT_EQ(variance_from_sums(kInf, kInf, 2.0), 0.0);
  EXPECT_EQ(variance_from_sums(1.0, 0.0, 1.0), 0.0);
  const Criterion mse = Criterion::mse();
  for (const double c : {0.1, 0.3, 1e-7, 12345.678}) {
    const double v = mse.impurity(std::vector<double>(7, c));
    EXPECT_GE(v, 0.0);
    EXPECT_LT(v, 1e-9 * std::max(1.0, c * c));
  }
  EXPECT_EQ(mse.impurity(std::vector<double>{kInf, 1.0}), 0.0);
  EXPECT_EQ(mse.impurity(std::vector<double>{kNaN}), 0.0);
  EXPECT_EQ(mse.impurity(std::vector<double>(4, 3.0)), 0.0);
}

TEST(Criterion, WorkedClassificationValues) {
  const std::vector<std::uint64_t> labels{0, 0, 1, 2};
  EXPECT_EQ(Criterion::classification("gini", 3).impurity(labels), 0.625);
  EXPECT_EQ(Criterion::classification("entropy", 3).impurity(labels), 1.5);
  // Pure nodes give exactly zero.
  EXPECT_EQ(Criterion::gini(3).impurity(std::vector<std::uint64_t>(5, 2)), 0.0);
  EXPECT_EQ(Criterion::classification("entropy", 3).impurity(std::vector<std::uint64_t>(5, 2)), 0.0);
  // Labels past n_classes are not counted but still count in n:
  // counts [2, 0] over n = 3.
  EXPECT_EQ(Criterion::gini(2).impurity(std::vector<std::uint64_t>{0, 0, 5}), 1.0 - (2.0 / 3) * (2.0 / 3));
  EXPECT_EQ(Criterion::classification("entropy", 2).impurity(std::vector<std::uint64_t>{0, 0, 5}),
            -((2.0 / 3) * std::log2(2.0 / 3)));
}

// Few classes count on the stack, many on the heap; both must give the helper's bits.
TEST(Criterion, ClassImpurityIsTheCountHelper) {
  std::mt19937_64 rng(4);
  for (const std::uint64_t n_classes : {1u, 2u, 5u, 32u, 33u, 300u}) {
    for (int round = 0; round < 20; ++round) {
      std::vector<std::uint64_t> labels(1 + rng() % 400);
      for (auto& l : labels) l = rng() % (n_classes + 2);  // some labels out of range
      std::vector<std::uint64_t> counts(n_classes, 0);
      for (const auto l : labels) {
        if (l < n_classes) ++counts[l];
      }
      const double n = static_cast<double>(labels.size());
      const std::span<const std::uint64_t> cs(counts);
      EXPECT_EQ(bits(Criterion::classification("gini", n_classes).impurity(labels)),
                bits(gini_from_counts(cs, n)));
      EXPECT_EQ(bits(Criterion::classification("entropy", n_classes).impurity(labels)),
                bits(entropy_from_counts(cs, n)));
    }
  }
}

TEST(Criterion, WrongTargetKindIsAnInternalError) {
  EXPECT_THROW(Criterion::mse().impurity(std::vector<std::uint64_t>{1}), InternalError);
  EXPECT_THROW(Criterion::gini(2).impurity(std::vector<double>{1.0}), InternalError);
}

TEST(Mae, MatchesSortedMedianOracle) {
  std::mt19937_64 rng(12);
  std::uniform_int_distribution<int> small(-20, 20);
  std::vector<double> scratch;
  for (int round = 0; round < 200; ++round) {
    std::vector<double> y(1 + rng() % 30);
    for (double& v : y) v = small(rng) * 0.37;
    std::vector<double> sorted = y;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = y.size();
    const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) * 0.5;
    double sum = -0.0;
    for (const double v : y) sum += std::fabs(v - median);
    EXPECT_EQ(bits(mae_impurity(y, scratch)), bits(sum / static_cast<double>(n)));
    EXPECT_EQ(bits(Criterion::regression("mae").impurity(y)), bits(sum / static_cast<double>(n)));
  }
}

TEST(TotalOrder, SortPlacesNaNsAndZeros) {
  const double neg_nan = -std::numeric_limits<double>::quiet_NaN();
  ASSERT_TRUE(std::signbit(neg_nan));
  std::vector<double> v{kNaN, 1.0, -0.0, neg_nan, -kInf, 0.0, -1.0, kInf, -0.0};
  sort_total_order(v);
  const std::vector<double> expected{neg_nan, -kInf, -1.0, -0.0, -0.0, 0.0, 1.0, kInf, kNaN};
  ASSERT_EQ(v.size(), expected.size());
  for (std::size_t i = 0; i < v.size(); ++i) EXPECT_EQ(bits(v[i]), bits(expected[i])) << "position " << i;
  // Round trip through the key for every class of value.
  for (const double x : expected) EXPECT_EQ(bits(from_total_order_key(total_order_key(x))), bits(x));
}

TEST(TotalOrder, MedianOfSorted) {
  EXPECT_EQ(median_of_sorted(std::vector<double>{4.0}), 4.0);
  EXPECT_EQ(median_of_sorted(std::vector<double>{1, 2, 3, 10}), 2.5);
  EXPECT_EQ(median_of_sorted(std::vector<double>{1, 2, 10}), 2.0);
  // A positive NaN sorts last, so a median below it stays finite.
  std::vector<double> v{kNaN, 3.0, 1.0};
  sort_total_order(v);
  EXPECT_EQ(median_of_sorted(v), 3.0);
}

}  // namespace
}  // namespace quor
