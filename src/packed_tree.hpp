#pragma once
/// A fitted tree as a forest keeps it: its routing table, which prediction
/// reads, and beside it only what the export and the fitted attributes read
/// that routing does not (each split's bounds or category and score, each
/// leaf's sample count). A quarter of the memory of the node-by-node `Tree`,
/// which is built from it when a tree is read whole (exported, pickled,
/// walked for its decision paths) and dropped after.

#include <cstdint>
#include <span>
#include <vector>

#include "routing.hpp"
#include "tree.hpp"

namespace quor {

/// What a split keeps beside its routing test.
struct SplitDetail {
  /// The interval's bounds as the split stores them (an absent bound is
  /// -inf / +inf); for a category split, the category and NaN (a set
  /// split's categories are in the routing table).
  double lower;
  double upper;
  double score;  // the aggregated score the split won with; NaN when unknown
};

struct PackedTree {
  RoutingTable table;
  std::vector<SplitDetail> splits;          // in the table's split order (pre-order)
  std::vector<std::uint64_t> leaf_samples;  // in the table's leaf order (pre-order)
  /// Each leaf's weight, in leaf order; empty when every leaf's weight is its
  /// sample count (a tree grown without weights), so only weighted trees pay
  /// for it.
  std::vector<double> leaf_weights;
  /// Tree::has_credits; then each split's number of credits (split order)
  /// and the credits one split after another. Trees without pay nothing.
  bool has_credits = false;
  std::vector<std::uint32_t> credit_counts;
  std::vector<FeatureCredit> credits;

  std::size_t n_nodes() const { return splits.size() + leaf_samples.size(); }
};

/// The packed form of `tree` for the sorted `categorical` columns. A tree
/// whose category splits test the missing code, or whose splits are not of
/// their column's kind, is an internal error: no fit grows one and the
/// forest loader refuses them.
PackedTree pack_tree(const Tree& tree, std::span<const std::uint64_t> categorical);

/// The tree `pack_tree` was given, node for node and bit for bit.
Tree unpack_tree(const PackedTree& packed, std::span<const std::uint64_t> categorical);

/// 0 for a leaf, else the splits on the longest path from the root to a leaf.
std::uint64_t tree_depth(const PackedTree& packed);

}  // namespace quor
