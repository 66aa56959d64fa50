#pragma once
/// The random draws of a forest: the rows each tree is grown on and the
/// features each node evaluates. Every draw is a pure function of a seed (a
/// tree's seed, or a node's key derived from the tree's seed and the node's
/// path from the root), never of the order in which trees or nodes happen to
/// be grown, so a forest is the same on any number of threads.

#include <cstdint>
#include <vector>

namespace quor {

/// The key of a tree's root node.
std::uint64_t root_node_key(std::uint64_t tree_seed);
/// The key of a child: a function of its parent's key and its side only.
std::uint64_t child_node_key(std::uint64_t parent_key, bool is_left);

/// The key of a node's draw of candidate thresholds for `feature`: a
/// function of the node's key and the feature only, apart from its feature
/// draw's.
std::uint64_t threshold_key(std::uint64_t node_key, std::uint64_t feature);

/// Draws `k` distinct indices of 0 … n − 1 from a generator seeded with
/// `key` and writes them to `out` in ascending order; `k` of 0 or at least
/// `n` gives every index, without a draw.
void draw_subset(std::uint64_t key, std::uint64_t n, std::uint64_t k, std::vector<std::size_t>& out);

/// Draws `max_features` distinct features of `n_features` from a generator
/// seeded with `node_key` and writes them to `out` in ascending order (ties
/// between features' scores then still go to the lower index). `max_features`
/// of 0 or at least `n_features` gives every feature, without a draw.
void draw_features(std::uint64_t node_key, std::uint64_t n_features, std::uint64_t max_features,
                   std::vector<std::size_t>& out);

/// The rows of one tree: `max_samples` distinct rows drawn without
/// replacement, ascending. A row is once in a tree or not at all, so no row
/// can sit on both sides of a node's folds (trained on by one fold and held
/// out by another). `max_samples` 0 means every row, as does one above
/// `n_rows`; every row is 0 … n_rows − 1 (the single tree's root).
std::vector<std::uint32_t> draw_rows(std::uint64_t tree_seed, std::uint64_t n_rows, std::uint64_t max_samples);

}  // namespace quor
