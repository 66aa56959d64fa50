#include "forest_dump.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "errors.hpp"
#include "tree_dump.hpp"

namespace quor {

namespace {

std::int32_t narrow_index(std::int64_t index) {
  if (index > std::numeric_limits<std::int32_t>::max()) throw ValueError("a tree of a forest has too many nodes");
  return static_cast<std::int32_t>(index);
}

[[noreturn]] void refuse(const std::string& what) { throw ValueError("forest dump: " + what); }

}  // namespace

ForestDump dump_forest(std::span<const Tree> trees, std::uint64_t n_classes) {
  // Sized once: a forest's dump is large, and growing it by doubling would
  // hold up to twice its size.
  std::size_t n_nodes = 0;
  std::size_t n_leaves = 0;
  for (const Tree& tree : trees) {
    n_nodes += tree.nodes.size();
    for (const DecisionNode& node : tree.nodes) n_leaves += node.is_leaf() ? 1 : 0;
  }
  ForestDump dump;
  dump.node_offsets.reserve(trees.size() + 1);
  for (auto* v : {&dump.is_leaf, &dump.is_categorical}) v->reserve(n_nodes);
  for (auto* v : {&dump.children_left, &dump.children_right, &dump.feature}) v->reserve(n_nodes);
  for (auto* v : {&dump.lower, &dump.upper, &dump.split_score}) v->reserve(n_nodes);
  for (auto* v : {&dump.category, &dump.n_samples}) v->reserve(n_nodes);
  if (n_classes == 0) {
    dump.leaf_value.reserve(n_leaves);
  } else {
    dump.leaf_class.reserve(n_leaves);
    dump.leaf_proba.reserve(n_leaves * n_classes);
  }
  dump.node_offsets.push_back(0);
  for (const Tree& tree : trees) {
    const std::vector<FlatNode> flat = flatten_tree(tree);
    for (const FlatNode& node : flat) {
      dump.is_leaf.push_back(node.is_leaf);
      dump.children_left.push_back(narrow_index(node.children_left));
      dump.children_right.push_back(narrow_index(node.children_right));
      dump.feature.push_back(narrow_index(node.feature));
      dump.is_categorical.push_back(node.is_categorical);
      dump.lower.push_back(node.lower);
      dump.upper.push_back(node.upper);
      dump.category.push_back(node.category);
      dump.n_samples.push_back(static_cast<std::int64_t>(node.n_samples));
      if (!node.is_leaf) continue;
      if (n_classes == 0) {
        dump.leaf_value.push_back(node.value);
        continue;
      }
      dump.leaf_class.push_back(narrow_index(node.predicted_class));
      for (std::size_t c = 0; c < n_classes; ++c) dump.leaf_proba.push_back(c < node.proba.size() ? node.proba[c] : 0.0);
    }
    const std::vector<double> scores = split_scores(tree);
    dump.split_score.insert(dump.split_score.end(), scores.begin(), scores.end());
    dump.node_offsets.push_back(static_cast<std::int64_t>(dump.is_leaf.size()));
  }
  return dump;
}

std::vector<Tree> rebuild_forest(const ForestDump& dump, std::uint64_t n_classes) {
  const std::size_t n_nodes = dump.is_leaf.size();
  for (const std::size_t size : {dump.children_left.size(), dump.children_right.size(), dump.feature.size(),
                                 dump.is_categorical.size(), dump.lower.size(), dump.upper.size(),
                                 dump.category.size(), dump.n_samples.size(), dump.split_score.size()}) {
    if (size != n_nodes) refuse("the node arrays differ in length");
  }
  if (dump.node_offsets.empty() || dump.node_offsets.front() != 0 ||
      dump.node_offsets.back() != static_cast<std::int64_t>(n_nodes)) {
    refuse("the tree offsets do not cover the nodes");
  }
  const std::size_t n_leaves = static_cast<std::size_t>(std::count(dump.is_leaf.begin(), dump.is_leaf.end(), 1));
  const bool classification = n_classes > 0;
  if (classification ? (dump.leaf_class.size() != n_leaves || dump.leaf_proba.size() != n_leaves * n_classes)
                     : dump.leaf_value.size() != n_leaves) {
    refuse("the leaf arrays do not match the leaves");
  }
  std::vector<Tree> trees;
  std::size_t leaf = 0;
  for (std::size_t t = 0; t + 1 < dump.node_offsets.size(); ++t) {
    const std::int64_t first = dump.node_offsets[t];
    const std::int64_t last = dump.node_offsets[t + 1];
    if (last <= first) refuse("tree " + std::to_string(t) + " has no nodes");
    const auto begin = static_cast<std::size_t>(first);
    const std::size_t size = static_cast<std::size_t>(last - first);
    TreeDump tree;
    tree.proba_offsets.push_back(0);
    for (std::size_t i = begin; i < begin + size; ++i) {
      const bool is_leaf = dump.is_leaf[i] != 0;
      // Children and features are checked here so that rebuilding meets no
      // index out of range; a node reached twice it reports itself.
      if (!is_leaf) {
        for (const std::int32_t child : {dump.children_left[i], dump.children_right[i]}) {
          if (child <= 0 || static_cast<std::size_t>(child) >= size) {
            refuse("tree " + std::to_string(t) + " has a child outside its nodes");
          }
        }
        if (dump.feature[i] < 0) refuse("tree " + std::to_string(t) + " splits on a negative feature");
      }
      tree.is_leaf.push_back(is_leaf);
      tree.children_left.push_back(dump.children_left[i]);
      tree.children_right.push_back(dump.children_right[i]);
      tree.feature.push_back(dump.feature[i]);
      tree.is_categorical.push_back(dump.is_categorical[i]);
      tree.lower.push_back(dump.lower[i]);
      tree.upper.push_back(dump.upper[i]);
      tree.category.push_back(dump.category[i]);
      tree.n_samples.push_back(static_cast<std::uint64_t>(std::max<std::int64_t>(dump.n_samples[i], 0)));
      if (is_leaf && classification) {
        tree.predicted_class.push_back(dump.leaf_class[leaf]);
        tree.probas.insert(tree.probas.end(), dump.leaf_proba.begin() + static_cast<std::ptrdiff_t>(leaf * n_classes),
                           dump.leaf_proba.begin() + static_cast<std::ptrdiff_t>((leaf + 1) * n_classes));
      } else if (classification) {
        tree.predicted_class.push_back(-1);
      } else {
        tree.value.push_back(is_leaf ? dump.leaf_value[leaf] : std::numeric_limits<double>::quiet_NaN());
      }
      tree.proba_offsets.push_back(tree.probas.size());
      leaf += is_leaf ? 1 : 0;
    }
    Tree rebuilt = rebuild_tree(tree, classification);
    // Node i of the rebuilt tree is its i-th node in pre-order; that is node
    // i of the dump only when the dump lists its nodes in pre-order, which is
    // what the leaf indices of `apply` and the split scores rely on.
    const std::vector<FlatNode> flat = flatten_tree(rebuilt);
    bool pre_order = flat.size() == size;
    for (std::size_t i = 0; pre_order && i < size; ++i) {
      pre_order = flat[i].children_left == tree.children_left[i] && flat[i].children_right == tree.children_right[i];
    }
    if (!pre_order) refuse("tree " + std::to_string(t) + " is not one tree listed in pre-order");
    for (std::size_t i = 0; i < size; ++i) rebuilt.nodes[i].split.score = dump.split_score[begin + i];
    trees.push_back(std::move(rebuilt));
  }
  if (trees.empty()) refuse("no trees");
  return trees;
}

}  // namespace quor
