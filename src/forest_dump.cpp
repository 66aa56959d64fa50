#include "forest_dump.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>

#include "config.hpp"
#include "errors.hpp"
#include "split.hpp"
#include "input.hpp"
#include "tree_dump.hpp"

namespace quor {

namespace {

std::int32_t narrow_index(std::int64_t index) {
  if (index > std::numeric_limits<std::int32_t>::max()) throw ValueError("a tree of a forest has too many nodes");
  return static_cast<std::int32_t>(index);
}

[[noreturn]] void refuse(const std::string& what) { throw ValueError("forest dump: " + what); }

/// "name[i]", the entry a message is about.
std::string entry(const char* name, std::size_t i) { return std::string(name) + "[" + std::to_string(i) + "]"; }

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

/// Leaf probabilities sum to 1 up to the rounding of counts / total, summed
/// once more here: far below this for any number of classes a fit can have.
constexpr double kProbabilitySumTolerance = 1e-9;

void check_flag(std::uint8_t flag, const char* name, std::size_t i) {
  if (flag > 1) refuse(entry(name, i) + " is " + std::to_string(flag) + ", not 0 or 1");
}

/// The fields of a split node `i` of a tree of `size` nodes (`j` its index in
/// the tree) that the rebuild and routing read, as a fit writes them.
void check_split(const ForestDump& dump, std::size_t i, std::size_t j, std::size_t size,
                 std::span<const std::uint64_t> categorical, bool has_set) {
  for (const auto& [name, children] : {std::pair{"children_left", &dump.children_left},
                                       std::pair{"children_right", &dump.children_right}}) {
    const std::int32_t child = (*children)[i];
    // Pre-order: every child comes after its parent, inside its tree.
    if (child <= 0 || static_cast<std::size_t>(child) <= j || static_cast<std::size_t>(child) >= size) {
      refuse(entry(name, i) + " is " + std::to_string(child) + ", not a later node of its tree (" +
             std::to_string(j + 1) + " .. " + std::to_string(size - 1) + ")");
    }
  }
  // Fits write a finite score, or NaN where it is unknown.
  if (std::isinf(dump.split_score[i])) refuse(entry("split_score", i) + " is infinite");
  const std::int32_t feature = dump.feature[i];
  if (feature < 0) refuse(entry("feature", i) + " is " + std::to_string(feature) + " at a split");
  const bool categorical_feature = is_categorical(categorical, static_cast<std::uint64_t>(feature));
  if ((dump.is_categorical[i] != 0) != categorical_feature) {
    refuse(entry("is_categorical", i) + " is " + std::to_string(dump.is_categorical[i]) + " but feature " +
           std::to_string(feature) + " is " + (categorical_feature ? "" : "not ") + "categorical in the settings");
  }
  const double lower = dump.lower[i];
  const double upper = dump.upper[i];
  const std::int64_t category = dump.category[i];
  if (has_set && !categorical_feature) refuse("node " + std::to_string(i) + " has a category set but is no category split");
  if (categorical_feature) {
    if (has_set != (category == -1)) {
      refuse(entry("category", i) + " is " + std::to_string(category) + (has_set ? " at a set split, not -1" :
             " without a category set"));
    }
    if (!has_set && (category < 0 || category >= static_cast<std::int64_t>(kMissingCode))) {
      refuse(entry("category", i) + " is " + std::to_string(category) + ", not a category code (0 .. " +
             std::to_string(kMissingCode - 1) + ")");
    }
    if (!std::isnan(lower) || !std::isnan(upper)) {
      refuse(entry("lower", i) + " and " + entry("upper", i) + " must be NaN at a category split");
    }
    return;
  }
  if (category != -1) refuse(entry("category", i) + " is " + std::to_string(category) + " at an interval split");
  if (std::isnan(lower) || std::isnan(upper) || !(lower <= upper)) {
    refuse(entry("lower", i) + " = " + number(lower) + " and " + entry("upper", i) + " = " + number(upper) +
           " are not the bounds of an interval");
  }
}

/// The fields of a leaf node `i` that are not its payload: those of no split.
/// The set-split arrays, when present: offsets that cover the words in
/// order, and each node's set a canonical bitset of category codes.
void check_sets(const ForestDump& dump, std::size_t n_nodes) {
  if (dump.set_offsets.empty() && dump.set_words.empty()) return;
  const std::vector<std::int64_t>& offsets = dump.set_offsets;
  if (offsets.size() != n_nodes + 1) {
    refuse("set_offsets has " + std::to_string(offsets.size()) + " entries, not one more than the " +
           std::to_string(n_nodes) + " nodes");
  }
  if (offsets.front() != 0) refuse("set_offsets[0] is " + std::to_string(offsets.front()) + ", not 0");
  constexpr std::int64_t kMostWords = (kMaxSetCategories + 63) / 64;
  for (std::size_t i = 0; i < n_nodes; ++i) {
    const std::int64_t n_words = offsets[i + 1] - offsets[i];
    if (offsets[i + 1] < offsets[i] || n_words > kMostWords) {
      refuse(entry("set_offsets", i + 1) + " is " + std::to_string(offsets[i + 1]) + ": node " + std::to_string(i) +
             " would have " + std::to_string(n_words) + " words, not 0 .. " + std::to_string(kMostWords));
    }
    if (static_cast<std::uint64_t>(offsets[i + 1]) > dump.set_words.size()) {
      refuse(entry("set_offsets", i + 1) + " is past the " + std::to_string(dump.set_words.size()) + " set_words");
    }
    if (n_words == 0) continue;
    const std::uint64_t last = dump.set_words[static_cast<std::size_t>(offsets[i + 1] - 1)];
    // The shortest bitset, of codes below kMaxSetCategories.
    const bool past_codes = n_words == kMostWords && (last >> (kMaxSetCategories % 64)) != 0;
    if (last == 0 || past_codes) {
      refuse("the category set of node " + std::to_string(i) + " ends in word " + std::to_string(last) +
             ", which is 0 or holds codes past " + std::to_string(kMaxSetCategories - 1));
    }
    if (dump.is_leaf[i] != 0) refuse("node " + std::to_string(i) + " is a leaf but has the fields of a split");
  }
  if (static_cast<std::uint64_t>(offsets.back()) != dump.set_words.size()) {
    refuse("set_offsets ends at " + std::to_string(offsets.back()) + " but there are " +
           std::to_string(dump.set_words.size()) + " set_words");
  }
}

bool has_set(const ForestDump& dump, std::size_t i) {
  return !dump.set_offsets.empty() && dump.set_offsets[i + 1] != dump.set_offsets[i];
}

void check_leaf(const ForestDump& dump, std::size_t i) {
  if (dump.children_left[i] != -1 || dump.children_right[i] != -1 || dump.feature[i] != -1 ||
      dump.is_categorical[i] != 0 || dump.category[i] != -1 || !std::isnan(dump.lower[i]) ||
      !std::isnan(dump.upper[i]) || !std::isnan(dump.split_score[i])) {
    refuse("node " + std::to_string(i) + " is a leaf but has the fields of a split");
  }
}

/// The payload of leaf number `leaf`, at node `i`.
void check_payload(const ForestDump& dump, std::size_t leaf, std::size_t i, std::uint64_t n_classes,
                   bool majority_leaves) {
  if (n_classes == 0) {
    const double value = dump.leaf_value[leaf];
    if (!(std::fabs(value) <= kLargestTarget)) {
      refuse(entry("leaf_value", leaf) + " (node " + std::to_string(i) + ") is " + number(value) +
             ", not a finite value of magnitude at most 2**960");
    }
    return;
  }
  const std::int32_t predicted = dump.leaf_class[leaf];
  if (predicted < 0 || static_cast<std::uint64_t>(predicted) >= n_classes) {
    refuse(entry("leaf_class", leaf) + " (node " + std::to_string(i) + ") is " + std::to_string(predicted) +
           ", not a class (0 .. " + std::to_string(n_classes - 1) + ")");
  }
  const std::span<const double> proba(dump.leaf_proba.data() + leaf * n_classes, n_classes);
  double sum = 0.0;
  for (const double p : proba) {
    if (!(p >= 0.0 && p <= 1.0)) {
      refuse("leaf_proba[" + std::to_string(leaf) + "] (node " + std::to_string(i) + ") holds " + number(p) +
             ", not a probability");
    }
    sum += p;
  }
  if (!(std::fabs(sum - 1.0) <= kProbabilitySumTolerance)) {
    refuse("leaf_proba[" + std::to_string(leaf) + "] (node " + std::to_string(i) + ") sums to " + number(sum) +
           ", not 1");
  }
  // A leaf predicts its most frequent class, the lowest on ties, as a forest
  // of its tree alone predicts the class of largest probability.
  if (!majority_leaves) return;
  const auto largest = static_cast<std::size_t>(std::max_element(proba.begin(), proba.end()) - proba.begin());
  if (static_cast<std::size_t>(predicted) != largest) {
    refuse(entry("leaf_class", leaf) + " (node " + std::to_string(i) + ") is " + std::to_string(predicted) +
           ", not " + std::to_string(largest) + ", the class of largest probability");
  }
}

}  // namespace

ForestDump dump_forest(std::span<const PackedTree> trees, std::span<const std::uint64_t> categorical,
                       std::uint64_t n_classes) {
  // Sized once: a forest's dump is large, and growing it by doubling would
  // hold up to twice its size.
  std::size_t n_nodes = 0;
  std::size_t n_leaves = 0;
  for (const PackedTree& tree : trees) {
    n_nodes += tree.n_nodes();
    n_leaves += tree.leaf_samples.size();
  }
  ForestDump dump;
  dump.node_offsets.reserve(trees.size() + 1);
  for (auto* v : {&dump.is_leaf, &dump.is_categorical, &dump.missing_left}) v->reserve(n_nodes);
  for (auto* v : {&dump.children_left, &dump.children_right, &dump.feature}) v->reserve(n_nodes);
  for (auto* v : {&dump.lower, &dump.upper, &dump.split_score, &dump.node_weight}) v->reserve(n_nodes);
  for (auto* v : {&dump.category, &dump.n_samples}) v->reserve(n_nodes);
  if (n_classes == 0) {
    dump.leaf_value.reserve(n_leaves);
  } else {
    dump.leaf_class.reserve(n_leaves);
    dump.leaf_proba.reserve(n_leaves * n_classes);
  }
  // A forest's trees are all grown one way: with credits or without.
  const bool credited = !trees.empty() && trees.front().has_credits;
  for (const PackedTree& tree : trees) {
    if (tree.has_credits != credited) throw InternalError("a forest's trees differ in their credits");
  }
  if (credited) dump.held_out_count.reserve(n_nodes);
  dump.node_offsets.push_back(0);
  dump.set_offsets.reserve(n_nodes + 1);
  dump.set_offsets.push_back(0);
  for (const PackedTree& packed : trees) {
    // One tree's nodes at a time.
    const Tree tree = unpack_tree(packed, categorical);
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
      dump.node_weight.push_back(node.weight);
      dump.missing_left.push_back(0);
      if (!node.is_leaf) continue;
      if (n_classes == 0) {
        dump.leaf_value.push_back(node.value);
        continue;
      }
      dump.leaf_class.push_back(narrow_index(node.predicted_class));
      for (std::size_t c = 0; c < n_classes; ++c) dump.leaf_proba.push_back(c < node.proba.size() ? node.proba[c] : 0.0);
    }
    const std::size_t first = dump.missing_left.size() - tree.nodes.size();
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
      dump.missing_left[first + i] = !tree.nodes[i].is_leaf() && tree.nodes[i].split.missing_left;
      if (!tree.nodes[i].is_leaf()) {
        const std::vector<std::uint64_t>& words = tree.nodes[i].split.category_set;
        dump.set_words.insert(dump.set_words.end(), words.begin(), words.end());
      }
      dump.set_offsets.push_back(static_cast<std::int64_t>(dump.set_words.size()));
    }
    if (credited) {
      for (const DecisionNode& node : tree.nodes) {
        const std::span<const FeatureCredit> credits = tree.credits_of(node);
        dump.held_out_count.push_back(narrow_index(static_cast<std::int64_t>(credits.size())));
        for (const FeatureCredit& credit : credits) {
          dump.held_out_feature.push_back(narrow_index(static_cast<std::int64_t>(credit.feature)));
          dump.held_out_score.push_back(credit.score);
        }
      }
    }
        const std::vector<double> scores = split_scores(tree);
    dump.split_score.insert(dump.split_score.end(), scores.begin(), scores.end());
    dump.node_offsets.push_back(static_cast<std::int64_t>(dump.is_leaf.size()));
  }
  return dump;
}

