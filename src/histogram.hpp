#pragma once
/// Fast-mode split searches: per fold and per code histograms of the features
/// at one node, from which every threshold or membership candidate is scored.
/// Regression and classification score each fold on its own samples; the
/// objective search trains on the other folds and scores the held-out one.
///
/// A node's histograms for a block of features are filled in one pass over
/// its samples, reading each sample's row of codes once; each feature is then
/// scored from its own cells.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "aggregation.hpp"
#include "config.hpp"
#include "encoder.hpp"
#include "scored_split.hpp"
#include "task.hpp"

namespace quor {

/// One regression cell: the count, sum and sum of squares of the targets of
/// one (fold, code), kept together so an update touches one cache line.
struct RegressionCell {
  double sum;
  double sq_sum;
  std::uint64_t count;
};

/// What the search needs of one feature.
struct FeatureSpec {
  std::uint64_t feature = 0;
  std::uint64_t n_codes = 0;   // B
  bool threshold = false;      // threshold test (continuous, "threshold" style); else membership
  bool has_missing = true;     // whether any sample may have the missing code
  /// For a feature whose codes a small node renumbered (see
  /// score_feature_block): the original code of each new one.
  const std::uint32_t* original_codes = nullptr;
};

/// Reusable working arrays; they grow to the largest block seen and are
/// zeroed, in the part a search uses, before each fill. One scratch serves
/// every node of a sequential fit; each parallel task has its own.
/// Cell (fold f, code b) of a feature is at f·B + b from the feature's offset;
/// with classes, (f, b, c) is at (f·B + b)·C + c.
struct HistogramScratch {
  /// Whether a small node's codes are renumbered before its histograms are
  /// filled (see score_feature_block): by node size, always when the node
  /// allows it, or never. The records are the same; tests compare the paths.
  enum class Compaction { Auto, Always, Never } compaction = Compaction::Auto;
  std::vector<RegressionCell> cells;
  std::vector<std::uint32_t> class_counts;
  std::vector<double> fold_sums;                   // per feature with missing codes: K each
  std::vector<double> fold_sq_sums;
  std::vector<std::uint32_t> fold_class_totals;    // per feature with missing codes: K·C each
  // The renumbered codes of a small node: one row of one-byte codes per
  // position in the node's list, and each feature's original codes.
  std::vector<std::uint8_t> compact_codes;
  std::vector<std::uint32_t> compact_rows;         // 0 … n − 1
  std::vector<std::uint32_t> compact_original;     // per feature: its codes in the node, ascending
  std::vector<std::size_t> compact_offsets;        // per feature + 1: where its codes start
  std::vector<FeatureSpec> compact_specs;
  std::vector<std::size_t> compact_columns;
  std::vector<std::uint32_t> compact_raw;          // the node's codes, feature by feature
  std::vector<std::uint64_t> compact_present;      // a bit per code present
  std::vector<std::uint8_t> compact_renumbered;    // a present code's new number
  std::vector<double> candidate_scores;            // a candidate's fold scores
  std::vector<double> best_scores;                 // those of the best so far
};

/// A node's samples as the searches read them: each with its fold number and
/// target, aligned, gathered once per node and shared read-only by every
/// feature's search. Regression lists the samples in fold-assignment order,
/// since its sums are taken in that order; counting classes needs no order,
/// so classification may list them in the node's own order, which reads the
/// code rows more nearly in sequence. Also the per-fold target totals over
/// every sample of the node (used as is by features without missing codes).
/// Kept by a worker and refilled node after node.
struct NodeTargets {
  std::span<const std::uint32_t> samples;
  std::span<const std::uint8_t> fold_ids;
  std::uint64_t n_folds = 0;
  std::vector<double> y;                  // regression
  std::vector<double> y2;
  std::span<const std::uint64_t> labels;  // classification and objective, aligned with `samples`
  std::vector<double> fold_sums;          // K
  std::vector<double> fold_sq_sums;       // K

  /// Draws the folds of a node's run (from the run's order) and lists its
  /// samples as the searches read them. `run_values` / `run_labels` are the
  /// targets of the run's samples in run order (the one the task uses); the
  /// lists point into them and into this record until the next call.
  void prepare(const Task& task, const TreeConfig& config, std::span<const std::uint32_t> run,
               std::span<const double> run_values, std::span<const std::uint64_t> run_labels);

 private:
  std::vector<std::uint32_t> positions_;  // shuffled positions in the run
  std::vector<std::uint8_t> order_folds_; // fold of each shuffled position
  std::vector<std::uint32_t> shuffled_;   // the run's samples in shuffled order
  std::vector<std::uint8_t> run_folds_;   // fold of each position of the run
};

/// How encoded feature `feature` is searched under the split style: its bin
/// count, its kind of test and whether it may hold the missing code.
FeatureSpec feature_spec(const EncodedFeatures& encoded, std::uint64_t feature, SplitStyle style);

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

/// Scores a block of features of one node for the task: the code of feature
/// k of the block for sample s is at row s, column `columns[k]`. Appends each
/// feature's records, in block order, to `out` (one list per feature, each in
/// ascending code order). A fold scores a candidate by the criterion's
/// impurity decrease on its own samples (regression, classification), or by
/// the objective's gain with the other folds as the training side. Samples
/// with a code at or above B, or a label at or above the class count, are
/// left out. With `n_threads` of 2 or more, a large node's samples are
/// shared out over that many threads (the records are the same).
///
/// A node much smaller than its features' code counts renumbers each
/// feature's codes first: the codes its samples hold become 0 … m − 1 in
/// ascending order (and, under the threshold test, the feature's last code
/// is kept as an empty end so that the candidates stay those of the original
/// codes). Its histograms then have m cells a fold instead of B; the cells
/// hold the same sums in the same order, a skipped code adds nothing to a
/// running side, so the records are the same, with their codes mapped back.
void score_feature_block(const Task& task, const CodeRows& codes, std::span<const std::size_t> columns,
                         std::span<const FeatureSpec> specs, const NodeTargets& node,
                         const Aggregator& aggregator, HistogramScratch& scratch,
                         std::vector<std::vector<ScoredSplit>>& out, std::uint64_t n_threads = 1);

/// The record choose_best_split would take among every record
/// score_feature_block gives for the same block, or nullopt when no score is
/// finite: what a grower needs, without a record for every candidate.
std::optional<ScoredSplit> best_of_block(const Task& task, const CodeRows& codes, std::span<const std::size_t> columns,
                                         std::span<const FeatureSpec> specs, const NodeTargets& node,
                                         const Aggregator& aggregator, HistogramScratch& scratch,
                                         std::uint64_t n_threads = 1);

}  // namespace quor
