// libFuzzer target for the core's side of `from_tree`: rebuild_tree over dump
// lists of any length and any index, then every walk over what it accepts
// (flatten, depth, leaf count, routing). Built and run by `make fuzz-cpp`.
//
// A dump is either refused (ValueError for a node reached twice, InternalError
// for an index past a list) or gives a tree in pre-order that flattens and
// rebuilds to itself and routes any row; routing may fail only on a split
// whose feature the row does not have.

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "estimator.hpp"
#include "routing.hpp"
#include "../cpp/row_walk.hpp"
#include "tree_dump.hpp"
#include "tree.hpp"

namespace {

using namespace quor;

void require(bool condition) {
  if (!condition) std::abort();
}

double any_double(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return std::numeric_limits<double>::infinity();
    case 2: return -std::numeric_limits<double>::infinity();
    case 3: return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    default: return in.ConsumeFloatingPointInRange<double>(-4.0, 4.0);
  }
}

/// A well-formed tree shape in pre-order: is_leaf and both child lists.
void tree_shape(FuzzedDataProvider& in, TreeDump& d) {
  std::vector<std::pair<std::size_t, bool>> pending = {{0, false}};  // parent slot, is right
  const auto budget = in.ConsumeIntegralInRange<std::size_t>(1, 24);
  while (!pending.empty()) {
    const auto [parent, is_right] = pending.back();
    pending.pop_back();
    const std::size_t i = d.is_leaf.size();
    if (i > 0) {
      (is_right ? d.children_right : d.children_left)[parent] = static_cast<std::int64_t>(i);
    }
    const bool leaf = i + pending.size() + 2 > budget || in.ConsumeBool();
    d.is_leaf.push_back(leaf);
    d.children_left.push_back(-1);
    d.children_right.push_back(-1);
    if (!leaf) {
      pending.push_back({i, true});
      pending.push_back({i, false});
    }
  }
}

TreeDump any_dump(FuzzedDataProvider& in, bool classification) {
  TreeDump d;
  // Half the dumps start from a well-formed shape, so that most of them get
  // past the rebuild; the rest have lists of any length and any index.
  const bool shaped = in.ConsumeBool();
  if (shaped) tree_shape(in, d);
  const auto n = shaped ? static_cast<std::int64_t>(d.is_leaf.size())
                        : in.ConsumeIntegralInRange<std::int64_t>(1, 24);
  // Lists mostly as long as the node count, sometimes shorter or longer.
  const auto length = [&] {
    return in.ConsumeBool() ? n : in.ConsumeIntegralInRange<std::int64_t>(0, n + 2);
  };
  // Indices mostly of a node, sometimes -1, past the end or anything at all.
  const auto index = [&]() -> std::int64_t {
    return in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int64_t>(-1, n)
                            : in.ConsumeIntegral<std::int64_t>();
  };
  if (shaped) {
    // A few entries of the shape overwritten: cycles, shared children, bad indices.
    for (auto k = in.ConsumeIntegralInRange<int>(0, 2); k > 0; --k) {
      const auto i = in.ConsumeIntegralInRange<std::size_t>(0, d.is_leaf.size() - 1);
      (in.ConsumeBool() ? d.children_left : d.children_right)[i] = index();
    }
  } else {
    for (auto i = length(); i > 0; --i) d.is_leaf.push_back(in.ConsumeBool());
    for (auto i = length(); i > 0; --i) d.children_left.push_back(index());
    for (auto i = length(); i > 0; --i) d.children_right.push_back(index());
  }
  for (auto i = length(); i > 0; --i) {
    d.feature.push_back(in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int64_t>(0, 3)
                                         : index());
  }
  for (auto i = length(); i > 0; --i) d.is_categorical.push_back(in.ConsumeBool());
  for (auto i = length(); i > 0; --i) d.lower.push_back(any_double(in));
  for (auto i = length(); i > 0; --i) d.upper.push_back(any_double(in));
  for (auto i = length(); i > 0; --i) {
    d.category.push_back(in.ConsumeIntegralInRange<std::int64_t>(-1, 3));
  }
  for (auto i = length(); i > 0; --i) d.n_samples.push_back(in.ConsumeIntegral<std::uint64_t>());
  if (!classification) {
    for (auto i = length(); i > 0; --i) d.value.push_back(any_double(in));
    return d;
  }
  for (auto i = length(); i > 0; --i) d.predicted_class.push_back(index());
  d.proba_offsets.push_back(0);
  for (auto i = length(); i > 0; --i) {
    for (auto k = in.ConsumeIntegralInRange<int>(0, 4); k > 0; --k) {
      d.probas.push_back(any_double(in));
    }
    d.proba_offsets.push_back(d.probas.size());
  }
  return d;
}

