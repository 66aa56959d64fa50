// Binning rules and fast-mode encoding. Oracles: quantile edges by a full sort
// on sign-magnitude bits with the exact 128-bit position; a bin by counting
// the edges <= x.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "floats.hpp"
#include "columns.hpp"
#include "encoder.hpp"
#include "errors.hpp"
#include "reference.hpp"

namespace quor {
namespace {

using test_floats::kNaN;
using test_floats::kInf;
using quor::testing::encode_columns;

using quor::testing::bin_of;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
using Doubles = std::vector<double>;

/// The codes of one feature, indexed by sample id.
std::vector<std::uint16_t> codes_of(const EncodedFeatures& enc, std::uint64_t feature) {
  std::vector<std::uint16_t> out(enc.sample_count);
  for (std::uint64_t s = 0; s < enc.sample_count; ++s) out[s] = enc.code(s, feature);
  return out;
}

std::vector<std::uint64_t> bits_of(const Doubles& v) {
  std::vector<std::uint64_t> out;
  for (const double x : v) out.push_back(std::bit_cast<std::uint64_t>(x));
  return out;
}

Doubles sorted_edges(const Doubles& values, std::uint64_t n_bins) {
  std::vector<std::int64_t> keys;  // negative values flipped so that integer order is the total order
  for (const double x : values) {
    const auto k = std::bit_cast<std::int64_t>(x);
    if (std::isfinite(x)) keys.push_back(k < 0 ? k ^ std::numeric_limits<std::int64_t>::max() : k);
  }
  std::sort(keys.begin(), keys.end());
  Doubles edges;
  for (std::uint64_t j = 0; n_bins >= 2 && !keys.empty() && j + 1 < n_bins; ++j) {
    const std::uint64_t m = keys.size();
    const auto q = static_cast<std::uint64_t>((static_cast<unsigned __int128>(j) + 1) * m / n_bins);
    const std::int64_t k = keys[std::min(q, m - 1)];
    edges.push_back(std::bit_cast<double>(k < 0 ? k ^ std::numeric_limits<std::int64_t>::max() : k));
  }
  return edges;
}

// Ties, both zeros and all three kinds of missing value.
Doubles awkward_values(std::mt19937_64& rng, std::size_t n) {
  const double special[] = {kNaN, kInf, -kInf, 0.0, -0.0, 1.0, -2.0};
  std::normal_distribution<double> normal(0.0, 1e3);
  Doubles v(n);
  for (double& x : v) x = (rng() % 2) ? special[rng() % 7] : normal(rng);
  return v;
}

TEST(QuantileEdges, SmallCases) {
  EXPECT_EQ(quantile_edges(Doubles{1, 2, 3, 4}, 4), (Doubles{2, 3, 4}));
  EXPECT_EQ(quantile_edges(Doubles{1, 1, 1, 1, 2}, 4), (Doubles{1, 1, 1}));
  EXPECT_EQ(quantile_edges(Doubles{kNaN, 5, kInf}, 2), (Doubles{5}));
  EXPECT_EQ(quantile_edges(Doubles{kNaN, 7, -kInf}, 6), Doubles(5, 7.0));
  for (const std::uint64_t n_bins : {0u, 1u}) EXPECT_TRUE(quantile_edges(Doubles{3, 1}, n_bins).empty());
  EXPECT_TRUE(quantile_edges(Doubles{kNaN, kInf, -kInf}, 8).empty());
  EXPECT_EQ(bits_of(quantile_edges(Doubles{0.0, -0.0, 0.0, -0.0}, 4)), bits_of({-0.0, 0.0, 0.0}));
}

TEST(QuantileEdges, SelectionMatchesFullSort) {
  std::mt19937_64 rng(7);
  for (const std::size_t n : {1u, 2u, 31u, 33u, 97u, 1000u, 5000u}) {
    const Doubles values = awkward_values(rng, n);
    const auto m = static_cast<std::uint64_t>(std::count_if(values.begin(), values.end(), [](double x) { return std::isfinite(x); }));
    for (const std::uint64_t n_bins : {2ul, 3ul, 8ul, 31ul, 32ul, 100ul, 1000ul, m, m + 1, 3 * m}) {
      EXPECT_EQ(bits_of(quantile_edges(values, n_bins)), bits_of(sorted_edges(values, n_bins))) << n << " " << n_bins;
    }
  }
}

FeatureColumn continuous(Doubles values) { return FeatureColumn{false, std::move(values), {}}; }

// Large inputs take a bucket pass over the keys' top bits before selecting.
TEST(QuantileEdges, BucketedSelectionMatchesFullSort) {
  std::mt19937_64 rng(8);
  Doubles values = awkward_values(rng, 150000);
  // Values crowded into one narrow range put every edge in the same bucket.
  for (std::size_t i = 0; i < 40000; ++i) values[i] = 1.0 + static_cast<double>(rng() % 1000) * 1e-9;
  for (const std::uint64_t n_bins : {2ul, 32ul, 257ul, 65535ul, 400000ul}) {
    EXPECT_EQ(bits_of(quantile_edges(values, n_bins)), bits_of(sorted_edges(values, n_bins))) << n_bins;
  }
  // Mostly missing: few finite values among many, so more edges than values.
  Doubles sparse(100000, kNaN);
  for (std::size_t i = 0; i < sparse.size(); i += 997) sparse[i] = static_cast<double>(rng() % 7) - 3.0;
  sparse[5] = -0.0;
  for (const std::uint64_t n_bins : {2ul, 9ul, 101ul, 1000ul}) {
    EXPECT_EQ(bits_of(quantile_edges(sparse, n_bins)), bits_of(sorted_edges(sparse, n_bins))) << n_bins;
  }
  EXPECT_TRUE(quantile_edges(Doubles(70000, kNaN), 8).empty());
}

// The encoder bins through a table over the values' top bits; it must agree
// with bin_of everywhere, zeros of both signs and crowded edges included.
TEST(EncodeFeatures, TableBinningMatchesBinOf) {
  std::mt19937_64 rng(9);
  Doubles values = awkward_values(rng, 100000);
  for (std::size_t i = 0; i < 30000; ++i) values[i] = 1.0 + static_cast<double>(rng() % 50) * 1e-12;
  for (const std::uint64_t n_bins : {2ul, 40ul, 3000ul}) {
    const EncodedFeatures enc = encode_columns(std::vector{continuous(values)}, n_bins);
    const std::vector<std::uint16_t> codes = codes_of(enc, 0);
    for (std::size_t i = 0; i < values.size(); ++i) {
      const auto b = bin_of(enc.bins[0].edges, values[i]);
      ASSERT_EQ(codes[i], b ? *b : kMissingFastCode) << values[i] << " with " << n_bins << " bins";
    }
  }
}

TEST(QuantileEdges, ExactPositionsAndHugeBinCounts) {
  // (2^63 + 1)·4 wraps to 4 in 64 bits; exactly, ⌊(2^65 + 4) / (2^64 − 1)⌋ = 2.
  EXPECT_EQ(quantile_position(std::uint64_t{1} << 63, 4, kMax), 2u);
  EXPECT_EQ(quantile_position(kMax - 1, kMax, kMax), kMax - 1);
  EXPECT_ANY_THROW(quantile_edges(Doubles{1, 2}, kMax));  // throws, never wraps or aborts
}

TEST(BinOf, MatchesLinearCountAndBounds) {
  EXPECT_EQ(bin_of(Doubles{2, 3, 4}, 3.5), 2u);
  EXPECT_EQ(bin_of(Doubles{}, -1e300), 0u);
  for (const double missing : {kNaN, -kNaN, kInf, -kInf}) EXPECT_FALSE(bin_of(Doubles{1}, missing).has_value());
  EXPECT_THROW(bin_bounds(Doubles{2, 3, 4}, 4), InternalError);
  EXPECT_EQ(bin_bounds(Doubles{}, 0), std::make_pair(std::optional<double>(), std::optional<double>()));
  std::mt19937_64 rng(3);
  for (int round = 0; round < 50; ++round) {
    const Doubles values = awkward_values(rng, 40);
    const Doubles edges = quantile_edges(values, 1 + round % 12);
    for (const double x : values) {
      if (!std::isfinite(x)) continue;
      for (const double probe : {x, std::nextafter(x, -kInf), std::nextafter(x, kInf)}) {
        const std::uint64_t b = bin_of(edges, probe).value();
        ASSERT_EQ(b, static_cast<std::uint64_t>(std::count_if(edges.begin(), edges.end(), [&](double e) { return e <= probe; })));
        const auto [lower, upper] = bin_bounds(edges, b);
        EXPECT_TRUE((!lower || probe >= *lower) && (!upper || probe < *upper));
        EXPECT_EQ(lower.has_value(), b > 0);
        EXPECT_EQ(upper.has_value(), b < edges.size());
      }
    }
  }
}

FeatureColumn categorical(std::vector<std::uint32_t> codes) { return FeatureColumn{true, {}, std::move(codes)}; }

std::string error_of(const std::vector<FeatureColumn>& columns, std::uint64_t n_bins) {
  try {
    encode_columns(columns, n_bins);
  } catch (const ValueError& e) {
    return e.what();
  }
  return "";
}

TEST(EncodeFeatures, ContinuousCodesAreBins) {
  std::mt19937_64 rng(5);
  const Doubles values = awkward_values(rng, 500);
  const EncodedFeatures enc = encode_columns(std::vector{continuous(values)}, 10);
  const EncodedFeatures small = encode_columns(std::vector{continuous({kNaN, 3, 1})}, 10);
  EXPECT_EQ(enc.sample_count, 500u);
  const FeatureBins& bins = enc.bins[0];
  EXPECT_TRUE(bins.is_continuous && bins.categories.empty());
  EXPECT_EQ(bits_of(bins.edges), bits_of(sorted_edges(values, 10)));
  EXPECT_EQ(bins.n_codes, 10u);
  const std::vector<std::uint16_t> codes = codes_of(enc, 0);
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(codes[i], std::isfinite(values[i]) ? *bin_of(bins.edges, values[i]) : kMissingFastCode);
  }
  EXPECT_EQ(codes_of(small, 0), (std::vector<std::uint16_t>{kMissingFastCode, 9, 4}));  // edges [1, 1, 1, 1, 3, 3, 3, 3, 3]
  // No finite value: no edges and one code, whatever n_bins asks for.
  const EncodedFeatures none = encode_columns(std::vector{continuous({kNaN, -kInf})}, kMax);
  EXPECT_EQ(none.bins[0].n_codes, 1u);
  EXPECT_EQ(codes_of(none, 0), (std::vector<std::uint16_t>{kMissingFastCode, kMissingFastCode}));
}

TEST(EncodeFeatures, ContinuousBinLimit) {
  Doubles values(70000);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i);
  const EncodedFeatures ok = encode_columns(std::vector{continuous(values)}, 65535);
  EXPECT_EQ(ok.bins[0].n_codes, 65535u);
  const std::vector<std::uint16_t> ok_codes = codes_of(ok, 0);
  EXPECT_EQ(*std::max_element(ok_codes.begin(), ok_codes.end()), 65534);
  EXPECT_EQ(error_of({continuous({1.0})}, 65536), "feature 0: 65536 continuous bins exceed fast-mode limit");
  EXPECT_EQ(error_of({categorical({1, 1}), continuous({kNaN, 2.0})}, 100000),
            "feature 1: 100000 continuous bins exceed fast-mode limit");
  // Checked before the edges exist, so a bin count that could never be allocated fails on the limit.
  EXPECT_EQ(error_of({continuous({1.0})}, kMax), "feature 0: 18446744073709551615 continuous bins exceed fast-mode limit");
}

