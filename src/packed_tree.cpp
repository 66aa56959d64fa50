#include "packed_tree.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "config.hpp"
#include "errors.hpp"
#include "input.hpp"

namespace quor {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

PackedTree pack_tree(const Tree& tree, std::span<const std::uint64_t> categorical) {
  PackedTree packed;
  packed.table = RoutingTable(tree, categorical);
  const std::size_t n_leaves = packed.table.n_leaves();
  packed.splits.reserve(tree.nodes.size() - n_leaves);
  packed.leaf_samples.reserve(n_leaves);
  bool weighted = false;
  for (const DecisionNode& node : tree.nodes) {
    weighted = weighted || (node.is_leaf() && node.weight != static_cast<double>(node.n_samples));
  }
  if (weighted) packed.leaf_weights.reserve(n_leaves);
  packed.has_credits = tree.has_credits;
  if (tree.has_credits) {
    packed.credit_counts.reserve(tree.nodes.size() - n_leaves);
    packed.credits.reserve(tree.credits.size());
  }
  // The table numbers splits and leaves in node order, as this loop meets them.
  for (const DecisionNode& node : tree.nodes) {
    if (node.is_leaf()) {
      packed.leaf_samples.push_back(node.n_samples);
      if (weighted) packed.leaf_weights.push_back(node.weight);
      continue;
    }
    const Split& split = node.split;
    // Routing sends a row inside a split's test to its left child, but for
    // these, which no fit grows; unpacking relies on it.
    if (split.is_categorical != is_categorical(categorical, split.feature) ||
        (split.is_categorical && split.category == kMissingCode)) {
      throw InternalError("a packed tree's splits test categories below the missing code, on categorical columns");
    }
    if (tree.has_credits) {
      const std::span<const FeatureCredit> credits = tree.credits_of(node);
      packed.credit_counts.push_back(static_cast<std::uint32_t>(credits.size()));
      packed.credits.insert(packed.credits.end(), credits.begin(), credits.end());
    }
    packed.splits.push_back(split.is_categorical
                                ? SplitDetail{static_cast<double>(split.category), kNaN, split.score}
                                : SplitDetail{split.lower.value_or(-kInfinity), split.upper.value_or(kInfinity),
                                              split.score});
  }
  return packed;
}

Tree unpack_tree(const PackedTree& packed, std::span<const std::uint64_t> categorical) {
  const RoutingTable& table = packed.table;
  const std::span<const RoutingSplit> splits = table.splits();
  struct Pending {
    std::int32_t code;  // a split's number, or ~a leaf's
    std::size_t parent;
    bool is_left;
  };
  // Where each split's credits start.
  std::vector<std::size_t> credit_starts;
  if (packed.has_credits) {
    if (packed.credit_counts.size() != splits.size()) throw InternalError("a packed tree's credits do not match its splits");
    credit_starts.resize(splits.size() + 1, 0);
    for (std::size_t s = 0; s < splits.size(); ++s) credit_starts[s + 1] = credit_starts[s] + packed.credit_counts[s];
    if (credit_starts.back() != packed.credits.size()) throw InternalError("a packed tree's credits do not match its splits");
  }
  TreeBuilder builder;
  // Pre-order from the root: a split's left child (the inside of its test)
  // is pushed last, so its whole subtree is built before the right one.
  std::vector<Pending> stack{{splits.empty() ? ~0 : 0, TreeBuilder::npos, false}};
  while (!stack.empty()) {
    const Pending pending = stack.back();
    stack.pop_back();
    const std::size_t node = builder.begin_node(pending.parent, pending.is_left);
    if (pending.code < 0) {
      const auto leaf = static_cast<std::size_t>(~pending.code);
      check_index(leaf, packed.leaf_samples.size(), "packed leaves");
      const std::span<const double> proba = table.leaf_proba(leaf);
      if (proba.empty()) {
        builder.make_regression_leaf(node, table.leaf_value(leaf), packed.leaf_samples[leaf]);
      } else {
        builder.make_classification_leaf(node, proba, static_cast<std::uint64_t>(table.leaf_class(leaf)),
                                         packed.leaf_samples[leaf]);
      }
      if (!packed.leaf_weights.empty()) {
        check_index(leaf, packed.leaf_weights.size(), "packed leaf weights");
        builder.set_leaf_weight(node, packed.leaf_weights[leaf]);
      }
      continue;
    }
    const auto s = static_cast<std::size_t>(pending.code);
    check_index(s, packed.splits.size(), "packed splits");
    const SplitDetail& detail = packed.splits[s];
    Split split;
    split.feature = splits[s].feature;
    split.score = detail.score;
    split.missing_left = splits[s].missing_inside;
    if (is_categorical(categorical, split.feature)) {
      split.is_categorical = true;
      const std::span<const std::uint64_t> set = table.category_set(s);
      if (set.empty()) {
        split.category = static_cast<std::uint32_t>(detail.lower);
      } else {
        split.category_set.assign(set.begin(), set.end());
      }
    } else {
      if (detail.lower != -kInfinity) split.lower = detail.lower;
      if (detail.upper != kInfinity) split.upper = detail.upper;
    }
    builder.make_split(node, split);
    if (packed.has_credits && packed.credit_counts[s] > 0) {
      builder.set_split_credits(node, std::span<const FeatureCredit>(packed.credits)
                                          .subspan(credit_starts[s], packed.credit_counts[s]));
    }
    stack.push_back({splits[s].child[0], node, false});
    stack.push_back({splits[s].child[1], node, true});
  }
  Tree tree = std::move(builder).finish();
  tree.has_credits = packed.has_credits;
  return tree;
}

std::uint64_t tree_depth(const PackedTree& packed) {
  const std::span<const RoutingSplit> splits = packed.table.splits();
  if (splits.empty()) return 0;
  // Splits come in pre-order, so each split's depth is known before its
  // children's: one pass down the list.
  std::vector<std::uint64_t> depth(splits.size(), 0);
  std::uint64_t deepest = 0;
  for (std::size_t s = 0; s < splits.size(); ++s) {
    for (const std::int32_t child : splits[s].child) {
      if (child < 0) {
        deepest = std::max(deepest, depth[s] + 1);
        continue;
      }
      check_index(static_cast<std::size_t>(child), splits.size(), "packed splits");
      if (static_cast<std::size_t>(child) <= s) throw InternalError("a packed split's child does not follow it");
      depth[static_cast<std::size_t>(child)] = depth[s] + 1;
    }
  }
  return deepest;
}

}  // namespace quor
