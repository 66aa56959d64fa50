#pragma once
/// Batch routing: a fitted tree laid out for sending many rows to their leaves
/// at once, straight from the caller's matrix (any memory order, any strides,
/// no copy), and the batch answers built on it: leaf values, classes,
/// probabilities, leaf indices and decision paths.
///
/// The layout holds only what routing reads, in the order it reads it: one
/// 32-byte record per split (its test as a half-open interval of the raw
/// float, the column, the two children), splits in pre-order, so the nodes of
/// a tree of a few hundred splits sit in a few kilobytes of cache. Leaves are
/// numbered 0, 1, ... in pre-order and carry their payloads in flat arrays.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tree.hpp"
#include "views.hpp"

namespace quor {

/// One split as batch routing applies it: a row whose value x in column
/// `feature` satisfies lower <= x < upper goes to child[1], any other row to
/// child[0]. A child >= 0 is a split (an index into the split list); a child
/// < 0 is the leaf ~child.
struct RoutingSplit {
  double lower = 0.0;
  double upper = 0.0;
  std::uint64_t feature = 0;
  std::array<std::int32_t, 2> child{};
  /// Missing values (non-finite floats; on a categorical column, floats
  /// with the missing code) lie outside every test; set, they go to
  /// child[1] nonetheless.
  bool missing_inside = false;
  bool categorical = false;
  /// A set split: its bitset's first word in the table's set words
  /// (RoutingTable::set_words), the interval covering its codes; a row
  /// inside the interval is inside the test only when its category is in
  /// the set. kNoSet for every other split.
  std::uint32_t set_word = kNoSet;

  static constexpr std::uint32_t kNoSet = 0xFFFFFFFFu;
};

/// A tree laid out for batch routing, for one list of categorical columns.
/// Build it once per fitted tree (the estimator keeps one beside its tree).
class RoutingTable {
 public:
  RoutingTable() = default;
  /// An empty tree (one that was never fitted) gives an empty table, which
  /// routes no row.
  RoutingTable(const Tree& tree, std::span<const std::uint64_t> categorical);

  bool empty() const { return leaf_nodes_.empty(); }
  std::size_t n_leaves() const { return leaf_nodes_.size(); }
  /// The pre-order index in Tree::nodes of leaf `leaf`.
  std::size_t leaf_node(std::size_t leaf) const { return leaf_nodes_[leaf]; }
  double leaf_value(std::size_t leaf) const { return leaf_values_[leaf]; }
  std::int64_t leaf_class(std::size_t leaf) const { return leaf_classes_[leaf]; }
  std::span<const double> leaf_proba(std::size_t leaf) const {
    if (proba_offsets_.empty()) return {probas_.data() + leaf * proba_width_, proba_width_};
    return {probas_.data() + proba_offsets_[leaf], proba_offsets_[leaf + 1] - proba_offsets_[leaf]};
  }
  /// Splits in pre-order, the root first; empty when the root is a leaf.
  std::span<const RoutingSplit> splits() const { return splits_; }
  /// The bitsets of the set splits, one after another.
  std::span<const std::uint64_t> set_words() const { return set_words_; }
  /// The bitset of split `s` (a set split).
  std::span<const std::uint64_t> category_set(std::size_t s) const;
  /// One more than the largest column a split reads (0 without splits).
  std::uint64_t columns_needed() const { return columns_needed_; }
  /// The depth of the shallowest leaf: every row passes that many splits.
  std::size_t full_levels() const { return full_levels_; }

 private:
  std::vector<RoutingSplit> splits_;
  std::vector<std::uint64_t> set_words_;
  std::vector<std::uint32_t> leaf_nodes_;  // a tree has fewer than 2**31 nodes
  std::vector<double> leaf_values_;
  std::vector<std::int64_t> leaf_classes_;
  // Leaf l's probabilities: probas_[l * width, (l + 1) * width) when every
  // leaf has as many (a fitted tree's leaves all have one per class), else
  // probas_[offsets[l], offsets[l + 1]) (n_leaves + 1 offsets).
  std::size_t proba_width_ = 0;
  std::vector<std::size_t> proba_offsets_;
  std::vector<double> probas_;
  std::uint64_t columns_needed_ = 0;
  std::size_t full_levels_ = 0;
};

/// The core batch routing: the leaf (its number in the table) that each row
/// in [row_begin, row_end) of `x` reaches, into `leaves` (row_end - row_begin
/// entries), on the calling thread. A row that reaches a split on a column
/// past the end of `x`'s rows is an internal error naming that column; rows
/// that reach no such split route normally.
void route_rows(const RoutingTable& table, const MatrixView& x, std::size_t row_begin,
                std::size_t row_end, std::span<std::uint32_t> leaves);

/// How a batch is routed.
struct BatchOptions {
  /// With 2 or more, a batch large enough to pay for threads is cut into
  /// ranges of rows routed on up to that many threads; the results are the
  /// same on any number of threads.
  std::uint64_t n_threads = 1;
  /// Refuse a batch in which any cell of x (in any column) is infinite: the
  /// batch functions then return false, leaving the output unfinished. This
  /// is the package's input check, done while the rows are in cache.
  bool refuse_infinity = false;
};

/// Whether any cell of `x` is infinite.
bool holds_infinity(const MatrixView& x);

/// The batch answers, into caller-provided outputs of n_rows entries; true
/// unless `options` refused an infinite value.
bool predict_values(const RoutingTable& table, const MatrixView& x, std::span<double> out,
                    const BatchOptions& options = {});
bool predict_classes(const RoutingTable& table, const MatrixView& x, std::span<std::int64_t> out,
                     const BatchOptions& options = {});
/// `out` is n_rows × k, row-major; every entry is written: row r gets the first
/// min(k, length) probabilities of its leaf, then zeros.
bool predict_probabilities(const RoutingTable& table, const MatrixView& x, std::size_t k,
                           std::span<double> out, const BatchOptions& options = {});
/// The pre-order index of the leaf each row reaches.
bool apply_rows(const RoutingTable& table, const MatrixView& x, std::span<std::int64_t> out,
                const BatchOptions& options = {});

/// The nodes each row passes, root first and leaf last, in compressed sparse
/// row form: row r passes indices[indptr[r] .. indptr[r + 1]).
struct DecisionPaths {
  std::vector<std::int64_t> indptr;   // n_rows + 1 entries, first 0
  std::vector<std::int64_t> indices;  // pre-order node indices
};
/// `table` must have been built from `tree`.
DecisionPaths decision_paths(const Tree& tree, const RoutingTable& table, const MatrixView& x,
                             std::uint64_t n_threads = 1);

}  // namespace quor
