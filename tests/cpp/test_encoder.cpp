// Binning rules and the fast-mode encoding. The oracle for quantile edges is a
// full sort by the total order followed by the position formula in 128 bits;
// the oracle for a bin is a linear count of the edges <= x.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "encoder.hpp"
#include "errors.hpp"

namespace quor {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<std::uint64_t> bits_of(const std::vector<double>& v) {
  std::vector<std::uint64_t> out;
  for (const double x : v) out.push_back(std::bit_cast<std::uint64_t>(x));
  return out;
}

// Sorts by sign-and-magnitude bits directly (not through the library's key).
bool total_less(double a, double b) {
  const auto ka = std::bit_cast<std::int64_t>(a);
  const auto kb = std::bit_cast<std::int64_t>(b);
  const auto flip = [](std::int64_t k) { return k < 0 ? k ^ std::numeric_limits<std::int64_t>::max() : k; };
  return flip(ka) < flip(kb);
}

std::vector<double> edges_by_full_sort(const std::vector<double>& values, std::uint64_t n_bins) {
  std::vector<double> finite;
  for (const double x : values) {
    if (std::isfinite(x)) finite.push_back(x);
  }
  if (n_bins < 2 || finite.empty()) return {};
  std::sort(finite.begin(), finite.end(), total_less);
  const std::uint64_t m = finite.size();
  std::vector<double> edges;
  for (std::uint64_t j = 0; j + 1 < n_bins; ++j) {
    const unsigned __int128 q = (static_cast<unsigned __int128>(j) + 1) * m / n_bins;
    edges.push_back(finite[std::min<std::uint64_t>(static_cast<std::uint64_t>(q), m - 1)]);
  }
  return edges;
}

std::uint64_t bin_by_count(const std::vector<double>& edges, double x) {
  std::uint64_t n = 0;
  for (const double e : edges) n += (e <= x) ? 1 : 0;
  return n;
}

// Values with many ties, both zeros, and the three kinds of missing value.
std::vector<double> awkward_values(std::mt19937_64& rng, std::size_t n) {
  std::uniform_int_distribution<int> kind(0, 9);
  std::uniform_int_distribution<int> small(-5, 5);
  std::normal_distribution<double> normal(0.0, 1e3);
  std::vector<double> v(n);
  for (double& x : v) {
    switch (kind(rng)) {
      case 0: x = kNaN; break;
      case 1: x = (small(rng) % 2 == 0) ? kInf : -kInf; break;
      case 2: x = (small(rng) % 2 == 0) ? 0.0 : -0.0; break;
      case 3:
      case 4: x = small(rng); break;
      default: x = normal(rng);
    }
  }
  return v;
}

TEST(QuantileEdges, WorkedExamples) {
  EXPECT_EQ(quantile_edges(std::vector<double>{1, 2, 3, 4}, 4), (std::vector<double>{2, 3, 4}));
  EXPECT_EQ(quantile_edges(std::vector<double>{1, 1, 1, 1, 2}, 4), (std::vector<double>{1, 1, 1}));
  EXPECT_EQ(quantile_edges(std::vector<double>{kNaN, 5, kInf}, 2), (std::vector<double>{5}));
}

TEST(QuantileEdges, FewBinsOrNoFiniteValueGiveNoEdges) {
  const std::vector<double> values{3, 1, 2};
  EXPECT_TRUE(quantile_edges(values, 0).empty());
  EXPECT_TRUE(quantile_edges(values, 1).empty());
  EXPECT_TRUE(quantile_edges(std::vector<double>{kNaN, kInf, -kInf}, 8).empty());
  EXPECT_TRUE(quantile_edges(std::vector<double>{}, 8).empty());
  // One finite value and many bins: every edge is that value.
  EXPECT_EQ(quantile_edges(std::vector<double>{kNaN, 7, -kInf}, 6), std::vector<double>(5, 7.0));
}

TEST(QuantileEdges, NegativeZeroSortsBeforePositiveZero) {
  // m = 2, n_bins = 2: the edge is the second value in total order, +0.
  const auto edge = quantile_edges(std::vector<double>{0.0, -0.0}, 2);
  ASSERT_EQ(edge.size(), 1u);
  EXPECT_FALSE(std::signbit(edge[0]));
  const auto edges = quantile_edges(std::vector<double>{0.0, -0.0, 0.0, -0.0}, 4);
  EXPECT_EQ(bits_of(edges), bits_of({-0.0, 0.0, 0.0}));
}

TEST(QuantileEdges, SelectionMatchesFullSort) {
  std::mt19937_64 rng(7);
  const std::uint64_t bin_counts[] = {2, 3, 4, 5, 8, 16, 31, 32, 33, 100, 255, 1000};
  for (const std::size_t n : {1u, 2u, 3u, 10u, 31u, 32u, 33u, 97u, 1000u, 5000u}) {
    const std::vector<double> values = awkward_values(rng, n);
    for (const std::uint64_t n_bins : bin_counts) {
      EXPECT_EQ(bits_of(quantile_edges(values, n_bins)), bits_of(edges_by_full_sort(values, n_bins)))
          << "n = " << n << ", n_bins = " << n_bins;
    }
    // Bin counts tied to the number of finite values, where positions collide.
    const auto m = static_cast<std::uint64_t>(
        std::count_if(values.begin(), values.end(), [](double x) { return std::isfinite(x); }));
    for (const std::uint64_t n_bins : {m, m + 1, 2 * m + 1, 3 * m}) {
      EXPECT_EQ(bits_of(quantile_edges(values, n_bins)), bits_of(edges_by_full_sort(values, n_bins)))
          << "n = " << n << ", n_bins = " << n_bins;
    }
  }
}

TEST(QuantileEdges, AtSamplesEqualsEdgesOfGatheredValues) {
  std::mt19937_64 rng(11);
  const std::vector<double> column = awkward_values(rng, 2000);
  std::vector<std::uint64_t> scratch;
  for (const std::size_t size : {1500u, 700u, 3u, 0u}) {
    std::vector<std::uint64_t> samples(size);
    std::uniform_int_distribution<std::uint64_t> pick(0, column.size() - 1);
    for (auto& s : samples) s = pick(rng);  // repeats allowed, any order
    std::vector<double> gathered;
    for (const auto s : samples) gathered.push_back(column[s]);
    const auto* before = scratch.data();
    const bool big_enough = scratch.size() >= samples.size();
    EXPECT_EQ(bits_of(quantile_edges_at(column, samples, 16, scratch)),
              bits_of(edges_by_full_sort(gathered, 16)));
    // A scratch that is already long enough is reused, not reallocated.
    if (big_enough) {
      EXPECT_EQ(scratch.data(), before);
    }
  }
}

TEST(QuantileEdges, PositionIsExactPastSixtyFourBits) {
  // (2^63 + 1)·4 wraps to 4 in 64 bits; exactly it is 2^65 + 4, and
  // ⌊(2^65 + 4) / (2^64 − 1)⌋ = 2.
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(quantile_position(std::uint64_t{1} << 63, 4, max), 2u);
  EXPECT_EQ(quantile_position(max - 2, 4, max), 3u);
  EXPECT_EQ(quantile_position(max - 1, max, max), max - 1);
  EXPECT_EQ(quantile_position(0, 10, 4), 2u);
  EXPECT_EQ(quantile_position(0, 1, 2), 0u);
}

TEST(QuantileEdges, HugeBinCountThrowsInsteadOfOverflowing) {
  const std::vector<double> values{1, 2, 3};
  EXPECT_ANY_THROW(quantile_edges(values, std::numeric_limits<std::uint64_t>::max()));
  EXPECT_ANY_THROW(quantile_edges(values, std::uint64_t{1} << 62));
}

TEST(BinOf, WorkedExamples) {
  const std::vector<double> edges{2, 3, 4};
  EXPECT_EQ(bin_of(edges, 1), 0u);
  EXPECT_EQ(bin_of(edges, 2), 1u);
  EXPECT_EQ(bin_of(edges, 3.5), 2u);
  EXPECT_EQ(bin_of(edges, 4), 3u);
  EXPECT_EQ(bin_of(std::vector<double>{1, 1, 1}, 1), 3u);
  EXPECT_EQ(bin_of(std::vector<double>{1, 1, 1}, 2), 3u);
  EXPECT_EQ(bin_of(std::vector<double>{5}, 5), 1u);
  EXPECT_EQ(bin_of(std::vector<double>{}, -1e300), 0u);
  for (const double missing : {kNaN, -kNaN, kInf, -kInf}) {
    EXPECT_FALSE(bin_of(edges, missing).has_value());
    EXPECT_FALSE(bin_of(std::vector<double>{}, missing).has_value());
  }
}

TEST(BinOf, MatchesLinearCountAndBounds) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 50; ++round) {
    const std::vector<double> values = awkward_values(rng, 40);
    const std::vector<double> edges = quantile_edges(values, 1 + round % 12);
    // Probe with the values themselves (edges included) and with neighbours.
    for (const double x : values) {
      if (!std::isfinite(x)) continue;
      for (const double probe : {x, std::nextafter(x, -kInf), std::nextafter(x, kInf)}) {
        const auto b = bin_of(edges, probe);
        ASSERT_TRUE(b.has_value());
        ASSERT_EQ(*b, bin_by_count(edges, probe));
        // The bounds of the bin admit the value, with the split tests' comparisons.
        const auto [lower, upper] = bin_bounds(edges, *b);
        EXPECT_TRUE(!lower || probe >= *lower);
        EXPECT_TRUE(!upper || probe < *upper);
      }
    }
  }
}

