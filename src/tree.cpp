#include "tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "errors.hpp"

namespace quor {

namespace {

// Rows are materialised this many at a time, so prediction needs memory for
// one block of cells rather than for the whole matrix.
constexpr std::size_t kRowBlock = 4096;

const DecisionNode& node_at(const Tree& tree, std::size_t index) {
  check_index(index, tree.nodes.size(), "tree nodes");
  return tree.nodes[index];
}

void check_output(std::size_t out_size, std::size_t expected) {
  if (out_size != expected) {
    throw InternalError("prediction output has " + std::to_string(out_size) +
                        " entries but " + std::to_string(expected) + " are needed");
  }
}

void check_has_nodes(const Tree& tree, std::size_t n_rows) {
  if (tree.nodes.empty() && n_rows > 0) throw InternalError("model has not been fitted");
}

// Calls visit(row_index, row) for every row of `x`, block by block.
template <class Visit>
void for_each_row(const Tree& tree, const MatrixView& x, std::span<const std::uint64_t> categorical,
                  Visit&& visit) {
  check_has_nodes(tree, x.n_rows);
  for (std::size_t begin = 0; begin < x.n_rows; begin += kRowBlock) {
    const std::size_t end = std::min(x.n_rows, begin + kRowBlock);
    const Rows rows = rows_from_matrix(x, categorical, begin, end);
    for (std::size_t r = 0; r < rows.n_rows; ++r) visit(begin + r, rows.row(r));
  }
}

// Calls visit(row_index, leaf) for every row of `x`.
template <class Visit>
void for_each_leaf(const Tree& tree, const MatrixView& x, std::span<const std::uint64_t> categorical,
                   Visit&& visit) {
  for_each_row(tree, x, categorical, [&](std::size_t r, std::span<const FeatureValue> row) {
    visit(r, predict_row(tree, row));
  });
}

// Routes a row from the root to its leaf, calling on_node(index) for every
// node it passes, root first and leaf last. Returns the leaf's index.
template <class OnNode>
std::size_t walk_row(const Tree& tree, std::span<const FeatureValue> row, OnNode&& on_node) {
  std::size_t index = 0;
  const DecisionNode* node = &node_at(tree, index);
  on_node(index);
  while (!node->is_leaf()) {
    check_index(node->split.feature, row.size(), "row");
    index = node->split.goes_left(row[node->split.feature]) ? node->left : node->right;
    node = &node_at(tree, index);
    on_node(index);
  }
  return index;
}

}  // namespace

std::size_t TreeBuilder::begin_node(std::size_t parent, bool is_left) {
  const std::size_t index = tree_.nodes.size();
  tree_.nodes.emplace_back();
  if (parent != npos) {
    DecisionNode& p = tree_.nodes.at(parent);
    (is_left ? p.left : p.right) = index;
  }
  return index;
}

void TreeBuilder::make_regression_leaf(std::size_t node, double value, std::uint64_t n_samples) {
  DecisionNode& n = tree_.nodes.at(node);
  n.leaf = true;
  n.value = value;
  n.n_samples = n_samples;
}

void TreeBuilder::make_classification_leaf(std::size_t node, std::span<const double> proba,
                                           std::uint64_t predicted_class, std::uint64_t n_samples) {
  DecisionNode& n = tree_.nodes.at(node);
  n.leaf = true;
  n.proba_offset = tree_.probas.size();
  n.proba_size = proba.size();
  tree_.probas.insert(tree_.probas.end(), proba.begin(), proba.end());
  n.predicted_class = predicted_class;
  n.n_samples = n_samples;
}

void TreeBuilder::make_split(std::size_t node, const Split& split) {
  DecisionNode& n = tree_.nodes.at(node);
  n.leaf = false;
  n.split = split;
}

std::size_t TreeBuilder::append_tree(const Tree& part, std::size_t parent, bool is_left) {
  const std::size_t size = part.nodes.size();
  // Each node's parent and side inside the part; links outside the part (a
  // lone split's children) are left for the caller to make.
  std::vector<std::size_t> parent_of(size, npos);
  std::vector<char> left_of(size, 0);
  for (std::size_t k = 0; k < size; ++k) {
    const DecisionNode& node = part.nodes[k];
    if (node.is_leaf()) continue;
    if (node.left > k && node.left < size) {
      parent_of[node.left] = k;
      left_of[node.left] = 1;
    }
    if (node.right > k && node.right < size) parent_of[node.right] = k;
  }
  std::vector<std::size_t> mapped(size);
  for (std::size_t k = 0; k < size; ++k) {
    const DecisionNode& node = part.nodes[k];
    if (k > 0 && parent_of[k] == npos) throw InternalError("a tree part is not a tree");
    const std::size_t index = k == 0 ? begin_node(parent, is_left) : begin_node(mapped[parent_of[k]], left_of[k] != 0);
    mapped[k] = index;
    DecisionNode& copy = tree_.nodes[index];
    copy = node;
    copy.left = copy.right = 0;
    if (node.is_leaf() && node.proba_size > 0) {
      const std::span<const double> proba = part.proba(node);
      copy.proba_offset = tree_.probas.size();
      tree_.probas.insert(tree_.probas.end(), proba.begin(), proba.end());
    }
  }
  return size == 0 ? npos : mapped[0];
}

Tree TreeBuilder::finish() && {
  if (tree_.nodes.empty()) throw InternalError("a tree needs at least one node");
  return std::move(tree_);
}

std::size_t leaf_index(const Tree& tree, std::span<const FeatureValue> row) {
  return walk_row(tree, row, [](std::size_t) {});
}

const DecisionNode& predict_row(const Tree& tree, std::span<const FeatureValue> row) {
  return tree.nodes[leaf_index(tree, row)];
}

void predict_values(const Tree& tree, const MatrixView& x, std::span<const std::uint64_t> categorical,
                    std::span<double> out) {
  check_output(out.size(), x.n_rows);
  check_has_nodes(tree, x.n_rows);
  if (x.n_rows > 0 && tree.root().is_leaf()) {
    std::fill(out.begin(), out.end(), tree.root().value);
    return;
  }
  for_each_leaf(tree, x, categorical,
                [&](std::size_t r, const DecisionNode& leaf) { out[r] = leaf.value; });
}

void predict_classes(const Tree& tree, const MatrixView& x, std::span<const std::uint64_t> categorical,
                     std::span<std::int64_t> out) {
  check_output(out.size(), x.n_rows);
  for_each_leaf(tree, x, categorical, [&](std::size_t r, const DecisionNode& leaf) {
    out[r] = static_cast<std::int64_t>(leaf.predicted_class);
  });
}

void predict_probabilities(const Tree& tree, const MatrixView& x,
                           std::span<const std::uint64_t> categorical, std::size_t k,
                           std::span<double> out) {
  if (k != 0 && x.n_rows > SIZE_MAX / k) throw std::length_error("probability matrix too large");
  check_output(out.size(), x.n_rows * k);
  for_each_leaf(tree, x, categorical, [&](std::size_t r, const DecisionNode& leaf) {
    const std::span<const double> proba = tree.proba(leaf);
    const std::size_t n = std::min(k, proba.size());
    std::copy_n(proba.begin(), n, out.begin() + static_cast<std::ptrdiff_t>(r * k));
  });
}

void apply_rows(const Tree& tree, const MatrixView& x, std::span<const std::uint64_t> categorical,
                std::span<std::int64_t> out) {
  check_output(out.size(), x.n_rows);
  for_each_row(tree, x, categorical, [&](std::size_t r, std::span<const FeatureValue> row) {
    out[r] = static_cast<std::int64_t>(leaf_index(tree, row));
  });
}

DecisionPaths decision_paths(const Tree& tree, const MatrixView& x,
                             std::span<const std::uint64_t> categorical) {
  DecisionPaths paths;
  paths.indptr.reserve(x.n_rows + 1);
  paths.indptr.push_back(0);
  for_each_row(tree, x, categorical, [&](std::size_t, std::span<const FeatureValue> row) {
    walk_row(tree, row, [&](std::size_t index) { paths.indices.push_back(static_cast<std::int64_t>(index)); });
    paths.indptr.push_back(static_cast<std::int64_t>(paths.indices.size()));
  });
  return paths;
}

std::vector<double> split_scores(const Tree& tree) {
  std::vector<double> out;
  out.reserve(tree.nodes.size());
  for (const DecisionNode& node : tree.nodes) {
    out.push_back(node.is_leaf() ? std::numeric_limits<double>::quiet_NaN() : node.split.score);
  }
  return out;
}

std::uint64_t tree_depth(const Tree& tree) {
  // Children come after their parent, so one forward pass gives every node its
  // level before its children are met.
  const std::size_t n = tree.nodes.size();
  std::vector<std::uint64_t> level(n, 0);
  std::uint64_t deepest = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const DecisionNode& node = tree.nodes[i];
    if (node.is_leaf()) {
      deepest = std::max(deepest, level[i]);
      continue;
    }
    for (const std::size_t child : {node.left, node.right}) {
      check_index(child, n, "tree nodes");
      if (child <= i) {
        throw InternalError("tree node " + std::to_string(i) + " has a child that does not follow it");
      }
      level[child] = level[i] + 1;
    }
  }
  return deepest;
}

std::uint64_t leaf_count(const Tree& tree) {
  return static_cast<std::uint64_t>(
      std::count_if(tree.nodes.begin(), tree.nodes.end(), [](const DecisionNode& node) {
        return node.is_leaf();
      }));
}

}  // namespace quor
