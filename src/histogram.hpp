#pragma once
/// The histograms of fast mode's split search: for a block of features at one
/// node, per fold and per code, the regression sums or the class counts of the
/// node's samples. A block is filled in one pass over the node's samples that
/// reads each sample's row of codes once; a large node's samples are shared
/// out over threads, and the cells are the same.
///
/// Cell (fold f, code b) of a feature is at f·B + b from the feature's offset
/// in the block; with classes, (f, b, c) is at (f·B + b)·C + c.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "config.hpp"
#include "encoder.hpp"
#include "node_targets.hpp"

namespace quor {

/// One regression cell: the count, sum and sum of squares of the targets of
/// one (fold, code), kept together so an update touches one cache line.
/// Weighted, the sums are of w·y and w·(y·y) and the count is the weight sum.
template <class N>
struct BasicRegressionCell {
  double sum;
  double sq_sum;
  N count;
};
using RegressionCell = BasicRegressionCell<std::uint64_t>;
using WeightedRegressionCell = BasicRegressionCell<double>;

/// What the search needs of one feature.
struct FeatureSpec {
  std::uint64_t feature = 0;
  std::uint64_t n_codes = 0;   // B
  bool threshold = false;      // the threshold test (continuous, threshold style); else membership
  bool has_missing = true;     // whether any sample may have the missing code
  /// For a feature whose codes a small node renumbered (code_compaction.hpp):
  /// the original code of each new one.
  const std::uint32_t* original_codes = nullptr;
  /// Learned missing sides: the missing samples get a cell of their own per
  /// fold, after the B codes' (cell B), and every candidate is scored with
  /// them on either side.
  bool learn_missing = false;
  bool continuous = true;  // whether "missing values alone" is a candidate
  /// A categorical feature split by sets of categories (category_order.hpp):
  /// candidate j of order k, code k·P + j with P the codes the node holds,
  /// sends the codes of ranks 0 … j in each fold's order left.
  bool set_split = false;
  /// Drawn thresholds: a continuous feature under the threshold test scores
  /// at most this many of its candidate codes (those holding a sample of the
  /// node, but the last code), drawn by `draw_subset` from
  /// threshold_key(node_key, feature); 0 scores every one. Every code the
  /// node holds keeps its place in the running sums either way.
  std::uint64_t max_thresholds = 0;
  std::uint64_t node_key = 0;

  /// Cells per fold (and class).
  std::size_t width() const { return static_cast<std::size_t>(n_codes) + (learn_missing ? 1 : 0); }
};

/// How encoded feature `feature` is searched under the split style: its bin
/// count, its kind of test and whether it may hold the missing code.
FeatureSpec feature_spec(const EncodedFeatures& encoded, std::uint64_t feature, SplitStyle style,
                         bool learn_missing = false);

/// A row-major matrix of codes, one byte (`narrow`) or two (`wide`) each, with
/// `stride` codes per sample. A code at or above a feature's B, such as the
/// missing code of either width, counts as missing.
struct CodeRows {
  const std::uint8_t* narrow = nullptr;
  const std::uint16_t* wide = nullptr;
  std::size_t stride = 0;
};

/// The code matrix of encoded features, in whichever width it is stored.
CodeRows code_rows(const EncodedFeatures& encoded);

/// Cells per feature of a filled block: K·width, times C when classes are counted.
inline std::size_t cells_of(bool regression, const FeatureSpec& spec, std::size_t K, std::size_t C) {
  return spec.width() * (regression ? 1 : C) * K;
}

/// Where each feature of a block has its cells, and its slot in the per-fold
/// totals of features whose samples may have the missing code.
struct BlockLayout {
  std::vector<std::size_t> offsets;       // n_features + 1
  std::vector<std::size_t> missing_slot;  // per feature
  std::size_t n_missing = 0;

  BlockLayout(bool regression, std::span<const FeatureSpec> specs, std::size_t K, std::size_t C);
};

/// The cells of a filled block, reused from block to block: they grow to the
/// largest block seen and are zeroed, in the part a block uses, before each
/// fill.
struct HistogramCells {
  std::vector<RegressionCell> cells;
  std::vector<std::uint32_t> class_counts;
  // Weighted fits: weight sums where the two above count.
  std::vector<WeightedRegressionCell> weighted_cells;
  std::vector<double> class_weights;
  std::vector<double> fold_sums;     // per feature with missing codes: K each
  std::vector<double> fold_sq_sums;
};

/// Fills the regression cells of a block of features, laid out as `layout`
/// says, and each fold's totals over the usable samples of every feature that
/// may have the missing code. Sample i of the node's list has its codes in
/// row `rows[i]` of `codes`; the code of feature k of the block is in column
/// `columns[k]`. With `n_threads` of 2 or more, a large node's samples are
/// shared out over that many threads, whole folds each. `Weighted`: the
/// node's targets are weighted (NodeTargets::weighted) and the weighted cells
/// are filled.
template <bool Weighted, class Code>
void fill_regression_cells(const Code* codes, std::size_t stride, std::span<const std::uint32_t> rows,
                           std::span<const std::size_t> columns, std::span<const FeatureSpec> specs,
                           const NodeTargets& node, const BlockLayout& layout, HistogramCells& out,
                           std::uint64_t n_threads);

/// Fills the class counts of a block of features (`n_classes` classes; a
/// label at or above it is left out), as fill_regression_cells does the sums;
/// with threads, each counts a share of the samples into its own cells.
/// `Weighted`: the class weight sums, each cell summed in the node's sample
/// order; with threads, each takes a share of the features.
template <bool Weighted, class Code>
void fill_class_counts(const Code* codes, std::size_t stride, std::span<const std::uint32_t> rows,
                       std::span<const std::size_t> columns, std::span<const FeatureSpec> specs,
                       const NodeTargets& node, std::size_t n_classes, const BlockLayout& layout,
                       HistogramCells& out, std::uint64_t n_threads);

#define QUOR_FILL_DECLARATIONS(W, Code)                                                                         \
  extern template void fill_regression_cells<W, Code>(const Code*, std::size_t, std::span<const std::uint32_t>, \
                                                      std::span<const std::size_t>, std::span<const FeatureSpec>, \
                                                      const NodeTargets&, const BlockLayout&, HistogramCells&,    \
                                                      std::uint64_t);                                             \
  extern template void fill_class_counts<W, Code>(const Code*, std::size_t, std::span<const std::uint32_t>,     \
                                                  std::span<const std::size_t>, std::span<const FeatureSpec>,     \
                                                  const NodeTargets&, std::size_t, const BlockLayout&,            \
                                                  HistogramCells&, std::uint64_t);
QUOR_FILL_DECLARATIONS(false, std::uint8_t)
QUOR_FILL_DECLARATIONS(false, std::uint16_t)
QUOR_FILL_DECLARATIONS(true, std::uint8_t)
QUOR_FILL_DECLARATIONS(true, std::uint16_t)
#undef QUOR_FILL_DECLARATIONS

}  // namespace quor