TEST(EncodeFeatures, CategoriesMapToPositions) {
  const EncodedFeatures enc = encode_columns(std::vector{categorical({5, 2, kMissingCode, 5, 9})}, 8);
  EXPECT_EQ(enc.bins[0].categories, (std::vector<std::uint32_t>{2, 5, 9}));
  EXPECT_EQ(codes_of(enc, 0), (std::vector<std::uint16_t>{1, 0, kMissingFastCode, 1, 2}));
  EXPECT_TRUE(enc.bins[0].n_codes == 3 && !enc.bins[0].is_continuous && enc.bins[0].edges.empty());

  std::vector<std::uint32_t> codes(65535);  // distinct, spread over 32 bits, shuffled, one repeat
  for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<std::uint32_t>(i * 65537u + 3u);
  std::shuffle(codes.begin(), codes.end(), std::mt19937_64(1));
  codes.push_back(codes[17]);
  const EncodedFeatures ok = encode_columns(std::vector{categorical(codes)}, 2);
  EXPECT_EQ(ok.bins[0].n_codes, 65535u);
  const std::vector<std::uint16_t> ok_codes = codes_of(ok, 0);
  for (std::size_t i = 0; i < codes.size(); ++i) ASSERT_EQ(ok.bins[0].categories[ok_codes[i]], codes[i]);
  codes.push_back(7);  // a 65536th distinct code
  EXPECT_EQ(error_of({continuous(Doubles(codes.size(), 1.0)), categorical(codes)}, 2),
            "feature 1: 65536 categories exceed fast-mode limit");
}

}  // namespace
}  // namespace quor

