#pragma once
/// The held-out measurement of a node's split. The score a split wins with
/// is the best of many noisy estimates, so it overstates what the split is
/// worth, most in small nodes and for columns with many distinct values.
/// Each fold k of a node can instead measure a choice it took no part in:
/// the candidate the aggregate of the other folds' scores prefers (the same
/// choice rule as the node's, on K − 1 folds), scored on fold k alone. The
/// node credits the feature of fold k's choice with that score, averaged
/// over the folds. The choices are kept while the candidates are scored: K
/// running bests beside the node's own.
///
/// Fold k's own impurity decrease is no honest score of its choice: with
/// each side's mean or class shares taken from fold k's own rows it is never
/// negative, so a split on noise still earns a little on every fold. Once
/// the node has split, each fold's choice is therefore measured afresh
/// (HonestScore): the loss of fold k's rows when the node predicts them from
/// the other folds' rows, less their loss when the choice's two sides do. A
/// choice that does not generalise loses on fold k and scores below 0.
/// "mae" measures the absolute error about the other folds' weighted
/// medians, as its criterion does about a side's own. The objective's fold scores already label the sides from
/// the other folds and are kept as they are.

#include <cstdint>
#include <span>
#include <vector>

#include "aggregation.hpp"
#include "task.hpp"
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

  /// The node's fold count, and fold k's choice: false when it chose nothing.
  std::size_t n_folds() const { return picks_.size(); }
  bool chose(std::size_t k) const { return picks_[k].found; }
  std::uint64_t feature(std::size_t k) const { return picks_[k].feature; }
  std::uint32_t code(std::size_t k) const { return picks_[k].code; }
  bool missing_left(std::size_t k) const { return picks_[k].missing_left; }
  /// Whether folds j and k chose the same candidate.
  bool same_choice(std::size_t j, std::size_t k) const {
    return picks_[j].feature == picks_[k].feature && picks_[j].code == picks_[k].code &&
           picks_[j].missing_left == picks_[k].missing_left;
  }
  /// Replaces fold k's held-out score, say by its honest one.
  void set_score(std::size_t k, double score) { picks_[k].held_out = score; }

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

/// Whether a task's fold scores are to be measured afresh by HonestScore:
/// every task but the objective, whose scores already are honest.
bool measures_honestly(const Task& task);

/// The honest score of one candidate on each fold of a node. The node's rows
/// are added one by one with their fold, side, weight and target (a value, or
/// a class label; rows of a label at or above the class count take no part,
/// as in the searches); score(k) is then the loss of fold k's rows when the
/// node and each side predict from the other folds' rows, less their loss
/// when the sides do, over fold k's weight: the weighted squared error about
/// the weighted means (regression by squared error), the absolute error about
/// the weighted medians ("mae"), the Brier score against the weighted class
/// shares (classification, either criterion). Fold k gets 0 when a side has
/// no weight in the other folds (nothing to predict it from) or fold k has no
/// weight. Buffers are kept from candidate to candidate.
class HonestScore {
 public:
  /// Starts a candidate of a node of `n_folds` folds.
  void start(const Task& task, std::size_t n_folds);
  /// A value's weight and weighted sum (unweighted: its count and sum) are
  /// kept per fold and side.
  void add_value(std::size_t fold, bool left, double weight, double value) {
    double* at = sums_.data() + (fold * 2 + (left ? 0 : 1)) * width_;
    at[0] += weight;
    at[1] += weight * value;
    if (loss_ == Loss::Absolute) rows_.push_back(Row{static_cast<std::uint32_t>(fold), left, weight, value});
  }
  void add_value(std::size_t fold, bool left, double value) {
    const std::size_t at = (fold * 2 + (left ? 0 : 1)) * width_;
    ++counts_[at];
    sums_[at + 1] += value;
    if (loss_ == Loss::Absolute) rows_.push_back(Row{static_cast<std::uint32_t>(fold), left, 1.0, value});
  }
  /// A class's weight sums (and, unweighted, its counts) are kept per fold
  /// and side; a side's weight is their sum, taken once at the first score.
  void add_label(std::size_t fold, bool left, double weight, std::uint64_t label) {
    if (label >= width_ - 1) return;
    sums_[(fold * 2 + (left ? 0 : 1)) * width_ + 1 + label] += weight;
  }
  void add_label(std::size_t fold, bool left, std::uint64_t label) {
    if (label >= width_ - 1) return;
    ++counts_[(fold * 2 + (left ? 0 : 1)) * width_ + 1 + label];
  }
  double score(std::size_t k);

 private:
  void settle();
  double squared_error(std::size_t k) const;
  double brier(std::size_t k) const;
  double absolute_error(std::size_t k);

  enum class Loss { Squared, Absolute, Brier };
  Loss loss_ = Loss::Squared;
  std::size_t n_folds_ = 0;
  std::size_t width_ = 0;  // accumulators per fold and side
  // [(fold · 2 + side) · width]: the weight, then the weighted target sum
  // (squared error) or each class's weight (Brier); side 0 is the left.
  std::vector<double> sums_;
  std::vector<std::uint32_t> counts_;  // unweighted counts, laid out as sums_
  bool settled_ = false;
  struct Row {
    std::uint32_t fold;
    bool left;
    double weight;
    double value;
  };
  std::vector<Row> rows_;  // absolute error: medians need the rows
  std::vector<double> values_, weights_;
  std::vector<std::pair<double, double>> scratch_;
};

}  // namespace quor
