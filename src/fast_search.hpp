#pragma once
/// Fast mode's split search of a node: the histograms of its features filled
/// a block of features at a time within a cell budget (a small node's codes
/// renumbered first), each feature's candidates scored from its cells, and the
/// scores handed to a sink; the growers' sink keeps the best scored split.
/// Regression and classification score each fold on its own samples; the
/// objective search trains on the other folds and scores the held-out one.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "aggregation.hpp"
#include "code_compaction.hpp"
#include "held_out.hpp"
#include "histogram.hpp"
#include "histogram_scoring.hpp"
#include "node_targets.hpp"
#include "scored_split.hpp"
#include "split_sink.hpp"
#include "task.hpp"

namespace quor {

/// Reusable working arrays of the search; they grow to the largest node and
/// block seen. One scratch serves every node of a sequential fit; each
/// parallel task has its own.
struct HistogramScratch {
  HistogramCells cells;
  CompactCodes compact;
  std::vector<double> fold_scores;       // a candidate's fold scores
  std::vector<double> best_fold_scores;  // those of the best so far
  std::vector<std::uint32_t> score_folds;  // the fold of each of a candidate's scores
};

namespace detail {

// A filled block holds at most this many cells, so that huge code or class
// counts are processed a few features at a time rather than all at once.
inline constexpr std::size_t kCellBudget = std::size_t{1} << 21;

/// Whether the node has nothing to count: no fold, or no class.
inline bool nothing_to_count(const Task& task, const NodeTargets& node) {
  return node.n_folds == 0 || (!std::holds_alternative<RegressionTask>(task) && n_classes(task) == 0);
}

/// Fills the histograms of one block of features and scores each feature
/// from its cells: by the regression criterion, the classification criterion
/// or the objective.
template <bool Weighted, class Code, CandidateSink Sink>
void search_block(const Task& task, const Code* codes, std::size_t stride, std::span<const std::uint32_t> rows,
                  std::span<const std::size_t> columns, std::span<const FeatureSpec> specs, const NodeTargets& node,
                  HistogramCells& cells, Sink& sink, std::uint64_t n_threads) {
  const std::size_t K = node.n_folds;
  if (std::holds_alternative<RegressionTask>(task)) {
    const BlockLayout layout(true, specs, K, 0);
    fill_regression_cells<Weighted>(codes, stride, rows, columns, specs, node, layout, cells, n_threads);
    const auto* filled = [&] {
      if constexpr (Weighted) {
        return cells.weighted_cells.data();
      } else {
        return cells.cells.data();
      }
    }();
    for (std::size_t k = 0; k < specs.size(); ++k) {
      sink.start(specs[k].feature);
      // Learned sides score over every sample of the fold; else over those
      // the feature has a code for.
      const bool own = specs[k].has_missing && !specs[k].learn_missing;
      const std::size_t slot = layout.missing_slot[k] * K;
      const double* sums = own ? cells.fold_sums.data() + slot : node.fold_sums.data();
      const double* sq_sums = own ? cells.fold_sq_sums.data() + slot : node.fold_sq_sums.data();
      if (specs[k].set_split) {
        score_regression_set_cells(filled + layout.offsets[k], specs[k].n_codes, K, sums, sq_sums, specs[k],
                                   rows.size(), sink);
      } else {
        score_regression_cells(filled + layout.offsets[k], specs[k].n_codes, K, sums, sq_sums, specs[k], sink);
      }
    }
    return;
  }
  const std::size_t C = n_classes(task);
  const BlockLayout layout(false, specs, K, C);
  fill_class_counts<Weighted>(codes, stride, rows, columns, specs, node, C, layout, cells, n_threads);
  const auto* filled = [&] {
    if constexpr (Weighted) {
      return cells.class_weights.data();
    } else {
      return cells.class_counts.data();
    }
  }();
  for (std::size_t k = 0; k < specs.size(); ++k) {
    sink.start(specs[k].feature);
    const auto* counts = filled + layout.offsets[k];
    const auto* objective = std::get_if<ObjectiveTask>(&task);
    if (objective != nullptr && specs[k].set_split) {
      score_objective_set_cells(*objective, counts, specs[k].n_codes, K, specs[k], rows.size(), sink);
    } else if (objective != nullptr) {
      score_objective_cells(*objective, counts, specs[k].n_codes, K, specs[k], sink);
    } else if (specs[k].set_split) {
      score_class_set_cells(std::get<ClassificationTask>(task).criterion, counts, specs[k].n_codes, K, C, specs[k],
                            rows.size(), sink);
    } else {
      score_class_cells(std::get<ClassificationTask>(task).criterion, counts, specs[k].n_codes, K, C, specs[k],
                        sink);
    }
  }
}

/// Searches the features block by block, each block within the cell budget.
/// Sample i of the node's list has its codes in row `rows[i]` of `codes`.
template <class Code, CandidateSink Sink>
void search_blocks(const Task& task, const Code* codes, std::size_t stride, std::span<const std::uint32_t> rows,
                   std::span<const std::size_t> columns, std::span<const FeatureSpec> specs, const NodeTargets& node,
                   HistogramCells& cells, Sink& sink, std::uint64_t n_threads) {
  const std::size_t K = node.n_folds;
  const std::size_t C = n_classes(task);
  const bool regression = std::holds_alternative<RegressionTask>(task);
  const bool empty = nothing_to_count(task, node);
  std::size_t first = 0;
  while (first < specs.size()) {
    // A feature with no codes, or a node with nothing to count, has no candidate.
    if (empty || specs[first].n_codes == 0) {
      sink.start(specs[first].feature);
      ++first;
      continue;
    }
    std::size_t last = first;
    std::size_t n_cells = 0;
    do {
      n_cells += cells_of(regression, specs[last], K, C);
      ++last;
    } while (last < specs.size() && specs[last].n_codes != 0 &&
             n_cells + cells_of(regression, specs[last], K, C) <= kCellBudget);
    const auto block_columns = columns.subspan(first, last - first);
    const auto block_specs = specs.subspan(first, last - first);
    if (node.weighted()) {
      search_block<true>(task, codes, stride, rows, block_columns, block_specs, node, cells, sink, n_threads);
    } else {
      search_block<false>(task, codes, stride, rows, block_columns, block_specs, node, cells, sink, n_threads);
    }
    first = last;
  }
}

}  // namespace detail

/// Every candidate of a block of features of one node for the task, handed
/// to `sink` feature by feature in block order, each feature's in ascending
/// code order: the code of feature k of the block for sample s is at row s,
/// column `columns[k]`. A fold scores a candidate by the criterion's impurity
/// decrease on its own samples (regression, classification), or by the
/// objective's gain with the other folds as the training side; a fold that
/// gives a candidate no score is left out of its list. Samples with a code at
/// or above B, or a label at or above the class count, are left out. With
/// `n_threads` of 2 or more, a large node's samples are shared out over that
/// many threads (the scores are the same). A node much smaller than its
/// features' code counts (`compacts`) is searched on its renumbered codes
/// (code_compaction.hpp), with the same scores.
template <CandidateSink Sink>
void search_features(const Task& task, const CodeRows& codes, std::span<const std::size_t> columns,
                     std::span<const FeatureSpec> specs, const NodeTargets& node, HistogramScratch& scratch,
                     Sink& sink, std::uint64_t n_threads);

/// The search of search_features on the node's full histograms, whatever the
/// node's size.
template <CandidateSink Sink>
void search_histograms(const Task& task, const CodeRows& codes, std::span<const std::size_t> columns,
                       std::span<const FeatureSpec> specs, const NodeTargets& node, HistogramScratch& scratch,
                       Sink& sink, std::uint64_t n_threads) {
  if (codes.narrow != nullptr) {
    detail::search_blocks(task, codes.narrow, codes.stride, node.samples, columns, specs, node, scratch.cells, sink,
                          n_threads);
  } else {
    detail::search_blocks(task, codes.wide, codes.stride, node.samples, columns, specs, node, scratch.cells, sink,
                          n_threads);
  }
}

/// The search of search_features on the node's renumbered codes, on one
/// thread, for any node that can be renumbered (can_compact); another node
/// is searched on its full histograms.
template <CandidateSink Sink>
void search_compacted(const Task& task, const CodeRows& codes, std::span<const std::size_t> columns,
                      std::span<const FeatureSpec> specs, const NodeTargets& node, HistogramScratch& scratch,
                      Sink& sink) {
  if (detail::nothing_to_count(task, node) || !can_compact(specs, node.samples.size())) {
    search_histograms(task, codes, columns, specs, node, scratch, sink, 1);
    return;
  }
  CompactCodes& compact = scratch.compact;
  if (codes.narrow != nullptr) {
    compact_node(codes.narrow, codes.stride, node.samples, columns, specs, compact);
  } else {
    compact_node(codes.wide, codes.stride, node.samples, columns, specs, compact);
  }
  detail::search_blocks(task, compact.codes.data(), specs.size(), std::span<const std::uint32_t>(compact.rows),
                        std::span<const std::size_t>(compact.columns), std::span<const FeatureSpec>(compact.specs),
                        node, scratch.cells, sink, 1);
}

template <CandidateSink Sink>
void search_features(const Task& task, const CodeRows& codes, std::span<const std::size_t> columns,
                     std::span<const FeatureSpec> specs, const NodeTargets& node, HistogramScratch& scratch,
                     Sink& sink, std::uint64_t n_threads) {
  if (!detail::nothing_to_count(task, node) && compacts(specs, node.samples.size(), node.n_folds)) {
    search_compacted(task, codes, columns, specs, node, scratch, sink);
  } else {
    search_histograms(task, codes, columns, specs, node, scratch, sink, n_threads);
  }
}

/// The scored split choose_best_split would take among all the candidates
/// search_features scores for the same block, or nullopt when no score is
/// finite: what a grower needs, without a scored split for every candidate.
/// Given `held_out`, it is reset to the node's folds and takes every
/// candidate too.
std::optional<ScoredSplit> best_of_block(const Task& task, const CodeRows& codes, std::span<const std::size_t> columns,
                                         std::span<const FeatureSpec> specs, const NodeTargets& node,
                                         const Aggregator& aggregator, HistogramScratch& scratch,
                                         std::uint64_t n_threads = 1, HeldOutChoice* held_out = nullptr);

}  // namespace quor