TEST(BinBounds, EveryBinOfAnEdgeList) {
  const std::vector<double> edges{2, 3, 4};
  EXPECT_EQ(bin_bounds(edges, 0), std::make_pair(std::optional<double>(), std::optional<double>(2.0)));
  EXPECT_EQ(bin_bounds(edges, 1), std::make_pair(std::optional<double>(2.0), std::optional<double>(3.0)));
  EXPECT_EQ(bin_bounds(edges, 3), std::make_pair(std::optional<double>(4.0), std::optional<double>()));
  EXPECT_EQ(bin_bounds(std::vector<double>{}, 0), std::make_pair(std::optional<double>(), std::optional<double>()));
  EXPECT_THROW(bin_bounds(edges, 4), InternalError);
  EXPECT_THROW(bin_bounds(std::vector<double>{}, 1), InternalError);
}

FeatureColumn continuous(std::vector<double> values) {
  FeatureColumn c;
  c.values = std::move(values);
  return c;
}

FeatureColumn categorical(std::vector<std::uint32_t> codes) {
  FeatureColumn c;
  c.is_categorical = true;
  c.codes = std::move(codes);
  return c;
}

std::string error_of(const std::vector<FeatureColumn>& columns, std::uint64_t n_bins) {
  try {
    encode_features(columns, n_bins);
  } catch (const ValueError& e) {
    return e.what();
  }
  return "";
}

