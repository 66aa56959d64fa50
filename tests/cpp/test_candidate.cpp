// Split candidates of one feature at one node, against the binning rules
// applied sample by sample, and the side rule: the stored split's test on raw
// values sends every value where the code test sends its bin.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "floats.hpp"
#include "candidate.hpp"
#include "ordering.hpp"
#include "reference.hpp"
#include "split.hpp"

namespace quor {
namespace {

using test_floats::kNaN;
using test_floats::kInf;

using quor::testing::bin_of;

using Codes = std::vector<std::uint32_t>;

Codes continuous_candidates(const std::vector<double>& values, std::span<const std::uint64_t> samples,
                            std::uint64_t n_bins) {
  std::vector<double> sorted;
  for (const SortedValue& e : sort_finite_samples(values, samples)) sorted.push_back(e.value);
  return split_candidates_sorted(sorted, n_bins);
}
Codes candidates_of(const std::vector<double>& values, std::uint64_t n_bins) {
  std::vector<std::uint64_t> samples(values.size());
  std::iota(samples.begin(), samples.end(), 0);
  return continuous_candidates(values, samples, n_bins);
}

TEST(SplitCandidates, SmallCases) {
  EXPECT_EQ(candidates_of({1, 2, 3, 4}, 4), (Codes{0, 1, 2, 3}));
  EXPECT_EQ(candidates_of({1, 1, 1, 1, 2}, 4), (Codes{3}));
  EXPECT_EQ(candidates_of({kNaN, 5, kInf, -kInf}, 2), (Codes{1}));
  for (const std::uint64_t n_bins : {0u, 1u}) EXPECT_EQ(candidates_of({3, -1, kNaN}, n_bins), (Codes{0}));
  EXPECT_TRUE(candidates_of({kNaN, kInf, -kInf}, 8).empty());
  const Codes cat = {5, 2, kMissingCode, 5, 9, 4294967294u};
  EXPECT_EQ(category_candidates(cat, std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}), (Codes{2, 5, 9, 4294967294u}));
  EXPECT_EQ(category_candidates(cat, std::vector<std::uint64_t>{2, 3, 0}), (Codes{5}));  // the node's samples only
  EXPECT_TRUE(category_candidates(cat, std::vector<std::uint64_t>{2}).empty());
}

TEST(SplitCandidates, BinsOfTheNodeSamplesAgainstTheNodeEdges) {
  std::mt19937_64 rng(21);
  for (int round = 0; round < 200; ++round) {
    std::vector<double> values(300);
    for (double& v : values) v = (rng() % 9 == 0) ? kNaN : static_cast<double>(rng() % 31) * 1.5;
    std::vector<std::uint64_t> samples;
    for (std::uint64_t s = 0; s < values.size(); ++s) {
      if (rng() % 3 == 0) samples.push_back(s);
    }
    std::shuffle(samples.begin(), samples.end(), rng);
    const std::uint64_t n_bins = 1 + rng() % 40;
    std::vector<double> node_values;
    for (const auto s : samples) node_values.push_back(values[s]);
    const std::vector<double> edges = quantile_edges(node_values, n_bins);
    std::set<std::uint32_t> expected;
    for (const double x : node_values) {
      if (std::isfinite(x)) expected.insert(static_cast<std::uint32_t>(*bin_of(edges, x)));
    }
    const Codes got = continuous_candidates(values, samples, n_bins);
    ASSERT_EQ(got, Codes(expected.begin(), expected.end()));
    EXPECT_TRUE(got.empty() || got.back() == edges.size());  // the highest occupied bin is the last bin
  }
}

// For random edges (with repeats) and every candidate bin under both tests,
// the stored split's test on values agrees with the code test on their bins;
// missing values go right either way.
TEST(SideRule, StoredSplitSendsValuesWhereTheirCodesGo) {
  EXPECT_EQ(side_test(SplitStyle::Threshold, false), SideTest::Threshold);
  EXPECT_EQ(side_test(SplitStyle::Bin, false), SideTest::Membership);
  EXPECT_EQ(side_test(SplitStyle::Threshold, true), SideTest::Membership);
  std::mt19937_64 rng(8);
  for (int round = 0; round < 100; ++round) {
    std::vector<double> values(40);
    for (double& v : values) v = rng() % 10 == 0 ? (rng() % 2 ? kNaN : -kInf) : static_cast<double>(rng() % 9) - 4.0;
    const std::vector<double> edges = quantile_edges(values, 1 + rng() % 12);
    for (const SideTest test : {SideTest::Threshold, SideTest::Membership}) {
      for (std::uint32_t code = 0; code <= edges.size(); ++code) {
        const auto choice = interval_choice(3, test, code, bin_bounds(edges, code), 0.5);
        if (!choice) {  // only the last bin under the threshold test has no stored split
          EXPECT_TRUE(test == SideTest::Threshold && code == edges.size());
          continue;
        }
        EXPECT_EQ(choice->split.feature, 3u);
        for (const double x : values) {
          const auto bin = bin_of(edges, x);
          const std::uint32_t x_code = bin ? static_cast<std::uint32_t>(*bin) : kMissingCode;
          ASSERT_EQ(choice->split.goes_left(x), choice->code_goes_left(x_code)) << x << " code " << code;
          ASSERT_EQ(choice->code_goes_left(x_code), goes_left(test, x_code, code));
        }
      }
    }
  }
  const SplitChoice category = category_choice(1, 2, 7, 0.5);
  EXPECT_TRUE(category.split.goes_left_category(7) && category.code_goes_left(2u));
  EXPECT_FALSE(category.split.goes_left_category(kMissingCode) || category.split.goes_left(7.0));
  EXPECT_FALSE(goes_left(SideTest::Threshold, kMissingCode, kMissingCode - 1));
  EXPECT_FALSE(goes_left<std::uint16_t>(SideTest::Threshold, 0xFFFF, 0xFFFE));
}

}  // namespace
}  // namespace quor
