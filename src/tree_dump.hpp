#pragma once
/// The dump format of a tree: the flat pre-order lists `export_tree` gives
/// Python, and the rebuild of a tree from such lists (whose checks refuse
/// dumps that are not trees).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tree.hpp"

namespace quor {

/// One exported node, as `export_tree` lists it.
struct FlatNode {
  bool is_leaf = false;
  std::int64_t children_left = -1;
  std::int64_t children_right = -1;
  std::int64_t feature = -1;
  bool is_categorical = false;
  double lower;  // NaN until set
  double upper;  // NaN until set
  std::int64_t category = -1;
  std::uint64_t n_samples = 0;
  double weight = 0.0;  // a split's: the sum of its children's
  double value;  // NaN until set
  std::int64_t predicted_class = -1;
  std::span<const double> proba;  // a view into the tree
};

/// The tree in pre-order; split counts are the sums of their children's.
std::vector<FlatNode> flatten_tree(const Tree& tree);

/// Parallel lists read from a dump. `proba_offsets` has one entry more than
/// nodes with a `proba` list: list i is probas[offsets[i] .. offsets[i+1]).
struct TreeDump {
  std::vector<std::uint8_t> is_leaf;
  std::vector<std::int64_t> children_left;
  std::vector<std::int64_t> children_right;
  std::vector<std::int64_t> feature;
  std::vector<std::uint8_t> is_categorical;
  std::vector<double> lower;
  std::vector<double> upper;
  std::vector<std::int64_t> category;
  std::vector<std::uint64_t> n_samples;
  std::vector<double> value;                 // regressor
  std::vector<std::int64_t> predicted_class;  // classifiers
  std::vector<double> probas;                // classifiers, flattened
  std::vector<std::size_t> proba_offsets;     // classifiers
};

/// Rebuilds the tree reachable from node 0 in pre-order. An index past a list's
/// end (-1 included) is an internal error; a node reached twice (a cycle or a
/// shared child) is a `ValueError`.
Tree rebuild_tree(const TreeDump& dump, bool classification);

}  // namespace quor
