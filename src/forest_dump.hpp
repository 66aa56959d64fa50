#pragma once
/// A forest as flat arrays, for pickling and model files: every tree's nodes
/// in pre-order (the order of `export_tree`), trees one after another, with
/// one entry per node for the split fields and one per leaf for the leaf
/// payloads. Arrays of numbers rather than per-node lists keep a pickled
/// forest small and quick to read.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "packed_tree.hpp"
#include "task.hpp"
#include "tree.hpp"

namespace quor {

struct ForestDump {
  std::vector<std::int64_t> node_offsets;  // n_trees + 1; tree t owns nodes [t], [t + 1])
  // Per node; child indices count from the tree's first node, -1 at leaves.
  std::vector<std::uint8_t> is_leaf;
  std::vector<std::int32_t> children_left;
  std::vector<std::int32_t> children_right;
  std::vector<std::int32_t> feature;        // -1 at leaves
  std::vector<std::uint8_t> is_categorical;
  std::vector<double> lower;                // -inf when absent; NaN but at interval splits
  std::vector<double> upper;                // +inf when absent; NaN but at interval splits
  std::vector<std::int64_t> category;       // -1 but at category splits
  std::vector<std::int64_t> n_samples;
  /// The weight of each node's training rows (a leaf's summed in node order,
  /// a split's the sum of its children's); empty in dumps written before
  /// weights, whose nodes weigh their n_samples.
  std::vector<double> node_weight;
  std::vector<double> split_score;          // NaN at leaves and where unknown
  /// 1 at a split that sends missing values left, else 0; empty in dumps
  /// written before splits could, whose splits all send them right.
  std::vector<std::uint8_t> missing_left;
  /// Trees grown measuring their splits on held-out folds: each node's
  /// number of credits (0 at leaves), and the credits node after node, each
  /// a feature (ascending within a node) and its held-out score. All three
  /// empty for trees without (the raw classes', dumps written before).
  std::vector<std::int32_t> held_out_count;
  std::vector<std::int32_t> held_out_feature;
  std::vector<double> held_out_score;
  /// Set splits' categories: node i's bitset (in_category_set) is
  /// set_words[set_offsets[i], set_offsets[i + 1]), empty but at set splits,
  /// whose category is -1. Both empty in dumps written before set splits.
  std::vector<std::int64_t> set_offsets;  // n_nodes + 1
  std::vector<std::uint64_t> set_words;
  // Per leaf, in node order.
  std::vector<double> leaf_value;           // regression
  std::vector<std::int32_t> leaf_class;     // classification
  std::vector<double> leaf_proba;           // classification: n_leaves × n_classes
};

/// The dump of `trees` (packed for the sorted `categorical` columns);
/// `n_classes` 0 for regression trees.
ForestDump dump_forest(std::span<const PackedTree> trees, std::span<const std::uint64_t> categorical,
                       std::uint64_t n_classes);

/// The trees of a dump, for a forest with `n_classes` (0: regression) whose
/// `categorical` columns (sorted) are those given. Every array is checked
/// before it is read, whatever its writer: lengths against the node and leaf
/// counts, offsets, flags (0 or 1), children (later nodes of the same tree,
/// each tree one tree in pre-order), features (category splits exactly on
/// the categorical columns), category codes and sets (a set at category -1
/// only, at most kMaxSetCategories codes, its last word not 0), interval bounds, counts (split
/// counts the sums of their children's), node weights when present (finite,
/// positive where n_samples is, each split's exactly its children's sum), held-out credits when present
/// (one count per node, 0 at leaves, as many credits as the counts add up
/// to, features not negative and ascending within a node, finite scores), leaf values (finite, at most
/// kLargestTarget in magnitude), classes and probabilities (each leaf's in
/// [0, 1], summing to 1, its class the one of largest probability, the
/// lowest on ties), and the fields a leaf does not have. What a fit
/// would not write is refused with a `ValueError` naming the array and the
/// entry; the split scores are restored. With `majority_leaves` false (trees
/// whose leaves are labelled by a metric) a leaf's class need only be a class.
std::vector<PackedTree> rebuild_forest(const ForestDump& dump, std::uint64_t n_classes,
                                       std::span<const std::uint64_t> categorical, bool majority_leaves = true);

}  // namespace quor
