#pragma once
/// Fast-mode split searches of the regression and classification trees: per
/// fold and per code histograms of one feature at one node, from which every
/// threshold or membership candidate is scored on each fold's own samples.

#include <cstdint>
#include <span>
#include <vector>

#include "aggregation.hpp"
#include "criterion.hpp"

namespace quor {

/// Reusable working arrays. Cell (fold f, code b) is at f·B + b; with classes,
/// (f, b, c) is at (f·B + b)·C + c and (f, c) at f·C + c. A search grows the
/// arrays it uses and zeroes the cells it needs, so one scratch serves every
/// feature of a node in turn.
struct HistogramScratch {
  std::vector<std::uint32_t> class_counts;
  std::vector<std::uint32_t> fold_class_totals;
  std::vector<std::uint32_t> bin_counts;
  std::vector<double> bin_sums;
  std::vector<double> bin_sq_sums;
  std::vector<double> fold_sums;
  std::vector<double> fold_sq_sums;
};

/// Regression ("mse"/"variance"): each fold scores a candidate by the variance
/// reduction on its own samples. Samples with the missing code or a code >= B
/// are left out. One record per emitted code, ascending.
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

/// Grows `v` to at least `n` cells and zeroes the first `n`.
template <class T>
void zero_prefix(std::vector<T>& v, std::size_t n) {
  if (v.size() < n) v.resize(n);
  std::fill_n(v.begin(), n, T{});
}

/// Turns per-code fold-score lists into records: fold_stats, then aggregate.
void append_records(std::vector<ScoredSplit>& out, std::uint32_t code,
                    std::vector<double> fold_scores, std::uint64_t n_folds, std::uint64_t feature,
                    const Aggregator& aggregator);

}  // namespace quor
