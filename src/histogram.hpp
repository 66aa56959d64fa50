#pragma once
/// Fast-mode split searches: per fold and per code histograms of the features
/// at one node, from which every threshold or membership candidate is scored.
/// Regression and classification score each fold on its own samples; the
/// objective search trains on the other folds and scores the held-out one.
///
/// A node's histograms for a block of features are filled in one pass over
/// its samples, reading each sample's row of codes once; each feature is then
/// scored from its own cells. The per-feature entry points below are the same
/// search for a single feature whose codes form one column.

#include <cstdint>
#include <span>
#include <vector>

#include "aggregation.hpp"
#include "criterion.hpp"

namespace quor {

struct ObjectiveTask;

/// One regression cell: the count, sum and sum of squares of the targets of
/// one (fold, code), kept together so an update touches one cache line.
struct RegressionCell {
  double sum;
  double sq_sum;
  std::uint64_t count;
};

/// Reusable working arrays; they grow to the largest block seen and are
/// zeroed, in the part a search uses, before each fill. One scratch serves
/// every node of a sequential fit; each parallel task has its own.
/// Cell (fold f, code b) of a feature is at f·B + b from the feature's offset;
/// with classes, (f, b, c) is at (f·B + b)·C + c.
struct HistogramScratch {
  std::vector<RegressionCell> cells;
  std::vector<std::uint32_t> class_counts;
  std::vector<double> fold_sums;                   // per feature with missing codes: K each
  std::vector<double> fold_sq_sums;
  std::vector<std::uint32_t> fold_class_totals;    // per feature with missing codes: K·C each
};

/// A node's samples as the searches read them: each with its fold number and
/// target, aligned, gathered once per node and shared read-only by every
/// feature's search. Regression lists the samples in fold-assignment order,
/// since its sums are taken in that order; counting classes needs no order,
/// so classification may list them in the node's own order, which reads the
/// code rows more nearly in sequence. Also the per-fold target totals over
/// every sample of the node (used as is by features without missing codes).
struct NodeTargets {
  std::span<const std::uint32_t> samples;
  std::span<const std::uint8_t> fold_ids;
  std::uint64_t n_folds = 0;
  std::vector<double> y;                  // regression
  std::vector<double> y2;
  std::span<const std::uint64_t> labels;  // classification and objective
  std::vector<std::uint64_t> own_labels;
  std::uint64_t n_classes = 0;
  std::vector<double> fold_sums;          // K
  std::vector<double> fold_sq_sums;       // K

  /// y[i] = values[index[i]] (and its square), with the per-fold sums.
  template <class Id>
  void gather_values(std::span<const double> values, std::span<const Id> index);
  /// labels = labels_all at the samples, in sample-list order.
  void gather_labels(std::span<const std::uint64_t> labels_all, std::uint64_t classes);
};

/// What the search needs of one feature.
struct FeatureSpec {
  std::uint64_t feature = 0;
  std::uint64_t n_codes = 0;   // B
  bool threshold = false;      // threshold test (continuous, "threshold" style); else membership
  bool has_missing = true;     // whether any sample may have the missing code
};

enum class HistogramTask { Regression, Gini, Entropy, Objective };

/// A row-major matrix of codes, one byte (`narrow`) or two (`wide`) each, with
/// `stride` codes per sample. A code at or above a feature's B, such as the
/// missing code of either width, counts as missing.
struct CodeRows {
  const std::uint8_t* narrow = nullptr;
  const std::uint16_t* wide = nullptr;
  std::size_t stride = 0;
};

/// Scores a block of features of one node: the code of feature k of the block
/// for sample s is at row s, column `columns[k]`. Appends each feature's
/// records, in block order, to `out` (one list per feature). With `n_threads`
/// of 2 or more, class counts of a large node are taken on that many threads,
/// each over its own share of the samples (the counts, and so the records, are
/// the same).
void score_feature_block(HistogramTask task, const ObjectiveTask* objective, const CodeRows& codes,
                         std::span<const std::size_t> columns, std::span<const FeatureSpec> specs,
                         const NodeTargets& node, const Aggregator& aggregator,
                         HistogramScratch& scratch, std::vector<std::vector<ScoredSplit>>& out,
                         std::uint64_t n_threads = 1);

/// Regression ("mse"/"variance") search of one feature: each fold scores a
/// candidate by the variance reduction on its own samples. Samples with the
/// missing code or a code >= B are left out. One record per emitted code,
/// ascending.
std::vector<ScoredSplit> score_bins_regression(std::span<const std::uint16_t> codes,
                                               std::uint64_t n_codes, std::span<const double> y,
                                               std::span<const std::uint32_t> samples,
                                               std::span<const std::uint8_t> fold_ids,
                                               std::uint64_t n_folds, std::uint64_t feature,
                                               const Aggregator& aggregator,
                                               HistogramScratch& scratch, bool threshold);

/// Classification ("gini"/"entropy" by `kind`) on per-fold class counts;
/// labels >= n_classes are left out like missing codes.
std::vector<ScoredSplit> score_bins_classification(
    std::span<const std::uint16_t> codes, std::uint64_t n_codes,
    std::span<const std::uint64_t> labels, std::uint64_t n_classes, CriterionKind kind,
    std::span<const std::uint32_t> samples, std::span<const std::uint8_t> fold_ids,
    std::uint64_t n_folds, std::uint64_t feature, const Aggregator& aggregator,
    HistogramScratch& scratch, bool threshold);

/// Turns a code's fold scores into a record: fold_stats, then aggregate.
void append_record(std::vector<ScoredSplit>& out, std::uint32_t code,
                   std::vector<double> fold_scores, std::uint64_t n_folds, std::uint64_t feature,
                   const Aggregator& aggregator);

}  // namespace quor
