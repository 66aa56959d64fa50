// Impurity criteria, compared by bit pattern where the summation order is
// fixed: `impurity` must give exactly what the inline helpers give from sums
// and counts, since the fold scorers and histograms recompute it that way.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "floats.hpp"
#include "criterion.hpp"
#include "errors.hpp"
#include "ordering.hpp"
#include "portable_log2.hpp"

namespace quor {
namespace {

using test_floats::kNaN;
using test_floats::kInf;
using test_floats::bits;

using Doubles = std::vector<double>;
using Labels = std::vector<std::uint64_t>;

// Equal weights are no weights: the weighted median and absolute deviation
// of values that all weigh the same (a power of two, so every running sum is
// exact) are the unweighted ones, even counts (exactly half the weight at the
// middle) included; and weights that repeat a value are the value repeated.
TEST(Criterion, WeightedMedianOfEqualOrRepeatingWeights) {
  std::mt19937_64 rng(5);
  std::vector<std::pair<double, double>> scratch;
  Doubles sort_scratch;
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t n = 1 + rng() % 9;
    Doubles y(n), w(n, std::ldexp(1.0, static_cast<int>(rng() % 9) - 4)), repeated;
    Doubles integer_weights(n);
    for (std::size_t i = 0; i < n; ++i) {
      y[i] = static_cast<double>(rng() % 7) - 2.5;
      integer_weights[i] = static_cast<double>(1 + rng() % 3);
      for (int k = 0; k < integer_weights[i]; ++k) repeated.push_back(y[i]);
    }
    Doubles sorted = y;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(bits(weighted_median(y, w, scratch)), bits(median_of_sorted(sorted)));
    EXPECT_EQ(bits(weighted_mae_impurity(y, w, scratch)), bits(mae_impurity(y, sort_scratch)));
    std::sort(repeated.begin(), repeated.end());
    EXPECT_EQ(weighted_median(y, integer_weights, scratch), median_of_sorted(repeated));
  }
}

TEST(Criterion, WorkedValues) {
  const Criterion mse = Criterion::regression("mse"), mae = Criterion::regression("mae");
  EXPECT_EQ(mse.impurity(Doubles{1, 2, 3, 4}), 1.25);
  EXPECT_EQ(mae.impurity(Doubles{1, 2, 3, 4}), 1.0);
  EXPECT_EQ(mae.impurity(Doubles{5, 1, 100}), 99.0 / 3.0);
  EXPECT_EQ(mse.impurity(Doubles{0, 10, 10, 10}) - (3.0 * mse.impurity(Doubles{10, 10, 10}) + 1.0 * mse.impurity(Doubles{0})) / 4.0, 18.75);
  EXPECT_EQ(Criterion::classification("gini").impurity(Labels{0, 0, 1, 2}, 3), 0.625);
  EXPECT_EQ(Criterion::classification("entropy").impurity(Labels{0, 0, 1, 2}, 3), 1.5);
  EXPECT_EQ(Criterion::gini().impurity(Labels(5, 2), 3), 0.0);  // pure nodes: exactly 0
  EXPECT_EQ(Criterion::classification("entropy").impurity(Labels(5, 2), 3), 0.0);
  EXPECT_EQ(Criterion::gini().impurity(Labels{0, 0, 5}, 2), 1.0 - (2.0 / 3) * (2.0 / 3));  // label 5 counts in n only
  for (const char* name : {"mse", "variance", "mae"}) EXPECT_EQ(Criterion::regression(name).impurity(Doubles{}), 0.0);
  for (const char* name : {"gini", "entropy"}) EXPECT_EQ(Criterion::classification(name).impurity(Labels{}, 4), 0.0);
  EXPECT_THROW(mse.impurity(Labels{1}, 2), InternalError);
  EXPECT_THROW(Criterion::gini().impurity(Doubles{1.0}), InternalError);
}

TEST(Criterion, VarianceIsTheRawMomentHelperInSampleOrder) {
  std::mt19937_64 rng(9);
  std::normal_distribution<double> normal(1e6, 3.0);
  for (int round = 0; round < 100; ++round) {
    Doubles y(1 + rng() % 50);
    for (double& v : y) v = (rng() % 7 == 0) ? ((rng() % 2) ? 1e16 : -1e16) : normal(rng);
    if (round % 10 == 0) y.push_back(round % 20 ? kInf : kNaN);  // gives 0, not NaN
    double s1 = -0.0, s2 = -0.0;
    for (const double v : y) s1 += v, s2 += v * v;
    const double expected = variance_from_sums(s1, s2, static_cast<double>(y.size()));
    EXPECT_GE(expected, 0.0);
    EXPECT_EQ(bits(Criterion::regression("mse").impurity(y)), bits(expected));
    EXPECT_EQ(bits(Criterion::regression("variance").impurity(y)), bits(expected));
  }
  EXPECT_EQ(variance_from_sums(1.0, 0.0, 1.0), 0.0);  // negative clamps to 0
}

// Few classes are counted on the stack, many on the heap.
TEST(Criterion, ClassImpurityIsTheCountHelper) {
  std::mt19937_64 rng(4);
  for (const std::uint64_t n_classes : {1u, 2u, 32u, 33u, 300u}) {
    for (int round = 0; round < 20; ++round) {
      Labels labels(1 + rng() % 400), counts(n_classes, 0);
      for (auto& l : labels) {
        l = rng() % (n_classes + 2);
        if (l < n_classes) ++counts[l];
      }
      const double n = static_cast<double>(labels.size());
      EXPECT_EQ(bits(Criterion::classification("gini").impurity(labels, n_classes)), bits(gini_from_counts(std::span<const std::uint64_t>(counts), n)));
      EXPECT_EQ(bits(Criterion::classification("entropy").impurity(labels, n_classes)), bits(entropy_from_counts(std::span<const std::uint64_t>(counts), n)));
    }
  }
}

TEST(Criterion, MaeMatchesSortedMedianOracle) {
  std::mt19937_64 rng(12);
  Doubles scratch;
  for (int round = 0; round < 200; ++round) {
    Doubles y(1 + rng() % 30);
    for (double& v : y) v = static_cast<double>(static_cast<int>(rng() % 41) - 20) * 0.37;
    Doubles s = y;
    std::sort(s.begin(), s.end());
    const std::size_t n = y.size();
    const double median = n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) * 0.5;
    double sum = -0.0;
    for (const double v : y) sum += std::fabs(v - median);  // sample order
    EXPECT_EQ(bits(mae_impurity(y, scratch)), bits(sum / static_cast<double>(n)));
  }
}

