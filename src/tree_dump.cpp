#include "tree_dump.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "errors.hpp"

namespace quor {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

}  // namespace

std::vector<FlatNode> flatten_tree(const Tree& tree) {
  struct Pending {
    std::size_t node;
    std::size_t parent;  // flat index, npos for the root
    bool is_left;
  };
  constexpr std::size_t npos = TreeBuilder::npos;

  std::vector<FlatNode> flat;
  flat.reserve(tree.nodes.size());
  std::vector<Pending> stack{{0, npos, false}};
  // Pre-order: pop a node, give it the next index, then push its right child
  // below its left one so the whole left subtree is numbered first.
  while (!stack.empty()) {
    const Pending pending = stack.back();
    stack.pop_back();
    check_index(pending.node, tree.nodes.size(), "tree nodes");
    if (flat.size() == tree.nodes.size()) throw InternalError("tree has a node reached twice");
    const DecisionNode& node = tree.nodes[pending.node];
    const auto index = static_cast<std::int64_t>(flat.size());
    FlatNode& out = flat.emplace_back();
    out.lower = out.upper = out.value = kNaN;
    if (pending.parent != npos) {
      FlatNode& parent = flat[pending.parent];
      (pending.is_left ? parent.children_left : parent.children_right) = index;
    }
    if (node.is_leaf()) {
      // Both payloads are copied; the exporter lists the one of its kind.
      out.is_leaf = true;
      out.n_samples = node.n_samples;
      out.weight = node.weight;
      out.value = node.value;
      out.predicted_class = static_cast<std::int64_t>(node.predicted_class);
      out.proba = tree.proba(node);
      continue;
    }
    const Split& split = node.split;
    if (split.is_categorical) {
      out.is_categorical = true;
      // A set split has no one category; the forest arrays carry its set.
      out.category = split.category_set.empty() ? std::int64_t{split.category} : -1;
    } else {
      out.lower = split.lower.value_or(-kInfinity);
      out.upper = split.upper.value_or(kInfinity);
    }
    out.feature = static_cast<std::int64_t>(split.feature);
    const auto self = static_cast<std::size_t>(index);
    stack.push_back({node.right, self, false});
    stack.push_back({node.left, self, true});
  }
  // Children follow their parent in pre-order, so a backward pass sees both
  // children's counts before the parent's.
  for (std::size_t i = flat.size(); i-- > 0;) {
    FlatNode& node = flat[i];
    if (node.is_leaf) continue;
    node.n_samples = flat[static_cast<std::size_t>(node.children_left)].n_samples +
                     flat[static_cast<std::size_t>(node.children_right)].n_samples;
    node.weight = flat[static_cast<std::size_t>(node.children_left)].weight +
                  flat[static_cast<std::size_t>(node.children_right)].weight;
  }
  return flat;
}

Tree rebuild_tree(const TreeDump& dump, bool classification) {
  // The explicit stack replays the recursive definition step for step: a split
  // reads its left child's index, builds that whole subtree, and only then
  // reads its right child's index.
  struct Step {
    std::uint64_t index;      // dump index of the node to build, or of the split
                              // whose right child comes next
    std::size_t parent;       // builder index of the parent
    bool is_left;
    bool right_of_split;      // true: read children_right[index] now
  };
  constexpr std::size_t npos = TreeBuilder::npos;

  TreeBuilder builder;
  std::vector<char> reached(dump.is_leaf.size(), 0);
  std::vector<Step> stack{{0, npos, false, false}};
  while (!stack.empty()) {
    const Step step = stack.back();
    stack.pop_back();
    if (step.right_of_split) {
      check_index(step.index, dump.children_right.size(), "children_right");
      stack.push_back({static_cast<std::uint64_t>(dump.children_right[step.index]), step.parent,
                       false, false});
      continue;
    }
    const std::uint64_t i = step.index;
    check_index(i, dump.is_leaf.size(), "is_leaf");
    if (reached[i]) {
      throw ValueError("tree state is not a tree: node " + std::to_string(i) +
                       " is reached twice");
    }
    reached[i] = 1;
    const std::size_t node = builder.begin_node(step.parent, step.is_left);
    if (dump.is_leaf[i]) {
      if (classification) {
        check_index(i + 1, dump.proba_offsets.size(), "proba");
        const std::size_t begin = dump.proba_offsets[i];
        const std::size_t end = dump.proba_offsets[i + 1];
        check_index(i, dump.predicted_class.size(), "predicted_class");
        const auto predicted = static_cast<std::uint64_t>(
            std::max<std::int64_t>(dump.predicted_class[i], 0));
        check_index(i, dump.n_samples.size(), "n_samples");
        builder.make_classification_leaf(
            node, std::span<const double>(dump.probas).subspan(begin, end - begin), predicted,
            dump.n_samples[i]);
      } else {
        check_index(i, dump.value.size(), "value");
        check_index(i, dump.n_samples.size(), "n_samples");
        builder.make_regression_leaf(node, dump.value[i], dump.n_samples[i]);
      }
      continue;
    }
    check_index(i, dump.is_categorical.size(), "is_categorical");
    check_index(i, dump.feature.size(), "feature");
    Split split;  // its score stays unknown
    split.feature = static_cast<std::uint64_t>(dump.feature[i]);
    if (dump.is_categorical[i]) {
      check_index(i, dump.category.size(), "category");
      split.is_categorical = true;
      split.category = static_cast<std::uint32_t>(dump.category[i]);
    } else {
      check_index(i, dump.lower.size(), "lower");
      check_index(i, dump.upper.size(), "upper");
      const double lower = dump.lower[i];
      const double upper = dump.upper[i];
      if (lower != -kInfinity) split.lower = lower;
      if (upper != kInfinity) split.upper = upper;
    }
    builder.make_split(node, split);
    check_index(i, dump.children_left.size(), "children_left");
    stack.push_back({i, node, false, true});
    stack.push_back({static_cast<std::uint64_t>(dump.children_left[i]), node, true, false});
  }
  return std::move(builder).finish();
}

}  // namespace quor