TEST(EncodeFeatures, ContinuousCodesAreBins) {
  std::mt19937_64 rng(5);
  const std::vector<double> values = awkward_values(rng, 500);
  const std::vector<FeatureColumn> columns{continuous(values)};
  const EncodedFeatures enc = encode_features(columns, 10);
  ASSERT_EQ(enc.codes.size(), 1u);
  EXPECT_EQ(enc.sample_count, 500u);
  const FeatureBins& bins = enc.bins[0];
  EXPECT_TRUE(bins.is_continuous);
  EXPECT_TRUE(bins.categories.empty());
  EXPECT_EQ(bits_of(bins.edges), bits_of(edges_by_full_sort(values, 10)));
  EXPECT_EQ(bins.n_codes, 10u);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint16_t expected =
        std::isfinite(values[i]) ? static_cast<std::uint16_t>(bin_by_count(bins.edges, values[i])) : kMissingCode;
    EXPECT_EQ(enc.codes[0][i], expected) << "sample " << i;
  }
}

TEST(EncodeFeatures, DegenerateContinuousColumns) {
  const std::vector<FeatureColumn> columns{continuous({kNaN, kInf, -kInf}), continuous({3, 1, kNaN})};
  const EncodedFeatures enc = encode_features(columns, 1);
  EXPECT_EQ(enc.bins[0].n_codes, 1u);
  EXPECT_EQ(enc.codes[0], (std::vector<std::uint16_t>{kMissingCode, kMissingCode, kMissingCode}));
  EXPECT_EQ(enc.bins[1].n_codes, 1u);
  EXPECT_EQ(enc.codes[1], (std::vector<std::uint16_t>{0, 0, kMissingCode}));
  // A column without a finite value has no edges, whatever n_bins asks for.
  const EncodedFeatures huge = encode_features(std::vector<FeatureColumn>{continuous({kNaN})},
                                               std::numeric_limits<std::uint64_t>::max());
  EXPECT_TRUE(huge.bins[0].edges.empty());
  EXPECT_EQ(huge.bins[0].n_codes, 1u);
}