namespace quor {
namespace {

// Threads change nothing: the same bins and codes, and among several features
// over a limit the first in feature order is reported.
TEST(EncodeFeatures, ThreadedEncodingMatchesSequential) {
  std::mt19937_64 rng(21);
  std::vector<FeatureColumn> columns;
  for (int f = 0; f < 7; ++f) {
    if (f % 3 == 1) {
      std::vector<std::uint32_t> codes(20000);
      for (auto& c : codes) c = rng() % 5 == 0 ? kMissingCode : static_cast<std::uint32_t>(rng() % 300);
      columns.push_back(FeatureColumn{true, {}, codes});
    } else {
      columns.push_back(FeatureColumn{false, awkward_values(rng, 20000), {}});
    }
  }
  for (const std::uint64_t n_bins : {16ul, 400ul}) {
    const EncodedFeatures one = encode_columns(columns, n_bins);
    for (const std::uint64_t threads : {2ul, 3ul, 8ul}) {
      const EncodedFeatures many = encode_columns(columns, n_bins, true, threads);
      EXPECT_EQ(many.narrow, one.narrow);
      EXPECT_EQ(many.codes, one.codes);
      EXPECT_EQ(many.narrow_codes, one.narrow_codes);
      for (std::size_t f = 0; f < columns.size(); ++f) {
        EXPECT_EQ(bits_of(many.bins[f].edges), bits_of(one.bins[f].edges));
        EXPECT_EQ(many.bins[f].categories, one.bins[f].categories);
        EXPECT_EQ(many.bins[f].has_missing, one.bins[f].has_missing);
      }
    }
  }
  std::vector<std::uint32_t> many_codes(70000);
  for (std::size_t i = 0; i < many_codes.size(); ++i) many_codes[i] = static_cast<std::uint32_t>(i);
  const std::vector<FeatureColumn> over = {FeatureColumn{false, Doubles(70000, 1.0), {}},
                                           FeatureColumn{true, {}, many_codes},
                                           FeatureColumn{false, Doubles(70000, 2.0), {}}};
  try {
    encode_columns(over, 70000, true, 4);
    FAIL() << "expected the limit";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "feature 0: 70000 continuous bins exceed fast-mode limit");
  }
}

}  // namespace
}  // namespace quor

