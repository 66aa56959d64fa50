// Fold assignment: the shuffle, the fold count and the fold blocks, in both
// the strict form (index lists) and the fast form (a fold number per position).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "cross_validation.hpp"

namespace quor {
namespace {

std::vector<std::uint64_t> iota64(std::uint64_t n, std::uint64_t first = 0) {
  std::vector<std::uint64_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

std::vector<std::uint32_t> narrow(const std::vector<std::uint64_t>& v) {
  return std::vector<std::uint32_t>(v.begin(), v.end());
}

// The permutation a node gets, read off the fast form.
std::vector<std::uint32_t> permutation(const std::vector<std::uint64_t>& samples, std::uint64_t seed) {
  return assign_folds(narrow(samples), 2, seed, true).sample_indices;
}

TEST(SplitMix64, StandardOutputSequence) {
  SplitMix64 rng(0);
  EXPECT_EQ(rng.next(), 0xE220A8397B1DCDAFull);
  EXPECT_EQ(rng.next(), 0x6E789E6AA1B965F4ull);
  EXPECT_EQ(rng.next(), 0x06C45D188009454Full);
}

TEST(Folds, WorkedExampleWithoutShuffle) {
  const auto samples = iota64(10);
  const auto folds = make_folds(samples, 3, 99, false);
  ASSERT_EQ(folds.size(), 3u);
  EXPECT_EQ(folds[0].valid_indices, (std::vector<std::uint64_t>{0, 1, 2, 3}));
  EXPECT_EQ(folds[0].train_indices, (std::vector<std::uint64_t>{4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(folds[1].valid_indices, (std::vector<std::uint64_t>{4, 5, 6}));
  EXPECT_EQ(folds[1].train_indices, (std::vector<std::uint64_t>{0, 1, 2, 3, 7, 8, 9}));
  EXPECT_EQ(folds[2].valid_indices, (std::vector<std::uint64_t>{7, 8, 9}));
  EXPECT_EQ(folds[2].train_indices, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5, 6}));

  const auto fast = assign_folds(narrow(samples), 3, 99, false);
  EXPECT_EQ(fast.n_folds, 3u);
  EXPECT_EQ(fast.fold_ids, (std::vector<std::uint8_t>{0, 0, 0, 0, 1, 1, 1, 2, 2, 2}));
  EXPECT_EQ(fast.sample_indices, narrow(samples));
}

TEST(Folds, FoldCountRule) {
  for (const std::uint64_t requested : {0u, 1u, 2u}) {
    EXPECT_EQ(make_folds(iota64(7), requested, 0, true).size(), 2u);
    EXPECT_EQ(assign_folds(narrow(iota64(7)), requested, 0, true).n_folds, 2u);
  }
  // Fewer samples than folds: one validation sample per fold.
  const auto folds = make_folds(iota64(4, 100), 10, 0, false);
  ASSERT_EQ(folds.size(), 4u);
  for (std::size_t f = 0; f < folds.size(); ++f) {
    EXPECT_EQ(folds[f].valid_indices, (std::vector<std::uint64_t>{100 + f}));
    EXPECT_EQ(folds[f].train_indices.size(), 3u);
  }
  EXPECT_EQ(make_folds(iota64(1), 5, 0, true).size(), 1u);
  EXPECT_EQ(fold_count(1000, 10000, false), 1000u);
  EXPECT_EQ(fold_count(1000, 10000, true), 255u);
}

TEST(Folds, FastModeCapsAt255Folds) {
  const auto fast = assign_folds(narrow(iota64(10000)), 1000, 5, true);
  EXPECT_EQ(fast.n_folds, 255u);
  std::vector<std::size_t> sizes(256, 0);
  for (const std::uint8_t f : fast.fold_ids) ++sizes[f];
  for (std::size_t f = 0; f < 255; ++f) EXPECT_EQ(sizes[f], f < 55 ? 40u : 39u) << "fold " << f;
  EXPECT_EQ(sizes[255], 0u);
  EXPECT_TRUE(std::is_sorted(fast.fold_ids.begin(), fast.fold_ids.end()));
}

// Both forms, on random node lists, fold counts and seeds: the folds are
// contiguous blocks of one permutation, the first n mod k one sample longer,
// each training list is the rest of the permutation in order, and the fast
// form numbers the same blocks.
TEST(Folds, BlocksOfOnePermutation) {
  std::mt19937_64 rng(2024);
  for (int round = 0; round < 200; ++round) {
    const std::uint64_t n = 1 + rng() % 300;
    std::vector<std::uint64_t> samples = iota64(n, rng() % 1000);
    std::shuffle(samples.begin(), samples.end(), rng);
    const std::uint64_t requested = rng() % 40;
    const std::uint64_t seed = rng();
    const bool shuffle = rng() % 4 != 0;

    const auto folds = make_folds(samples, requested, seed, shuffle);
    const auto fast = assign_folds(narrow(samples), requested, seed, shuffle);
    const std::uint64_t k = std::min(std::max<std::uint64_t>(requested, 2), n);
    ASSERT_EQ(folds.size(), k);
    ASSERT_EQ(fast.n_folds, k);

    std::vector<std::uint64_t> permuted;
    for (const auto& fold : folds) {
      permuted.insert(permuted.end(), fold.valid_indices.begin(), fold.valid_indices.end());
    }
    EXPECT_EQ(narrow(permuted), fast.sample_indices);
    std::vector<std::uint64_t> sorted_in = samples, sorted_out = permuted;
    std::sort(sorted_in.begin(), sorted_in.end());
    std::sort(sorted_out.begin(), sorted_out.end());
    ASSERT_EQ(sorted_in, sorted_out);
    if (!shuffle) {
      EXPECT_EQ(permuted, samples);
    }

    std::size_t start = 0;
    for (std::size_t f = 0; f < k; ++f) {
      const std::size_t size = n / k + (f < n % k ? 1 : 0);
      ASSERT_EQ(folds[f].valid_indices.size(), size);
      std::vector<std::uint64_t> train(permuted.begin(), permuted.begin() + start);
      train.insert(train.end(), permuted.begin() + start + size, permuted.end());
      EXPECT_EQ(folds[f].train_indices, train);
      for (std::size_t p = start; p < start + size; ++p) EXPECT_EQ(fast.fold_ids[p], f);
      start += size;
    }
  }
}

TEST(Folds, ShuffleIsFisherYatesFromTheBack) {
  // A direct reading of the shuffle: seed from the count, swap i − 1 with z mod i.
  const std::uint64_t seed = 0x1234;
  std::vector<std::uint64_t> expected = iota64(50);
  SplitMix64 rng((50 * 0x9E3779B97F4A7C15ull) ^ seed);
  for (std::uint64_t i = 50; i >= 2; --i) std::swap(expected[i - 1], expected[rng.next() % i]);
  EXPECT_EQ(permutation(iota64(50), seed), narrow(expected));
}

TEST(Folds, ShuffleDependsOnSeedCountAndOrderOnly) {
  const auto a = iota64(200);
  // Same seed, count and order: the same permutation, at any position in a tree.
  EXPECT_EQ(permutation(a, 7), permutation(a, 7));
  // The permutation acts on positions: other ids in the same order move alike.
  const auto shifted = iota64(200, 5000);
  auto p = permutation(a, 7);
  for (auto& x : p) x += 5000;
  EXPECT_EQ(permutation(shifted, 7), p);
  // Another seed, or one sample more, changes it.
  EXPECT_NE(permutation(a, 7), permutation(a, 8));
  const auto longer = permutation(iota64(201), 7);
  EXPECT_NE(std::vector<std::uint32_t>(longer.begin(), longer.begin() + 200), permutation(a, 7));
  // Without shuffling the seed plays no part.
  EXPECT_EQ(make_folds(a, 5, 1, false)[2].valid_indices, make_folds(a, 5, 2, false)[2].valid_indices);
}

}  // namespace
}  // namespace quor