/// The dump `export_tree` would give: the flattened nodes as parallel lists.
TreeDump as_dump(const std::vector<FlatNode>& flat) {
  TreeDump d;
  d.proba_offsets.push_back(0);
  for (const FlatNode& f : flat) {
    d.is_leaf.push_back(f.is_leaf);
    d.children_left.push_back(f.children_left);
    d.children_right.push_back(f.children_right);
    d.feature.push_back(f.feature);
    d.is_categorical.push_back(f.is_categorical);
    d.lower.push_back(f.lower);
    d.upper.push_back(f.upper);
    d.category.push_back(f.category);
    d.n_samples.push_back(f.n_samples);
    d.value.push_back(f.value);
    d.predicted_class.push_back(f.predicted_class);
    d.probas.insert(d.probas.end(), f.proba.begin(), f.proba.end());
    d.proba_offsets.push_back(d.probas.size());
  }
  return d;
}

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool same_bound(const std::optional<double>& a, const std::optional<double>& b) {
  return a.has_value() == b.has_value() && (!a || same_bits(*a, *b));
}

void check_same_tree(const Tree& a, const Tree& b) {
  require(a.nodes.size() == b.nodes.size());
  for (std::size_t i = 0; i < a.nodes.size(); ++i) {
    const DecisionNode& x = a.nodes[i];
    const DecisionNode& y = b.nodes[i];
    require(x.is_leaf() == y.is_leaf());
    if (x.is_leaf()) {
      require(same_bits(x.value, y.value) && x.predicted_class == y.predicted_class &&
              x.n_samples == y.n_samples);
      const auto pa = a.proba(x), pb = b.proba(y);
      require(pa.size() == pb.size());
      for (std::size_t k = 0; k < pa.size(); ++k) require(same_bits(pa[k], pb[k]));
    } else {
      require(x.split.feature == y.split.feature && x.left == y.left && x.right == y.right);
      require(x.split.is_categorical == y.split.is_categorical);
      if (x.split.is_categorical) require(x.split.category == y.split.category);
      else require(same_bound(x.split.lower, y.split.lower) && same_bound(x.split.upper, y.split.upper));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool classification = in.ConsumeBool();
  const TreeDump dump = any_dump(in, classification);
  Tree tree;
  try {
    tree = rebuild_tree(dump, classification);
  } catch (const ValueError&) {
    return 0;
  } catch (const InternalError&) {
    return 0;
  }

  // Pre-order: a split's left child follows it, its right child comes later.
  std::uint64_t largest_feature = 0;
  for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
    const DecisionNode& node = tree.nodes[i];
    if (node.is_leaf()) continue;
    require(node.left == i + 1 && node.right > node.left && node.right < tree.nodes.size());
    largest_feature = std::max(largest_feature, node.split.feature);
  }
  const std::vector<FlatNode> flat = flatten_tree(tree);
  require(flat.size() == tree.nodes.size());
  check_same_tree(rebuild_tree(as_dump(flat), classification), tree);
  require(leaf_count(tree) >= 1 && tree_depth(tree) < tree.nodes.size());

  // Route rows of a few columns; one too few for a split reached must panic.
  const auto n_cols = in.ConsumeIntegralInRange<std::size_t>(0, 4);
  const auto n_rows = in.ConsumeIntegralInRange<std::size_t>(0, 6);
  std::vector<double> cells(n_rows * n_cols);
  for (double& cell : cells) cell = any_double(in);
  const MatrixView x{reinterpret_cast<const char*>(cells.data()), n_rows, n_cols,
                     static_cast<std::ptrdiff_t>(n_cols * sizeof(double)), sizeof(double)};
  const std::vector<std::uint64_t> categorical = {in.ConsumeIntegralInRange<std::uint64_t>(0, 3)};
  std::vector<double> values(n_rows);
  std::vector<std::int64_t> classes(n_rows);
  const std::size_t k = in.ConsumeIntegralInRange<std::size_t>(1, 4);
  std::vector<double> proba(n_rows * k, 0.0);
  const RoutingTable table(tree, categorical);
  try {
    predict_values(table, x, values);
    predict_classes(table, x, classes);
    predict_probabilities(table, x, k, proba);
  } catch (const InternalError&) {
    require(n_rows > 0 && largest_feature >= n_cols);
    return 0;
  }
  // Batch routing agrees with the walk of one row by the split tests.
  const testing::Rows rows = testing::rows_from_matrix(x, categorical);
  for (std::size_t r = 0; r < n_rows; ++r) {
    const DecisionNode& leaf = testing::predict_row(tree, rows.row(r));
    require(std::memcmp(&values[r], &leaf.value, sizeof(double)) == 0);
    require(classes[r] == static_cast<std::int64_t>(leaf.predicted_class));
    const std::span<const double> p = tree.proba(leaf);
    for (std::size_t j = 0; j < k; ++j) {
      const double expected = j < p.size() ? p[j] : 0.0;
      require(std::memcmp(&proba[r * k + j], &expected, sizeof(double)) == 0);
    }
  }
  return 0;
}
