#pragma once
/// Metric objectives of the objective classifier: confusion counts, the five
/// metrics with their averaging modes, and the fold gain of a candidate split
/// (training-majority predictions measured on the held-out side, minus the
/// measure of not splitting).

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "aggregation.hpp"
#include "criterion.hpp"

namespace quor {

enum class AverageMode { Binary, Micro, Macro, Weighted };

/// "binary", "micro", "macro", "weighted"; else `ValueError`
/// "unknown average {} (expected binary/micro/macro/weighted)".
AverageMode parse_average(std::string_view text);

struct ConfusionCounts {
  std::vector<std::uint64_t> tp, fp, fn, support;
  std::uint64_t n_classes = 0;
  std::uint64_t total = 0;

  explicit ConfusionCounts(std::uint64_t n_classes);
  /// Back to no samples, keeping the arrays.
  void clear();
  /// Every sample counted in `k` (per true class) was predicted as `p` (< n_classes).
  void add(std::uint64_t p, std::span<const std::uint64_t> k);
};

/// Index of the largest count; ties and all-zero go to the lowest index.
std::uint64_t majority_class(std::span<const std::uint64_t> counts);

enum class ObjectiveKind { Precision, Recall, F1, FBeta, Accuracy };

class Objective {
 public:
  /// "precision", "recall", "f1", "fbeta", "accuracy"; else `ValueError`
  /// "unknown objective {} (expected precision/recall/f1/fbeta/accuracy)".
  /// Precision, recall and F1 keep `average` and `pos_label`; F-beta also
  /// `beta`; accuracy keeps nothing.
  static Objective from_name(std::string_view name, AverageMode average, std::uint64_t pos_label,
                             double beta);
  static Objective accuracy() { return Objective(ObjectiveKind::Accuracy, AverageMode::Binary, 0, 0.0); }

  ObjectiveKind kind() const { return kind_; }
  AverageMode average() const { return average_; }
  std::uint64_t pos_label() const { return pos_label_; }
  double beta() const { return beta_; }
  std::string_view name() const;
  /// A value in [0, 1]; every zero denominator gives 0.
  double score(const ConfusionCounts& counts) const;

 private:
  Objective(ObjectiveKind kind, AverageMode average, std::uint64_t pos_label, double beta)
      : kind_(kind), average_(average), pos_label_(pos_label), beta_(beta) {}
  ObjectiveKind kind_;
  AverageMode average_;
  std::uint64_t pos_label_;
  double beta_;
};

/// The task of an objective classifier.
struct ObjectiveTask {
  Objective objective;
  std::uint64_t n_classes = 0;
  Criterion purity;  // "gini" for n_classes: the growers' pure-node test only
};

/// Confusion counts reused across the fold gains of one search.
struct ObjectiveScratch {
  explicit ObjectiveScratch(std::uint64_t n_classes) : with_split(n_classes), without_split(n_classes) {}
  ConfusionCounts with_split;
  ConfusionCounts without_split;
};

/// Score with the split minus score without it, on one fold: each side predicts
/// its training majority, the unsplit node the majority of both training sides.
double objective_fold_gain(const Objective& objective, std::uint64_t n_classes,
                           std::span<const std::uint64_t> train_left,
                           std::span<const std::uint64_t> train_right,
                           std::span<const std::uint64_t> valid_left,
                           std::span<const std::uint64_t> valid_right);
/// The same gain computed in the caller's scratch (for n_classes classes).
double objective_fold_gain(const Objective& objective, std::uint64_t n_classes,
                           std::span<const std::uint64_t> train_left,
                           std::span<const std::uint64_t> train_right,
                           std::span<const std::uint64_t> valid_left,
                           std::span<const std::uint64_t> valid_right, ObjectiveScratch& scratch);

/// The objective variant's fold step: given the class counts of the fold's
/// training and validation samples per candidate position (C + 1 positions of
/// n_classes counts; position C holds samples right of every candidate), every
/// candidate whose four sides are all non-empty gets its metric gain over not
/// splitting appended to lists[j].
void score_objective_fold(const ObjectiveTask& task, std::span<const std::uint64_t> train_hist,
                          std::span<const std::uint64_t> valid_hist, bool threshold,
                          std::uint32_t n_candidates, std::vector<std::vector<double>>& lists);

/// Objective classification: for each fold the other folds are the training
/// side (each child predicts its training majority) and the fold is held out;
/// the fold score is the metric gain over not splitting. Counts are 64-bit and
/// local to the call.
std::vector<ScoredSplit> score_bins_objective(const ObjectiveTask& task,
                                              std::span<const std::uint16_t> codes,
                                              std::uint64_t n_codes,
                                              std::span<const std::uint64_t> labels,
                                              std::span<const std::uint32_t> samples,
                                              std::span<const std::uint8_t> fold_ids,
                                              std::uint64_t n_folds, std::uint64_t feature,
                                              const Aggregator& aggregator, bool threshold);

}  // namespace quor