TEST(EncodeFeatures, ContinuousBinLimit) {
  std::vector<double> values(70000);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i);
  const EncodedFeatures ok = encode_features(std::vector<FeatureColumn>{continuous(values)}, 65535);
  EXPECT_EQ(ok.bins[0].edges.size(), 65534u);
  EXPECT_EQ(ok.bins[0].n_codes, 65535u);
  EXPECT_EQ(*std::max_element(ok.codes[0].begin(), ok.codes[0].end()), 65534);
  EXPECT_EQ(std::min_element(ok.codes[0].begin(), ok.codes[0].end())[0], 0);

  EXPECT_EQ(error_of({continuous({1.0})}, 65536), "feature 0: 65536 continuous bins exceed fast-mode limit");
  // The first feature is fine; the second fails and names itself.
  EXPECT_EQ(error_of({categorical({1}), continuous({kNaN, 2.0}), continuous({1.0})}, 100000),
            "feature 1: 100000 continuous bins exceed fast-mode limit");
  // A bin count that could never be allocated fails on the limit, not on memory.
  EXPECT_EQ(error_of({continuous({1.0})}, std::numeric_limits<std::uint64_t>::max()),
            "feature 0: 18446744073709551615 continuous bins exceed fast-mode limit");
}

TEST(EncodeFeatures, CategoriesMapToPositions) {
  const std::uint32_t missing = 0xFFFFFFFFu;
  const std::vector<FeatureColumn> columns{categorical({5, 2, missing, 5, 9}),
                                           categorical({missing, missing}),
                                           categorical({4294967294u, 0, 4294967294u})};
  const EncodedFeatures enc = encode_features(columns, 8);
  EXPECT_EQ(enc.bins[0].categories, (std::vector<std::uint32_t>{2, 5, 9}));
  EXPECT_EQ(enc.codes[0], (std::vector<std::uint16_t>{1, 0, kMissingCode, 1, 2}));
  EXPECT_EQ(enc.bins[0].n_codes, 3u);
  EXPECT_FALSE(enc.bins[0].is_continuous);
  EXPECT_TRUE(enc.bins[0].edges.empty());
  EXPECT_EQ(enc.bins[1].n_codes, 0u);
  EXPECT_EQ(enc.codes[1], (std::vector<std::uint16_t>{kMissingCode, kMissingCode}));
  EXPECT_EQ(enc.bins[2].categories, (std::vector<std::uint32_t>{0, 4294967294u}));
  EXPECT_EQ(enc.codes[2], (std::vector<std::uint16_t>{1, 0, 1}));
}

TEST(EncodeFeatures, CategoryLimit) {
  // Distinct codes spread over the 32-bit range, shuffled, with repeats.
  std::vector<std::uint32_t> codes(65535);
  for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<std::uint32_t>(i * 65537u + 3u);
  std::mt19937_64 rng(1);
  std::shuffle(codes.begin(), codes.end(), rng);
  codes.push_back(codes[17]);
  codes.push_back(0xFFFFFFFFu);
  const EncodedFeatures ok = encode_features(std::vector<FeatureColumn>{categorical(codes)}, 2);
  EXPECT_EQ(ok.bins[0].n_codes, 65535u);
  for (std::size_t i = 0; i + 1 < codes.size(); ++i) {
    ASSERT_EQ(ok.bins[0].categories[ok.codes[0][i]], codes[i]);
  }
  EXPECT_EQ(ok.codes[0].back(), kMissingCode);
  EXPECT_EQ(*std::max_element(ok.codes[0].begin(), ok.codes[0].end() - 1), 65534);

  codes.push_back(7);  // 65536 distinct codes (7 is not of the form i·65537 + 3)
  EXPECT_EQ(error_of({continuous({1.0}), categorical(codes)}, 2),
            "feature 1: 65536 categories exceed fast-mode limit");
}

}  // namespace
}  // namespace quor
