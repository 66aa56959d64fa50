// Fold assignment in both forms: index lists (strict) and a fold number per
// position (fast), from one shuffle and one rule for fold sizes.

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "folds.hpp"
#include "reference.hpp"

namespace quor {
namespace {

using quor::testing::assign_folds;

using Ids = std::vector<std::uint64_t>;

Ids iota64(std::uint64_t n, std::uint64_t first = 0) {
  Ids v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}
std::vector<std::uint32_t> narrow(const Ids& v) { return {v.begin(), v.end()}; }
Ids valid(const StrictFolds& folds, std::uint64_t f) {
  const auto v = folds.valid(f);
  return Ids(v.begin(), v.end());
}
std::vector<std::uint32_t> permutation(const Ids& samples, std::uint64_t seed) {
  return assign_folds(narrow(samples), 2, seed, true).sample_indices;
}

TEST(Folds, WorkedExampleAndFoldCounts) {
  const auto folds = make_folds(iota64(10), 3, 99, false);
  ASSERT_EQ(folds.count(), 3u);
  EXPECT_EQ(valid(folds, 0), (Ids{0, 1, 2, 3}));
  EXPECT_EQ(valid(folds, 1), (Ids{4, 5, 6}));
  EXPECT_EQ(valid(folds, 2), (Ids{7, 8, 9}));
  EXPECT_EQ(assign_folds(narrow(iota64(10)), 3, 99, false).fold_ids, (std::vector<std::uint8_t>{0, 0, 0, 0, 1, 1, 1, 2, 2, 2}));
  for (const std::uint64_t requested : {0u, 1u, 2u}) {
    EXPECT_EQ(make_folds(iota64(7), requested, 0, true).count(), 2u);
    EXPECT_EQ(assign_folds(narrow(iota64(7)), requested, 0, true).n_folds, 2u);
  }
  const auto small = make_folds(iota64(4, 100), 10, 0, false);  // n < k: one sample per fold
  ASSERT_EQ(small.count(), 4u);
  for (std::size_t f = 0; f < 4; ++f) EXPECT_EQ(valid(small, f), Ids{100 + f});

  const auto fast = assign_folds(narrow(iota64(10000)), 1000, 5, true);
  EXPECT_EQ(fast.n_folds, 255u);
  std::vector<std::size_t> sizes(256, 0);
  for (const std::uint8_t f : fast.fold_ids) ++sizes[f];
  for (std::size_t f = 0; f < 256; ++f) EXPECT_EQ(sizes[f], f < 55 ? 40u : f < 255 ? 39u : 0u) << f;
  EXPECT_EQ(make_folds(iota64(300), 1000, 5, true).count(), 300u);  // strict mode has no cap
}

// Random node lists, fold counts and seeds: contiguous blocks of one
// permutation, the first n mod k one longer, and the fast form numbering the
// same blocks.
TEST(Folds, BlocksOfOnePermutation) {
  std::mt19937_64 rng(2024);
  for (int round = 0; round < 200; ++round) {
    const std::uint64_t n = 1 + rng() % 300, requested = rng() % 40, seed = rng();
    const bool shuffle = rng() % 4 != 0;
    Ids samples = iota64(n, rng() % 1000);
    std::shuffle(samples.begin(), samples.end(), rng);
    const auto folds = make_folds(samples, requested, seed, shuffle);
    const auto fast = assign_folds(narrow(samples), requested, seed, shuffle);
    const std::uint64_t k = std::min(std::max<std::uint64_t>(requested, 2), n);
    ASSERT_EQ(folds.count(), k);
    ASSERT_EQ(fast.n_folds, k);
    const Ids& permuted = folds.samples;
    EXPECT_EQ(narrow(permuted), fast.sample_indices);
    EXPECT_TRUE(std::is_permutation(permuted.begin(), permuted.end(), samples.begin(), samples.end()));
    EXPECT_TRUE(shuffle || permuted == samples);
    for (std::size_t f = 0, start = 0; f < k; start += folds.valid(f).size(), ++f) {
      ASSERT_EQ(folds.starts[f], start);
      ASSERT_EQ(folds.valid(f).size(), n / k + (f < n % k ? 1 : 0));
      for (std::size_t p = start; p < start + folds.valid(f).size(); ++p) EXPECT_EQ(fast.fold_ids[p], f);
    }
  }
}

TEST(Folds, ShuffleDependsOnSeedCountAndOrderOnly) {
  SplitMix64 rng(0);  // the standard SplitMix64 sequence
  EXPECT_EQ(rng.next(), 0xE220A8397B1DCDAFull);
  EXPECT_EQ(rng.next(), 0x6E789E6AA1B965F4ull);
  // Seeded from the count: state (n × 0x9E3779B97F4A7C15) XOR seed, then swaps of i − 1 and z mod i.
  Ids expected = iota64(50);
  SplitMix64 reference((50 * 0x9E3779B97F4A7C15ull) ^ 0x1234);
  for (std::uint64_t i = 50; i >= 2; --i) std::swap(expected[i - 1], expected[reference.next() % i]);
  EXPECT_EQ(permutation(iota64(50), 0x1234), narrow(expected));

  const Ids a = iota64(200);
  auto shifted = permutation(a, 7);  // the shuffle moves positions, whatever the ids
  for (auto& x : shifted) x += 5000;
  EXPECT_EQ(permutation(iota64(200, 5000), 7), shifted);
  EXPECT_NE(permutation(a, 7), permutation(a, 8));
  EXPECT_EQ(valid(make_folds(a, 5, 1, false), 2), valid(make_folds(a, 5, 2, false), 2));
}

}  // namespace
}  // namespace quor
