#include "sampling.hpp"

#include <algorithm>
#include <numeric>

#include "folds.hpp"

namespace quor {

namespace {

// Separate streams for a tree's rows and its nodes' features, so that
// changing one draw never changes the other.
constexpr std::uint64_t kRowStream = 0x6A09E667F3BCC909ull;
constexpr std::uint64_t kNodeStream = 0xBB67AE8584CAA73Bull;
constexpr std::uint64_t kThresholdStream = 0x510E527FADE682D1ull;
constexpr std::uint64_t kLeftChild = 0x3C6EF372FE94F82Bull;
constexpr std::uint64_t kRightChild = 0xA54FF53A5F1D36F1ull;

/// One SplitMix64 output for `state`: a bijective mix of 64 bits.
std::uint64_t mix(std::uint64_t state) { return SplitMix64(state).next(); }

}  // namespace

std::uint64_t root_node_key(std::uint64_t tree_seed) { return mix(tree_seed ^ kNodeStream); }

std::uint64_t child_node_key(std::uint64_t parent_key, bool is_left) {
  return mix(parent_key ^ (is_left ? kLeftChild : kRightChild));
}

std::uint64_t threshold_key(std::uint64_t node_key, std::uint64_t feature) {
  return mix(mix(node_key ^ kThresholdStream) ^ feature);
}

void draw_subset(std::uint64_t key, std::uint64_t n, std::uint64_t k, std::vector<std::size_t>& out) {
  out.resize(n);
  std::iota(out.begin(), out.end(), std::size_t{0});
  if (k == 0 || k >= n) return;
  SplitMix64 rng(key);
  // Partial Fisher–Yates: positions 0 … i − 1 hold the indices drawn so far.
  for (std::uint64_t i = 0; i < k; ++i) {
    const std::uint64_t j = i + rng.next() % (n - i);
    std::swap(out[i], out[j]);
  }
  out.resize(k);
  std::sort(out.begin(), out.end());
}

void draw_features(std::uint64_t node_key, std::uint64_t n_features, std::uint64_t max_features,
                   std::vector<std::size_t>& out) {
  draw_subset(node_key, n_features, max_features, out);
}

std::vector<std::uint32_t> draw_rows(std::uint64_t tree_seed, std::uint64_t n_rows, std::uint64_t max_samples) {
  const std::uint64_t k = max_samples == 0 ? n_rows : std::min(max_samples, n_rows);
  SplitMix64 rng(mix(tree_seed ^ kRowStream));
  std::vector<std::uint32_t> rows;
  rows.reserve(k);
  // Selection sampling: row i is taken with probability (still needed) /
  // (rows left), which gives every k-subset the same chance, in ascending
  // order, without a draw when every row is taken.
  for (std::uint64_t i = 0; i < n_rows && rows.size() < k; ++i) {
    const std::uint64_t needed = k - rows.size();
    const std::uint64_t left = n_rows - i;
    if (needed == left || rng.next() % left < needed) rows.push_back(static_cast<std::uint32_t>(i));
  }
  return rows;
}

}  // namespace quor
