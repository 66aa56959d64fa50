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
constexpr std::uint64_t kLeftChild = 0x3C6EF372FE94F82Bull;
constexpr std::uint64_t kRightChild = 0xA54FF53A5F1D36F1ull;

/// One SplitMix64 output for `state`: a bijective mix of 64 bits.
std::uint64_t mix(std::uint64_t state) { return SplitMix64(state).next(); }

}  // namespace

std::uint64_t root_node_key(std::uint64_t tree_seed) { return mix(tree_seed ^ kNodeStream); }

std::uint64_t child_node_key(std::uint64_t parent_key, bool is_left) {
  return mix(parent_key ^ (is_left ? kLeftChild : kRightChild));
}

void draw_features(std::uint64_t node_key, std::uint64_t n_features, std::uint64_t max_features,
                   std::vector<std::size_t>& out) {
  out.resize(n_features);
  std::iota(out.begin(), out.end(), std::size_t{0});
  if (max_features == 0 || max_features >= n_features) return;
  SplitMix64 rng(node_key);
  // Partial Fisher–Yates: positions 0 … i − 1 hold the features drawn so far.
  for (std::uint64_t i = 0; i < max_features; ++i) {
    const std::uint64_t j = i + rng.next() % (n_features - i);
    std::swap(out[i], out[j]);
  }
  out.resize(max_features);
  std::sort(out.begin(), out.end());
}

std::vector<std::uint32_t> draw_rows(std::uint64_t tree_seed, std::uint64_t n_rows,
                                     std::uint64_t max_samples, RowSampling sampling) {
  const std::uint64_t m = max_samples == 0 ? n_rows : max_samples;
  SplitMix64 rng(mix(tree_seed ^ kRowStream));
  std::vector<std::uint32_t> rows;
  if (sampling == RowSampling::Subsample) {
    const std::uint64_t k = std::min(m, n_rows);
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
  if (n_rows == 0) return rows;
  std::vector<std::uint32_t> counts(n_rows, 0);
  for (std::uint64_t d = 0; d < m; ++d) ++counts[rng.next() % n_rows];
  rows.reserve(m);
  for (std::uint64_t i = 0; i < n_rows; ++i) rows.insert(rows.end(), counts[i], static_cast<std::uint32_t>(i));
  return rows;
}

void group_copies(std::span<const std::uint32_t> samples, std::vector<std::uint32_t>& positions,
                  std::vector<std::uint8_t>& fold_ids, std::uint64_t n_folds,
                  std::vector<std::uint8_t>& fold_of_row) {
  const std::size_t n = positions.size();
  for (std::size_t p = 0; p < n; ++p) {
    std::uint8_t& fold = fold_of_row[samples[positions[p]]];
    if (fold == 0xFF) {
      fold = fold_ids[p];
    } else {
      fold_ids[p] = fold;
    }
  }
  for (std::size_t p = 0; p < n; ++p) fold_of_row[samples[positions[p]]] = 0xFF;
  std::vector<std::size_t> next(n_folds + 1, 0);
  for (const std::uint8_t f : fold_ids) ++next[f + 1];
  std::partial_sum(next.begin(), next.end(), next.begin());
  std::vector<std::uint32_t> by_fold(n);
  for (std::size_t p = 0; p < n; ++p) by_fold[next[fold_ids[p]]++] = positions[p];
  positions.swap(by_fold);
  std::sort(fold_ids.begin(), fold_ids.end());
}

}  // namespace quor
