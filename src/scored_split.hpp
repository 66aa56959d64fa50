#pragma once
/// A scored split: one candidate split of a node (a bin index or category
/// code of one feature) with its fold scores summarised and aggregated into
/// the score splits are compared by; how a node pools the scored splits of
/// its features and chooses the best.

#include <cstdint>
#include <span>
#include <vector>

#include "aggregation.hpp"

namespace quor {

/// One scored candidate split: a bin index or category code of one feature.
struct ScoredSplit {
  FoldStats stats;
  std::uint64_t feature = 0;
  std::uint32_t code = 0;
  /// Whether the candidate sends missing values left (scored that way).
  bool missing_left = false;
  double score = 0.0;
  /// The fold of each of stats.scores when the search was asked to keep
  /// them and some fold gave the candidate no score; else empty (one score
  /// per fold, in fold order, or not kept).
  std::vector<std::uint32_t> folds;
};

/// The code of the candidate "missing values against every finite value" of
/// a continuous feature: above every bin, so that on equal scores a bin wins.
inline constexpr std::uint32_t kMissingAlone = 0xFFFFFFFFu;

/// A candidate's scored split: its fold scores (fold order) summarised over the
/// node's `n_folds` folds, then aggregated into its score.
ScoredSplit make_scored_split(std::uint64_t feature, std::uint32_t code, std::vector<double> fold_scores,
                        std::uint64_t n_folds, const Aggregator& aggregator);

/// The per-feature lists of scored splits of a node, pooled in feature order.
std::vector<ScoredSplit> pool_scored_splits(std::vector<std::vector<ScoredSplit>> per_feature);

/// The node's order of two candidates with finite scores: whether the first
/// (score, feature, code, missing side) comes before the second — the
/// higher score, then the lower feature, then the lower code, then missing
/// values right before left.
inline bool comes_first(double score, std::uint64_t feature, std::uint32_t code, bool missing_left,
                        double other_score, std::uint64_t other_feature, std::uint32_t other_code,
                        bool other_missing_left) {
  return score > other_score ||
         (score == other_score &&
          (feature < other_feature ||
           (feature == other_feature &&
            (code < other_code || (code == other_code && !missing_left && other_missing_left)))));
}

/// The node's choice among pooled scored splits: finite scores only; the highest
/// score, then the lower feature, then the lower code, then missing values
/// right before left (the raw rule wins ties). nullptr when none is
/// finite. Independent of the order of `scored`.
const ScoredSplit* choose_best_split(std::span<const ScoredSplit> scored);

}  // namespace quor