TEST(TotalOrder, SortAndMedian) {
  const double neg_nan = -kNaN;
  Doubles v{kNaN, 1.0, -0.0, neg_nan, -kInf, 0.0, -1.0, kInf, -0.0};
  sort_total_order(v);
  const Doubles expected{neg_nan, -kInf, -1.0, -0.0, -0.0, 0.0, 1.0, kInf, kNaN};
  for (std::size_t i = 0; i < v.size(); ++i) EXPECT_EQ(bits(v[i]), bits(expected[i])) << i;
  for (const double x : expected) EXPECT_EQ(bits(from_total_order_key(total_order_key(x))), bits(x));
  EXPECT_EQ(median_of_sorted(Doubles{4.0}), 4.0);
  EXPECT_EQ(median_of_sorted(Doubles{1, 2, 3, 10}), 2.5);
  EXPECT_EQ(median_of_sorted(Doubles{1, 2, 10}), 2.0);
}

// The entropy's logarithm: exact on powers of two, the correctly rounded value
// at stored references (found with 300-bit arithmetic), and never more than one
// unit in the last place from the C library's log2 on class frequencies k/m.
TEST(PortableLog2, ExactWhereExactAndWithinOneUlpElsewhere) {
  for (int e = -1074; e <= 1023; ++e) EXPECT_EQ(portable_log2(std::ldexp(1.0, e)), e);
  const double references[][2] = {
      {0x1.5555555555555p-2, -0x1.95c01a39fbd69p+0}, {0x1.5555555555555p-1, -0x1.2b803473f7ad2p-1},
      {0x1.999999999999ap-4, -0x1.a934f0979a371p+1}, {0x1.6db6db6db6db7p-1, -0x1.f113baed305dbp-2},
      {0x1.ff7ced916872bp-1, -0x1.7a6210ffb7151p-10}, {0x1.56e1fc2f8f359p-997, -0x1.f24a09f1a8b89p+9},
      {0x0.00000000017b8p-1022, -0x1.095ba69b8fa1bp+10}, {0x1.fffffffffffffp+1023, 0x1.0000000000000p+10},
      {0x1.6a09e667f3bcdp+0, 0x1.0000000000001p-1}, {0x1.6a09e667f3bcdp-1, -0x1.ffffffffffffep-2}};
  for (const auto& [x, log2_x] : references) EXPECT_EQ(bits(portable_log2(x)), bits(log2_x)) << x;
  for (std::uint64_t m = 1; m <= 300; ++m) {
    for (std::uint64_t k = 1; k <= m; ++k) {
      const double p = static_cast<double>(k) / static_cast<double>(m);
      const auto a = static_cast<std::int64_t>(bits(portable_log2(p)));
      const auto b = static_cast<std::int64_t>(bits(std::log2(p)));
      ASSERT_LE(std::max(a - b, b - a), 1) << k << "/" << m;
    }
  }
}

}  // namespace
}  // namespace quor
