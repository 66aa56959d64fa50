#pragma once
/// The held-out measurement of a node's split. The score a split wins with
/// is the best of many noisy estimates, so it overstates what the split is
/// worth, most in small nodes and for columns with many distinct values.
/// Each fold k of a node can instead measure a choice it took no part in:
/// the candidate the aggregate of the other folds' scores prefers (the same
/// choice rule as the node's, on K − 1 folds), scored on fold k alone. The
/// node credits the feature of fold k's choice with that score, averaged
/// over the folds. It is kept while the candidates are scored: K running
/// bests beside the node's own, no second pass over the samples.

#include <cstdint>
#include <span>
#include <vector>

#include "aggregation.hpp"
#include "tree.hpp"

namespace quor {

class HeldOutChoice {
 public:
  /// Starts a node of `n_folds` folds; the buffers are kept from node to node.
  void reset(std::size_t n_folds, const Aggregator& aggregator);

  /// One candidate's fold scores. `folds` gives the fold of each score when
  /// some fold gave it none; empty, there is one score per fold, in fold
  /// order. A fold that gave a candidate no score (a side of the candidate
  /// holds none of its samples) measures no improvement: 0 on that fold.
  void add(std::uint64_t feature, std::uint32_t code, bool missing_left, std::span<const double> scores,
           std::span<const std::uint32_t> folds);

  /// The node's credits: per feature chosen by some fold, ascending, the sum
  /// of those folds' held-out scores divided by the fold count (folds that
  /// chose nothing count, with 0). Empty when no fold chose anything.
  std::vector<FeatureCredit> credits() const;

 private:
  struct Pick {
    bool found = false;
    double choice = 0.0;  // the aggregate of the other folds
    std::uint64_t feature = 0;
    std::uint32_t code = 0;
    bool missing_left = false;
    double held_out = 0.0;  // the score on the fold itself
  };
  const Aggregator* aggregator_ = nullptr;
  std::vector<Pick> picks_;    // one per fold
  std::vector<double> others_;  // the other folds' scores of a candidate
};

}  // namespace quor