std::vector<PackedTree> rebuild_forest(const ForestDump& dump, std::uint64_t n_classes,
                                       std::span<const std::uint64_t> categorical, bool majority_leaves) {
  // Every length, flag and index is checked here, before anything is read
  // through it: the dump may come from a file anyone could have written.
  const std::size_t n_nodes = dump.is_leaf.size();
  const std::pair<const char*, std::size_t> node_arrays[] = {
      {"children_left", dump.children_left.size()}, {"children_right", dump.children_right.size()},
      {"feature", dump.feature.size()},             {"is_categorical", dump.is_categorical.size()},
      {"lower", dump.lower.size()},                 {"upper", dump.upper.size()},
      {"category", dump.category.size()},           {"n_samples", dump.n_samples.size()},
      {"split_score", dump.split_score.size()}};
  if (!dump.missing_left.empty() && dump.missing_left.size() != n_nodes) {
    refuse("missing_left has " + std::to_string(dump.missing_left.size()) + " entries but is_leaf has " +
           std::to_string(n_nodes));
  }
  if (!dump.node_weight.empty() && dump.node_weight.size() != n_nodes) {
    refuse("node_weight has " + std::to_string(dump.node_weight.size()) + " entries but is_leaf has " +
           std::to_string(n_nodes));
  }
  const bool credited = !dump.held_out_count.empty() || !dump.held_out_feature.empty() || !dump.held_out_score.empty();
  std::vector<std::size_t> credit_starts;  // per node, where its credits start
  if (credited) {
    if (dump.held_out_count.size() != n_nodes) {
      refuse("held_out_count has " + std::to_string(dump.held_out_count.size()) + " entries but is_leaf has " +
             std::to_string(n_nodes));
    }
    credit_starts.resize(n_nodes + 1, 0);
    for (std::size_t i = 0; i < n_nodes; ++i) {
      const std::int32_t count = dump.held_out_count[i];
      if (count < 0) refuse(entry("held_out_count", i) + " is " + std::to_string(count));
      if (count > 0 && dump.is_leaf[i] != 0) refuse("node " + std::to_string(i) + " is a leaf but has held-out credits");
      credit_starts[i + 1] = credit_starts[i] + static_cast<std::size_t>(count);
    }
    for (const auto& [name, size] : {std::pair{"held_out_feature", dump.held_out_feature.size()},
                                     std::pair{"held_out_score", dump.held_out_score.size()}}) {
      if (size != credit_starts.back()) {
        refuse(std::string(name) + " has " + std::to_string(size) + " entries but held_out_count adds up to " +
               std::to_string(credit_starts.back()));
      }
    }
    for (std::size_t i = 0; i < n_nodes; ++i) {
      for (std::size_t c = credit_starts[i]; c < credit_starts[i + 1]; ++c) {
        const std::int32_t feature = dump.held_out_feature[c];
        if (feature < 0 || (c > credit_starts[i] && feature <= dump.held_out_feature[c - 1])) {
          refuse(entry("held_out_feature", c) + " is " + std::to_string(feature) + ", not a feature above the " +
                 "node's previous one");
        }
        if (!std::isfinite(dump.held_out_score[c])) {
          refuse(entry("held_out_score", c) + " is " + number(dump.held_out_score[c]) + ", not finite");
        }
      }
    }
  }
  for (const auto& [name, size] : node_arrays) {
    if (size != n_nodes) {
      refuse(std::string(name) + " has " + std::to_string(size) + " entries but is_leaf has " +
             std::to_string(n_nodes));
    }
  }
  const std::vector<std::int64_t>& offsets = dump.node_offsets;
  if (offsets.size() < 2) refuse("no trees");
  if (offsets.front() != 0) refuse("node_offsets[0] is " + std::to_string(offsets.front()) + ", not 0");
  for (std::size_t t = 0; t + 1 < offsets.size(); ++t) {
    if (offsets[t + 1] <= offsets[t]) {
      refuse("node_offsets is not increasing: tree " + std::to_string(t) + " has no nodes");
    }
  }
  if (offsets.back() != static_cast<std::int64_t>(n_nodes)) {
    refuse("node_offsets ends at " + std::to_string(offsets.back()) + " but there are " + std::to_string(n_nodes) +
           " nodes");
  }
  std::size_t n_leaves = 0;
  for (std::size_t i = 0; i < n_nodes; ++i) {
    check_flag(dump.is_leaf[i], "is_leaf", i);
    check_flag(dump.is_categorical[i], "is_categorical", i);
    if (!dump.missing_left.empty()) {
      check_flag(dump.missing_left[i], "missing_left", i);
      if (dump.is_leaf[i] != 0 && dump.missing_left[i] != 0) {
        refuse("node " + std::to_string(i) + " is a leaf but has the fields of a split");
      }
    }
    n_leaves += dump.is_leaf[i];
  }
  check_sets(dump, n_nodes);
  const bool classification = n_classes > 0;
  if (classification) {
    if (dump.leaf_class.size() != n_leaves) {
      refuse("leaf_class has " + std::to_string(dump.leaf_class.size()) + " entries for " + std::to_string(n_leaves) +
             " leaves");
    }
    // Divided, not multiplied: the product may not fit.
    if (dump.leaf_proba.size() % n_classes != 0 || dump.leaf_proba.size() / n_classes != n_leaves) {
      refuse("leaf_proba has " + std::to_string(dump.leaf_proba.size()) + " entries, not " +
             std::to_string(n_classes) + " for each of " + std::to_string(n_leaves) + " leaves");
    }
  } else if (dump.leaf_value.size() != n_leaves) {
    refuse("leaf_value has " + std::to_string(dump.leaf_value.size()) + " entries for " + std::to_string(n_leaves) +
           " leaves");
  }

  std::vector<PackedTree> trees;
  trees.reserve(offsets.size() - 1);
  std::size_t leaf = 0;
  for (std::size_t t = 0; t + 1 < offsets.size(); ++t) {
    const auto begin = static_cast<std::size_t>(offsets[t]);
    const auto size = static_cast<std::size_t>(offsets[t + 1] - offsets[t]);
    TreeDump tree;
    tree.proba_offsets.push_back(0);
    for (std::size_t i = begin; i < begin + size; ++i) {
      const bool is_leaf = dump.is_leaf[i] != 0;
      if (dump.n_samples[i] < 0) refuse(entry("n_samples", i) + " is " + std::to_string(dump.n_samples[i]));
      if (is_leaf) {
        check_leaf(dump, i);
        check_payload(dump, leaf, i, n_classes, majority_leaves);
      } else {
        check_split(dump, i, i - begin, size, categorical, has_set(dump, i));
      }
      tree.is_leaf.push_back(is_leaf);
      tree.children_left.push_back(dump.children_left[i]);
      tree.children_right.push_back(dump.children_right[i]);
      tree.feature.push_back(dump.feature[i]);
      tree.is_categorical.push_back(dump.is_categorical[i]);
      tree.lower.push_back(dump.lower[i]);
      tree.upper.push_back(dump.upper[i]);
      tree.category.push_back(dump.category[i]);
      tree.n_samples.push_back(static_cast<std::uint64_t>(dump.n_samples[i]));
      if (is_leaf && classification) {
        tree.predicted_class.push_back(dump.leaf_class[leaf]);
        const auto first = dump.leaf_proba.begin() + static_cast<std::ptrdiff_t>(leaf * n_classes);
        tree.probas.insert(tree.probas.end(), first, first + static_cast<std::ptrdiff_t>(n_classes));
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
    // A split's count is its children's sum, as the export writes it; so no
    // count of a tree exceeds what int64 holds, and the dump of the rebuilt
    // forest is this one.
    for (std::size_t i = 0; i < size; ++i) {
      if (flat[i].n_samples != tree.n_samples[i]) {
        refuse(entry("n_samples", begin + i) + " is " + std::to_string(tree.n_samples[i]) +
               ", not the sum of its children's");
      }
    }
    if (!dump.node_weight.empty()) {
      // A leaf's weight is a sum of positive weights; a split's is exactly
      // its children's sum, as the export writes it.
      for (std::size_t i = 0; i < size; ++i) {
        const double weight = dump.node_weight[begin + i];
        // Zero exactly where no row reached the node (a count of 0, which
        // only dumps written before weights may hold).
        if (!(std::isfinite(weight) && weight >= 0.0) || (weight == 0.0) != (dump.n_samples[begin + i] == 0)) {
          refuse(entry("node_weight", begin + i) + " is " + number(weight) + ", not a finite weight, positive " +
                 "where n_samples is");
        }
        if (tree.is_leaf[i] != 0) rebuilt.nodes[i].weight = weight;
      }
      for (std::size_t i = 0; i < size; ++i) {
        if (tree.is_leaf[i] != 0) continue;
        const double sum = dump.node_weight[begin + static_cast<std::size_t>(tree.children_left[i])] +
                           dump.node_weight[begin + static_cast<std::size_t>(tree.children_right[i])];
        if (sum != dump.node_weight[begin + i]) {
          refuse(entry("node_weight", begin + i) + " is " + number(dump.node_weight[begin + i]) +
                 ", not the sum of its children's (" + number(sum) + ")");
        }
      }
    }
    for (std::size_t i = 0; i < size; ++i) {
      rebuilt.nodes[i].split.score = dump.split_score[begin + i];
      rebuilt.nodes[i].split.missing_left = !dump.missing_left.empty() && dump.missing_left[begin + i] != 0;
      if (has_set(dump, begin + i)) {
        Split& split = rebuilt.nodes[i].split;
        const auto first = dump.set_words.begin() + dump.set_offsets[begin + i];
        split.category = 0;
        split.category_set.assign(first, dump.set_words.begin() + dump.set_offsets[begin + i + 1]);
      }
    }
    if (credited) {
      rebuilt.has_credits = true;
      for (std::size_t i = 0; i < size; ++i) {
        DecisionNode& node = rebuilt.nodes[i];
        node.credit_offset = rebuilt.credits.size();
        node.credit_size = credit_starts[begin + i + 1] - credit_starts[begin + i];
        for (std::size_t c = credit_starts[begin + i]; c < credit_starts[begin + i + 1]; ++c) {
          rebuilt.credits.push_back(FeatureCredit{static_cast<std::uint64_t>(dump.held_out_feature[c]),
                                                  dump.held_out_score[c]});
        }
      }
    }
    trees.push_back(pack_tree(rebuilt, categorical));
  }
  return trees;
}

}  // namespace quor
