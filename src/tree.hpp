#pragma once
/// The fitted tree, how a row is routed through it, and its size statistics.
/// Nodes live in one array in pre-order (the root at 0, a split's left child
/// right after it), so no walk over a tree needs recursion and dropping a tree
/// frees one array whatever its depth.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "split.hpp"

namespace quor {

/// What a split's node credits one feature for its held-out measurement:
/// the mean over the node's folds of the held-out score of the candidates
/// of the feature that the folds chose (held_out.hpp). A node lists its
/// credits in ascending feature order, each feature once.
struct FeatureCredit {
  std::uint64_t feature = 0;
  double score = 0.0;
};

/// One node: a split whose children `left`/`right` index `Tree::nodes`, or
/// a leaf. The split's score is the aggregated cross-validated score it won
/// with at growth (the number compared with min_impurity_decrease); NaN when
/// unknown, as for every node of a tree rebuilt from a dump.
struct DecisionNode {
  bool leaf = true;
  Split split;
  std::size_t left = 0;
  std::size_t right = 0;
  // Leaf
  double value = 0.0;                // regression
  std::uint64_t predicted_class = 0;  // classification
  std::size_t proba_offset = 0;       // classification: into Tree::probas
  std::size_t proba_size = 0;
  std::uint64_t n_samples = 0;
  /// Leaf: the weight of its training rows (summed in node order), its
  /// n_samples unless the tree was grown with weights. A split's weight is
  /// the sum of its children's (flatten_tree).
  double weight = 0.0;
  /// Split: its credits, at Tree::credits[credit_offset ...) (none at leaves).
  std::size_t credit_offset = 0;
  std::size_t credit_size = 0;

  bool is_leaf() const { return leaf; }
};

/// A whole tree. Invariant: `nodes` is non-empty and in pre-order; every split's
/// children have larger indices than the split; each node has one parent.
struct Tree {
  std::vector<DecisionNode> nodes;
  std::vector<double> probas;
  /// Weighted growth whose leaves are labelled by a metric: each leaf's class
  /// weight sums at its proba_offset (its shares times its weight would not
  /// give them back exactly). Empty otherwise, and once the leaves are labelled.
  std::vector<double> class_weights;
  /// Whether the tree was grown measuring each split on held-out folds: its
  /// splits' credits are in `credits`. A tree grown without (the raw
  /// classes', a tree loaded from arrays written before) has none.
  bool has_credits = false;
  std::vector<FeatureCredit> credits;

  const DecisionNode& root() const { return nodes.front(); }
  std::span<const FeatureCredit> credits_of(const DecisionNode& node) const {
    return {credits.data() + node.credit_offset, node.credit_size};
  }
  std::span<const double> proba(const DecisionNode& leaf) const {
    return {probas.data() + leaf.proba_offset, leaf.proba_size};
  }
};

/// Appends nodes in pre-order and links each child to its parent. Used by the
/// growers and by the dump importer, which both produce nodes depth-first,
/// left subtree first.
class TreeBuilder {
 public:
  /// Starts a node whose parent is `parent` (npos for the root) on side
  /// `is_left`; returns its index.
  std::size_t begin_node(std::size_t parent, bool is_left);
  void make_regression_leaf(std::size_t node, double value, std::uint64_t n_samples);
  void make_classification_leaf(std::size_t node, std::span<const double> proba,
                                std::uint64_t predicted_class, std::uint64_t n_samples);
  void make_split(std::size_t node, const Split& split);
  /// Sets a leaf's weight; a leaf is made with its n_samples as weight.
  void set_leaf_weight(std::size_t node, double weight);
  /// Sets a split's credits and marks the tree as one that has them.
  void set_split_credits(std::size_t node, std::span<const FeatureCredit> credits);
  /// Sets a classification leaf's class weight sums (one per probability).
  void set_leaf_class_weights(std::size_t node, std::span<const double> sums);
  /// Appends every node of `part` (a tree, or a single split node whose
  /// children are still to come) under `parent` on side `is_left`, in its own
  /// pre-order; returns the index of the part's root.
  std::size_t append_tree(const Tree& part, std::size_t parent, bool is_left);
  std::size_t size() const { return tree_.nodes.size(); }
  Tree finish() &&;

  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

 private:
  Tree tree_;
};

/// Each node's split score in pre-order (NaN at leaves and where unknown).
std::vector<double> split_scores(const Tree& tree);

/// Each node's depth, the root's 0. A child that does not follow its parent
/// (or lies past the end) is an internal error.
std::vector<std::uint64_t> node_depths(const Tree& tree);
/// 0 for a leaf, else 1 + the larger depth of the two children.
std::uint64_t tree_depth(const Tree& tree);
/// Number of leaves.
std::uint64_t leaf_count(const Tree& tree);

}  // namespace quor
