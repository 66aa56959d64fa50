#pragma once
/// The random draws of a forest: the rows each tree is grown on and the
/// features each node evaluates. Every draw is a pure function of a seed (a
/// tree's seed, or a node's key derived from the tree's seed and the node's
/// path from the root), never of the order in which trees or nodes happen to
/// be grown, so a forest is the same on any number of threads.

#include <cstdint>
#include <span>
#include <vector>

namespace quor {

/// The key of a tree's root node.
std::uint64_t root_node_key(std::uint64_t tree_seed);
/// The key of a child: a function of its parent's key and its side only.
std::uint64_t child_node_key(std::uint64_t parent_key, bool is_left);

/// Draws `max_features` distinct features of `n_features` from a generator
/// seeded with `node_key` and writes them to `out` in ascending order (ties
/// between features' scores then still go to the lower index). `max_features`
/// of 0 or at least `n_features` gives every feature, without a draw.
void draw_features(std::uint64_t node_key, std::uint64_t n_features, std::uint64_t max_features,
                   std::vector<std::size_t>& out);

/// How a tree's rows are drawn from the training rows.
enum class RowSampling {
  /// `max_samples` distinct rows (without replacement): a row is once in a
  /// tree or not at all, so no row can sit on both sides of a node's folds.
  Subsample,
  /// `max_samples` draws with replacement. A row drawn twice is two samples
  /// of the tree, and its copies may fall into different folds of a node:
  /// then it is scored on held-out data it was trained on.
  Bootstrap,
  /// The same draws, but a node puts every copy of a row into one fold.
  BootstrapGroupedFolds,
};

/// The rows of one tree, ascending (a row drawn k times appears k times).
/// `max_samples` 0 means `n_rows`; with Subsample it is capped at `n_rows`,
/// and a subsample of every row is 0 … n_rows − 1 (the single tree's root).
std::vector<std::uint32_t> draw_rows(std::uint64_t tree_seed, std::uint64_t n_rows,
                                     std::uint64_t max_samples, RowSampling sampling);

/// For a node whose run of samples may repeat a row: gives every copy of a
/// row the fold of its first copy in the shuffled order (`positions`, the
/// run positions in shuffled order, and `fold_ids`, the fold of each, as
/// fold_order makes them), then sorts the shuffled order by fold, stably, so
/// that each fold's samples stay together as the searches expect.
/// `fold_of_row` holds 0xFF for every row before and after (no real fold
/// number reaches 255).
void group_copies(std::span<const std::uint32_t> samples, std::vector<std::uint32_t>& positions,
                  std::vector<std::uint8_t>& fold_ids, std::uint64_t n_folds,
                  std::vector<std::uint8_t>& fold_of_row);

}  // namespace quor
