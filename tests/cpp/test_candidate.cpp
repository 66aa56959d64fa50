// Split candidates of one feature at one node, against the binning rules
// applied sample by sample.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "candidate.hpp"

namespace quor {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
using Codes = std::vector<std::uint32_t>;

Codes candidates_of(const FeatureColumn& c, std::uint64_t n_bins) {
  std::vector<std::uint64_t> samples(c.size());
  std::iota(samples.begin(), samples.end(), 0);
  return split_candidates(c, samples, n_bins);
}
FeatureColumn continuous(std::vector<double> v) { return FeatureColumn{false, std::move(v), {}}; }

TEST(SplitCandidates, SmallCases) {
  EXPECT_EQ(candidates_of(continuous({1, 2, 3, 4}), 4), (Codes{0, 1, 2, 3}));
  EXPECT_EQ(candidates_of(continuous({1, 1, 1, 1, 2}), 4), (Codes{3}));
  EXPECT_EQ(candidates_of(continuous({kNaN, 5, kInf, -kInf}), 2), (Codes{1}));
  for (const std::uint64_t n_bins : {0u, 1u}) EXPECT_EQ(candidates_of(continuous({3, -1, kNaN}), n_bins), (Codes{0}));
  EXPECT_TRUE(candidates_of(continuous({kNaN, kInf, -kInf}), 8).empty());
  const FeatureColumn cat{true, {}, {5, 2, kMissingCode, 5, 9, 4294967294u}};
  EXPECT_EQ(candidates_of(cat, 4), (Codes{2, 5, 9, 4294967294u}));
  EXPECT_EQ(split_candidates(cat, std::vector<std::uint64_t>{2, 3, 0}, 4), (Codes{5}));  // the node's samples only
  EXPECT_TRUE(split_candidates(cat, std::vector<std::uint64_t>{2}, 4).empty());
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
    const Codes got = split_candidates(continuous(values), samples, n_bins);
    ASSERT_EQ(got, Codes(expected.begin(), expected.end()));
    EXPECT_TRUE(got.empty() || got.back() == edges.size());  // the highest occupied bin is the last bin
  }
}

TEST(SideRule, MissingAlwaysGoesRight) {
  EXPECT_EQ(side_test(SplitStyle::Threshold, false), SideTest::Threshold);
  EXPECT_EQ(side_test(SplitStyle::Bin, false), SideTest::Equality);
  EXPECT_EQ(side_test(SplitStyle::Threshold, true), SideTest::Equality);
  EXPECT_TRUE(goes_left(SideTest::Threshold, 2, 2) && goes_left(SideTest::Threshold, 0, 2));
  EXPECT_FALSE(goes_left(SideTest::Threshold, 3, 2) || goes_left(SideTest::Equality, 1, 2));
  EXPECT_FALSE(goes_left(SideTest::Threshold, kMissingCode, kMissingCode - 1) || goes_left(SideTest::Equality, kMissingCode, 5));
}

}  // namespace
}  // namespace quor
