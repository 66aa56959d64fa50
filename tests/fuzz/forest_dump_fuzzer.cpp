// libFuzzer target for the core's side of `RawForest.from_arrays`:
// rebuild_forest over the flat arrays of a forest dump as a file or a pickle
// hands them over, then every walk over what it accepts. Built and run by
// `make fuzz-cpp`, from a seed corpus of real fitted forests
// (tests/fuzz/forest_corpus.py writes it).
//
// An input is a forest's settings and arrays, as forest_corpus.py lays them
// out (all little-endian):
//   u8 task (even: regression, odd: classification), u8 n_classes,
//   u8 n_categorical and as many u8 categorical columns,
//   then each array of the dump in the order of kArrays: u32 count and count
//   elements (an input that ends early ends every array there),
//   then u8 n_rows and the cells of rows to route (any bytes: NaN, infinities).
//
// The loader must refuse with ValueError, and only with it: an InternalError
// (an index it did not check) is a finding. What it accepts must be a forest
// a fit could write: trees in pre-order whose every walk (flatten, depth,
// leaf count, dump and rebuild, batch routing, prediction and apply of rows
// as wide as the splits read) runs without fault and gives finite values or
// probabilities that sum to 1.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "config.hpp"
#include "errors.hpp"
#include "forest.hpp"
#include "forest_dump.hpp"
#include "input.hpp"
#include "routing.hpp"
#include "../cpp/row_walk.hpp"
#include "tree.hpp"
#include "tree_dump.hpp"

