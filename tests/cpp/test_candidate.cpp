// Split candidates of one feature at one node, checked against the binning
// rules applied sample by sample.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
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

FeatureColumn continuous(std::vector<double> values) {
  FeatureColumn c;
  c.values = std::move(values);
  return c;
}

std::vector<std::uint64_t> all_samples(const FeatureColumn& c) {
  std::vector<std::uint64_t> s(c.size());
  std::iota(s.begin(), s.end(), 0);
  return s;
}

std::vector<std::uint32_t> candidates_of(const FeatureColumn& c, std::uint64_t n_bins) {
  return split_candidates(c, all_samples(c), n_bins);
}

TEST(SplitCandidates, WorkedExamples) {
  EXPECT_EQ(candidates_of(continuous({1, 2, 3, 4}), 4), (std::vector<std::uint32_t>{0, 1, 2, 3}));
  EXPECT_EQ(candidates_of(continuous({1, 1, 1, 1, 2}), 4), (std::vector<std::uint32_t>{3}));
  EXPECT_EQ(candidates_of(continuous({kNaN, 5, kInf, -kInf}), 2), (std::vector<std::uint32_t>{1}));
  FeatureColumn cat;
  cat.is_categorical = true;
  cat.codes = {5, 2, kMissingBin, 5, 9};
  EXPECT_EQ(candidates_of(cat, 4), (std::vector<std::uint32_t>{2, 5, 9}));
}

TEST(SplitCandidates, OneBinOrNothingFinite) {
  for (const std::uint64_t n_bins : {0u, 1u}) {
    EXPECT_EQ(candidates_of(continuous({3, -1, kNaN, 8}), n_bins), (std::vector<std::uint32_t>{0}));
  }
  EXPECT_TRUE(candidates_of(continuous({kNaN, kInf, -kInf}), 8).empty());
  EXPECT_TRUE(candidates_of(continuous({}), 8).empty());
  FeatureColumn cat;
  cat.is_categorical = true;
  cat.codes = {kMissingBin, kMissingBin};
  EXPECT_TRUE(candidates_of(cat, 8).empty());
}

// Only the node's samples count: the rest of the column is invisible, and the
// edges come from the node's values alone.
TEST(SplitCandidates, MatchesBinsOfTheNodeSamples) {
  std::mt19937_64 rng(21);
  std::uniform_int_distribution<int> small(0, 30);
  for (int round = 0; round < 200; ++round) {
    std::vector<double> values(300);
    for (double& v : values) v = (rng() % 9 == 0) ? kNaN : small(rng) * 1.5;
    const FeatureColumn column = continuous(values);
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
    const auto got = split_candidates(column, samples, n_bins);
    EXPECT_EQ(got, std::vector<std::uint32_t>(expected.begin(), expected.end()));
    // The highest occupied bin is the last bin of the node's edges.
    if (!got.empty()) {
      EXPECT_EQ(got.back(), edges.size());
    }
  }
}

TEST(SplitCandidates, CategoricalCodesOfTheNodeOnly) {
  FeatureColumn cat;
  cat.is_categorical = true;
  cat.codes = {7, 3, kMissingBin, 3, 4294967294u, 0, 12};
  EXPECT_EQ(split_candidates(cat, std::vector<std::uint64_t>{4, 1, 2, 3, 1}, 2),
            (std::vector<std::uint32_t>{3, 4294967294u}));
  EXPECT_EQ(split_candidates(cat, std::vector<std::uint64_t>{6, 5, 0}, 2), (std::vector<std::uint32_t>{0, 7, 12}));
}

TEST(SideRule, MissingAlwaysGoesRight) {
  EXPECT_EQ(side_test(SplitStyle::Threshold, false), SideTest::Threshold);
  EXPECT_EQ(side_test(SplitStyle::Bin, false), SideTest::Equality);
  EXPECT_EQ(side_test(SplitStyle::Threshold, true), SideTest::Equality);
  EXPECT_TRUE(goes_left(SideTest::Threshold, 2, 2));
  EXPECT_TRUE(goes_left(SideTest::Threshold, 0, 2));
  EXPECT_FALSE(goes_left(SideTest::Threshold, 3, 2));
  EXPECT_FALSE(goes_left(SideTest::Equality, 1, 2));
  for (const std::uint32_t g : {0u, 5u, kMissingBin - 1, kMissingBin}) {
    EXPECT_FALSE(goes_left(SideTest::Threshold, kMissingBin, g));
  }
  EXPECT_FALSE(goes_left(SideTest::Equality, kMissingBin, 5));
}

}  // namespace
}  // namespace quor
