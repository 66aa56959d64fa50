#include "tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "errors.hpp"

namespace quor {

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
  n.weight = static_cast<double>(n_samples);
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
  n.weight = static_cast<double>(n_samples);
}

void TreeBuilder::set_leaf_weight(std::size_t node, double weight) { tree_.nodes.at(node).weight = weight; }

void TreeBuilder::set_leaf_class_weights(std::size_t node, std::span<const double> sums) {
  const DecisionNode& n = tree_.nodes.at(node);
  if (!n.is_leaf() || sums.size() != n.proba_size) throw InternalError("class weights do not match the leaf");
  tree_.class_weights.resize(tree_.probas.size(), 0.0);
  std::copy(sums.begin(), sums.end(), tree_.class_weights.begin() + static_cast<std::ptrdiff_t>(n.proba_offset));
}

void TreeBuilder::set_split_credits(std::size_t node, std::span<const FeatureCredit> credits) {
  DecisionNode& n = tree_.nodes.at(node);
  if (n.is_leaf()) throw InternalError("a leaf has no credits");
  n.credit_offset = tree_.credits.size();
  n.credit_size = credits.size();
  tree_.credits.insert(tree_.credits.end(), credits.begin(), credits.end());
  tree_.has_credits = true;
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
    copy.credit_offset = copy.credit_size = 0;
    if (!node.is_leaf() && node.credit_size > 0) set_split_credits(index, part.credits_of(node));
    if (node.is_leaf() && node.proba_size > 0) {
      const std::span<const double> proba = part.proba(node);
      copy.proba_offset = tree_.probas.size();
      tree_.probas.insert(tree_.probas.end(), proba.begin(), proba.end());
      if (!part.class_weights.empty()) {
        set_leaf_class_weights(index, std::span<const double>(part.class_weights).subspan(node.proba_offset, node.proba_size));
      }
    }
  }
  if (part.has_credits) tree_.has_credits = true;
  return size == 0 ? npos : mapped[0];
}

Tree TreeBuilder::finish() && {
  if (tree_.nodes.empty()) throw InternalError("a tree needs at least one node");
  return std::move(tree_);
}

std::vector<double> split_scores(const Tree& tree) {
  std::vector<double> out;
  out.reserve(tree.nodes.size());
  for (const DecisionNode& node : tree.nodes) {
    out.push_back(node.is_leaf() ? std::numeric_limits<double>::quiet_NaN() : node.split.score);
  }
  return out;
}

std::vector<std::uint64_t> node_depths(const Tree& tree) {
  // Children come after their parent, so one forward pass gives every node its
  // depth before its children are met.
  const std::size_t n = tree.nodes.size();
  std::vector<std::uint64_t> depth(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const DecisionNode& node = tree.nodes[i];
    if (node.is_leaf()) continue;
    for (const std::size_t child : {node.left, node.right}) {
      check_index(child, n, "tree nodes");
      if (child <= i) {
        throw InternalError("tree node " + std::to_string(i) + " has a child that does not follow it");
      }
      depth[child] = depth[i] + 1;
    }
  }
  return depth;
}

std::uint64_t tree_depth(const Tree& tree) {
  const std::vector<std::uint64_t> depth = node_depths(tree);
  std::uint64_t deepest = 0;
  for (std::size_t i = 0; i < depth.size(); ++i) {
    if (tree.nodes[i].is_leaf()) deepest = std::max(deepest, depth[i]);
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