namespace quor {
namespace {

/// The encoding of `columns` by the definition: a continuous column's edges
/// are those of a full sort and each value's code its bin (the number of
/// edges <= it); a categorical column's categories are its distinct codes,
/// ascending, and each value's code its position among them; a missing value
/// has the missing code. One byte a code when every feature has at most 255.
struct ReferenceEncoding {
  std::vector<FeatureBins> bins;
  std::vector<std::vector<std::uint16_t>> codes;
  bool narrow = true;
};

ReferenceEncoding reference_encoding(const std::vector<FeatureColumn>& columns, std::uint64_t n_bins) {
  ReferenceEncoding out;
  for (const FeatureColumn& column : columns) {
    FeatureBins bins;
    std::vector<std::uint16_t> codes(column.size());
    bins.is_continuous = !column.is_categorical;
    if (column.is_categorical) {
      for (const std::uint32_t c : column.codes) {
        if (c != kMissingCode) bins.categories.push_back(c);
      }
      std::sort(bins.categories.begin(), bins.categories.end());
      bins.categories.erase(std::unique(bins.categories.begin(), bins.categories.end()), bins.categories.end());
      bins.n_codes = bins.categories.size();
      for (std::size_t s = 0; s < column.size(); ++s) {
        const auto at = std::lower_bound(bins.categories.begin(), bins.categories.end(), column.codes[s]);
        codes[s] = column.codes[s] == kMissingCode ? kMissingFastCode
                                                   : static_cast<std::uint16_t>(at - bins.categories.begin());
      }
    } else {
      bins.edges = sorted_edges(column.values, n_bins);
      bins.n_codes = bins.edges.size() + 1;
      for (std::size_t s = 0; s < column.size(); ++s) {
        const auto b = bin_of(bins.edges, column.values[s]);
        codes[s] = b ? static_cast<std::uint16_t>(*b) : kMissingFastCode;
      }
    }
    bins.has_missing = std::count(codes.begin(), codes.end(), kMissingFastCode) > 0;
    out.narrow = out.narrow && bins.n_codes <= 255;
    out.bins.push_back(std::move(bins));
    out.codes.push_back(std::move(codes));
  }
  return out;
}

void expect_encoding(const EncodedFeatures& enc, const ReferenceEncoding& expected) {
  ASSERT_EQ(enc.n_features, expected.bins.size());
  EXPECT_EQ(enc.narrow, expected.narrow);
  for (std::size_t f = 0; f < expected.bins.size(); ++f) {
    const FeatureBins& bins = enc.bins[f];
    EXPECT_EQ(bins.is_continuous, expected.bins[f].is_continuous) << f;
    EXPECT_EQ(bits_of(bins.edges), bits_of(expected.bins[f].edges)) << f;
    EXPECT_EQ(bins.categories, expected.bins[f].categories) << f;
    EXPECT_EQ(bins.n_codes, expected.bins[f].n_codes) << f;
    EXPECT_EQ(bins.has_missing, expected.bins[f].has_missing) << f;
    EXPECT_EQ(codes_of(enc, f), expected.codes[f]) << f;
  }
}

// Encoding straight from a matrix (any strides, categorical columns) gives
// the encoding of its columns by the definition.
TEST(EncodeMatrix, MatchesTheDefinitionOnTheCopiedColumns) {
  std::mt19937_64 rng(31);
  const std::size_t rows = 9000, cols = 6;
  Doubles storage(rows * cols);
  for (double& v : storage) v = (rng() % 4 == 0) ? static_cast<double>(rng() % 7) - 1.0 : awkward_values(rng, 1)[0];
  const std::vector<std::uint64_t> categorical = {1, 4, 9};
  const MatrixView c_order{reinterpret_cast<const char*>(storage.data()), rows, cols,
                           static_cast<std::ptrdiff_t>(cols * sizeof(double)), sizeof(double)};
  const MatrixView f_order{reinterpret_cast<const char*>(storage.data()), rows, cols, sizeof(double),
                           static_cast<std::ptrdiff_t>(rows * sizeof(double))};
  for (const MatrixView& x : {c_order, f_order}) {
    const std::vector<FeatureColumn> columns = columns_from_matrix(x, categorical);
    const ReferenceEncoding expected = reference_encoding(columns, 50);
    for (const std::uint64_t threads : {1ul, 3ul}) expect_encoding(encode_matrix(x, categorical, 50, true, threads), expected);
  }
}

// A large matrix's continuous columns are binned in place (bucket counts per
// thread, then only the buckets holding edges copied out, a few columns at a
// time): the encoding is that of the definition.
TEST(EncodeMatrix, LargeMatricesBinnedInPlaceMatchAFullSort) {
  std::mt19937_64 rng(33);
  const std::size_t rows = 70001, cols = 9;
  Doubles storage(rows * cols);
  for (std::size_t r = 0; r < rows; ++r) {
    double* row = storage.data() + r * cols;
    row[0] = awkward_values(rng, 1)[0];
    row[1] = static_cast<double>(rng() % 5);                      // categorical
    row[2] = 1.0 + static_cast<double>(rng() % 3) * 1e-12;        // every key in one bucket
    row[3] = rng() % 2 == 0 ? 0.0 : -0.0;                         // zeros of both signs
    row[4] = r % 1000 == 0 ? static_cast<double>(rng() % 9) : kNaN;  // mostly missing
    row[5] = kNaN;                                                // all missing
    row[6] = static_cast<double>(rng() % 2);                      // two crowded buckets
    row[7] = std::ldexp(static_cast<double>(rng() % 1000), static_cast<int>(rng() % 40) - 20);
    row[8] = 7.0;                                                 // constant
  }
  const std::vector<std::uint64_t> categorical = {1};
  const MatrixView x{reinterpret_cast<const char*>(storage.data()), rows, cols,
                     static_cast<std::ptrdiff_t>(cols * sizeof(double)), sizeof(double)};
  const std::vector<FeatureColumn> columns = columns_from_matrix(x, categorical);
  for (const std::uint64_t n_bins : {2ul, 32ul, 300ul, 65535ul}) {
    const ReferenceEncoding expected = reference_encoding(columns, n_bins);
    // 64 threads count in tables too large for all columns at once: the
    // columns are taken a few at a time.
    for (const std::uint64_t threads : {1ul, 2ul, 3ul, 64ul}) {
      SCOPED_TRACE(std::to_string(n_bins) + " bins, " + std::to_string(threads) + " threads");
      const EncodedFeatures b = encode_matrix(x, categorical, n_bins, true, threads);
      expect_encoding(b, expected);
      for (std::size_t f = 0; f < cols; ++f) {
        EXPECT_EQ(b.bins[f].is_continuous, f != 1);
        if (f >= 2) {
          EXPECT_EQ(b.bins[f].has_missing, f == 4 || f == 5) << f;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quor

namespace quor {
namespace {

// Runs of edges (and a cursor walking them) bin, bound and index exactly as
// the full edge list does, and stay as small as the values however many bins
// are asked for.
TEST(EdgeRuns, AgreeWithTheFullEdgeList) {
  std::mt19937_64 rng(41);
  for (const std::size_t m : {1u, 2u, 7u, 60u, 1000u}) {
    Doubles values = awkward_values(rng, 3 * m);
    std::erase_if(values, [](double x) { return !std::isfinite(x); });
    values.resize(std::min(values.size(), m));
    const Doubles sorted = sorted_edges(values, values.size() + 1);  // every value, ascending
    if (sorted.size() > 1) {
      ASSERT_EQ(sorted.size(), values.size());
    }
    for (const std::uint64_t n_bins : {0ul, 1ul, 2ul, 3ul, 32ul, 999ul, 5000ul}) {
      const EdgeRuns runs = EdgeRuns::from_sorted(sorted, n_bins);
      const Doubles edges = quantile_edges(values, n_bins);
      ASSERT_EQ(runs.size(), edges.size()) << m << " " << n_bins;
      EXPECT_LE(runs.n_runs(), values.size());
      for (std::uint64_t j = 0; j < edges.size(); ++j) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(runs.at(j)), std::bit_cast<std::uint64_t>(edges[j]));
      }
      for (std::uint64_t b = 0; b <= edges.size(); ++b) {
        const auto [lo, hi] = runs.bounds(b);
        const auto [elo, ehi] = bin_bounds(edges, b);
        ASSERT_EQ(lo.has_value(), elo.has_value());
        ASSERT_EQ(hi.has_value(), ehi.has_value());
        if (lo) {
          ASSERT_EQ(std::bit_cast<std::uint64_t>(*lo), std::bit_cast<std::uint64_t>(*elo));
        }
        if (hi) {
          ASSERT_EQ(std::bit_cast<std::uint64_t>(*hi), std::bit_cast<std::uint64_t>(*ehi));
        }
      }
      BinCursor cursor(runs);
      for (const double x : sorted) ASSERT_EQ(cursor.bin(x), *bin_of(edges, x));
    }
  }
  // A bin count far beyond memory: the runs hold one entry per value used.
  const Doubles few = {-3.0, 0.5, 0.5, 2.0, 9.0};
  const std::uint64_t huge = std::uint64_t{1} << 50;
  const EdgeRuns runs = EdgeRuns::from_sorted(few, huge);
  EXPECT_EQ(runs.size(), huge - 1);
  EXPECT_LE(runs.n_runs(), few.size());
  for (const std::uint64_t j : {std::uint64_t{0}, huge / 5 - 1, huge / 5, huge / 2, huge - 2}) {
    EXPECT_EQ(runs.at(j), few[quantile_position(j, few.size(), huge)]) << j;
  }
  BinCursor cursor(runs);
  EXPECT_EQ(cursor.bin(-4.0), 0u);
  // Edges of rank <= 2 (the second 0.5) are <= 0.5: (j + 1)·5 < 3·huge.
  EXPECT_EQ(cursor.bin(0.5), (3 * huge + 4) / 5 - 1);
  EXPECT_EQ(cursor.bin(9.0), huge - 1);
}

}  // namespace
}  // namespace quor