namespace {

using namespace quor;

void require(bool condition) {
  if (!condition) std::abort();
}

/// Reads the input front to back; past its end every read gives zero bytes.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  template <class T>
  T take() {
    T value{};
    const std::size_t n = std::min(sizeof(T), size_ - position_);
    std::memcpy(&value, data_ + position_, n);
    position_ += n;
    return value;
  }
  /// An array: its count, then as many elements as the input still holds.
  template <class T>
  std::vector<T> array() {
    const auto count = take<std::uint32_t>();
    const std::size_t available = (size_ - position_) / sizeof(T);
    std::vector<T> out(std::min<std::size_t>(count, available));
    if (!out.empty()) std::memcpy(out.data(), data_ + position_, out.size() * sizeof(T));
    position_ += out.size() * sizeof(T);
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

bool same_double(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

template <class T>
bool same_array(const std::vector<T>& a, const std::vector<T>& b) {
  if constexpr (std::is_same_v<T, double>) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same_double);
  } else {
    return a == b;
  }
}

/// What the loader promises of every tree it accepts.
void check_tree(const Tree& tree, std::uint64_t n_classes, std::span<const std::uint64_t> categorical) {
  require(!tree.nodes.empty());
  for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
    const DecisionNode& node = tree.nodes[i];
    if (node.is_leaf()) {
      if (n_classes == 0) {
        require(std::fabs(node.value) <= kLargestTarget);
        continue;
      }
      require(node.predicted_class < n_classes);
      const std::span<const double> proba = tree.proba(node);
      require(proba.size() == n_classes);
      double sum = 0.0;
      for (const double p : proba) {
        require(p >= 0.0 && p <= 1.0);
        sum += p;
      }
      require(std::fabs(sum - 1.0) <= 1e-9);
      continue;
    }
    // Pre-order: a split's left child follows it, its right child comes later.
    require(node.left == i + 1 && node.right > node.left && node.right < tree.nodes.size());
    const Split& split = node.split;
    require(split.is_categorical == is_categorical(categorical, split.feature));
    if (split.is_categorical) {
      require(split.category < kMissingCode);
    } else {
      require(!split.lower || !std::isnan(*split.lower));
      require(!split.upper || !std::isnan(*split.upper));
      require(!split.lower || !split.upper || *split.lower <= *split.upper);
    }
  }
  require(flatten_tree(tree).size() == tree.nodes.size());
  require(leaf_count(tree) >= 1 && tree_depth(tree) < tree.nodes.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const bool classification = (in.take<std::uint8_t>() & 1) != 0;
  const std::uint64_t n_classes = classification ? std::max<std::uint8_t>(in.take<std::uint8_t>(), 1) : 0;
  if (!classification) in.take<std::uint8_t>();
  std::vector<std::uint64_t> listed(in.take<std::uint8_t>());
  for (std::uint64_t& column : listed) column = in.take<std::uint8_t>();
  const std::vector<std::uint64_t> categorical = sorted_unique(listed);  // as the settings keep it

  ForestDump dump;
  dump.node_offsets = in.array<std::int64_t>();
  dump.is_leaf = in.array<std::uint8_t>();
  dump.children_left = in.array<std::int32_t>();
  dump.children_right = in.array<std::int32_t>();
  dump.feature = in.array<std::int32_t>();
  dump.is_categorical = in.array<std::uint8_t>();
  dump.lower = in.array<double>();
  dump.upper = in.array<double>();
  dump.category = in.array<std::int64_t>();
  dump.n_samples = in.array<std::int64_t>();
  dump.split_score = in.array<double>();
  dump.node_weight = in.array<double>();  // empty: a dump written before node weights
  if (classification) {
    dump.leaf_class = in.array<std::int32_t>();
    dump.leaf_proba = in.array<double>();
  } else {
    dump.leaf_value = in.array<double>();
  }

  std::vector<PackedTree> packed;
  try {
    packed = rebuild_forest(dump, n_classes, categorical);
  } catch (const ValueError&) {
    return 0;
  }
  // An InternalError or anything else escapes: libFuzzer reports it.
  require(packed.size() + 1 == dump.node_offsets.size());
  std::vector<Tree> trees;
  for (const PackedTree& tree : packed) {
    trees.push_back(unpack_tree(tree, categorical));
    check_tree(trees.back(), n_classes, categorical);
    require(tree_depth(tree) == tree_depth(trees.back()));
  }

  // The dump of what was accepted is the input, and rebuilds to the same trees.
  const ForestDump again = dump_forest(packed, categorical, n_classes);
  require(again.node_offsets == dump.node_offsets && again.is_leaf == dump.is_leaf);
  require(again.children_left == dump.children_left && again.children_right == dump.children_right);
  require(again.feature == dump.feature && again.is_categorical == dump.is_categorical);
  require(same_array(again.lower, dump.lower) && same_array(again.upper, dump.upper));
  require(again.category == dump.category && again.n_samples == dump.n_samples);
  require(same_array(again.split_score, dump.split_score));
  if (dump.node_weight.empty()) {
    // Each node then weighs its count.
    require(again.node_weight.size() == again.n_samples.size());
    for (std::size_t i = 0; i < again.n_samples.size(); ++i) {
      require(again.node_weight[i] == static_cast<double>(again.n_samples[i]));
    }
  } else {
    require(same_array(again.node_weight, dump.node_weight));
  }
  require(same_array(again.leaf_value, dump.leaf_value) && again.leaf_class == dump.leaf_class);
  require(same_array(again.leaf_proba, dump.leaf_proba));
  require(rebuild_forest(again, n_classes, categorical).size() == trees.size());

  // Rows as wide as the splits read, routed in batch and one by one.
  std::uint64_t n_cols = 1;
  for (const PackedTree& tree : packed) n_cols = std::max(n_cols, tree.table.columns_needed());
  if (n_cols > 64) return 0;  // a few rows of a very wide forest say nothing more
  const std::size_t n_rows = in.take<std::uint8_t>() % 8;
  std::vector<double> cells(n_rows * n_cols);
  for (double& cell : cells) cell = in.take<double>();
  const MatrixView x{reinterpret_cast<const char*>(cells.data()), n_rows, n_cols,
                     static_cast<std::ptrdiff_t>(n_cols * sizeof(double)), sizeof(double)};
  const std::size_t width = std::max<std::uint64_t>(n_classes, 1);
  std::vector<double> out(n_rows * width);
  predict_forest(packed, x, n_classes, out, 1);
  std::vector<std::int64_t> leaves(n_rows * trees.size());
  apply_forest(packed, x, leaves, 1);
  const testing::Rows rows = testing::rows_from_matrix(x, categorical);
  for (std::size_t r = 0; r < n_rows; ++r) {
    for (std::size_t t = 0; t < trees.size(); ++t) {
      require(static_cast<std::size_t>(leaves[r * trees.size() + t]) == testing::leaf_index(trees[t], rows.row(r)));
    }
    if (n_classes == 0) {
      require(std::isfinite(out[r]));
      continue;
    }
    double sum = 0.0;
    for (std::size_t c = 0; c < width; ++c) {
      const double p = out[r * width + c];
      require(p >= 0.0 && p <= 1.0 + 1e-9);
      sum += p;
    }
    require(std::fabs(sum - 1.0) <= 1e-9);
  }
  return 0;
}
