#pragma once
/// Metric objectives of the objective classifier: confusion counts, the five
/// metrics with their averaging modes, and the fold gain of a candidate split
/// (training-majority predictions measured on the held-out side, minus the
/// measure of not splitting).

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "names.hpp"

namespace quor {

enum class AverageMode { Binary, Micro, Macro, Weighted };

inline constexpr std::array<Named<AverageMode>, 4> kAverages{{{"binary", AverageMode::Binary},
                                                              {"micro", AverageMode::Micro},
                                                              {"macro", AverageMode::Macro},
                                                              {"weighted", AverageMode::Weighted}}};

/// "binary", "micro", "macro", "weighted"; else `ValueError`
/// "unknown average {} (expected binary/micro/macro/weighted)".
AverageMode parse_average(std::string_view text);

/// Confusion counts, or in a weighted fit confusion weight sums (`N` double).
template <class N>
struct BasicConfusion {
  std::vector<N> tp, fp, fn, support;
  std::uint64_t n_classes = 0;
  N total = 0;

  explicit BasicConfusion(std::uint64_t n_classes);
  /// Back to no samples, keeping the arrays.
  void clear();
  /// Every sample counted in `k` (per true class) was predicted as `p` (< n_classes).
  void add(std::uint64_t p, std::span<const N> k);
  /// Undoes `add(p, k)`.
  void remove(std::uint64_t p, std::span<const N> k);
};
using ConfusionCounts = BasicConfusion<std::uint64_t>;
using ConfusionWeights = BasicConfusion<double>;

/// Index of the largest count (or weight sum); ties and all-zero go to the
/// lowest index.
template <class N>
std::uint64_t majority_class(std::span<const N> counts) {
  std::uint64_t best = 0;
  for (std::uint64_t c = 1; c < counts.size(); ++c) {
    if (counts[c] > counts[best]) best = c;
  }
  return best;
}
inline std::uint64_t majority_class(std::span<const std::uint64_t> counts) { return majority_class<std::uint64_t>(counts); }

enum class ObjectiveKind { Precision, Recall, F1, FBeta, Accuracy };

inline constexpr std::array<Named<ObjectiveKind>, 5> kObjectives{{{"precision", ObjectiveKind::Precision},
                                                                  {"recall", ObjectiveKind::Recall},
                                                                  {"f1", ObjectiveKind::F1},
                                                                  {"fbeta", ObjectiveKind::FBeta},
                                                                  {"accuracy", ObjectiveKind::Accuracy}}};

/// Whether an objective scores one class against the others when averaged
/// "binary" (and so reads pos_label): all but accuracy.
constexpr bool uses_pos_label(ObjectiveKind kind) { return kind != ObjectiveKind::Accuracy; }

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
  /// A value in [0, 1]; every zero denominator gives 0.
  template <class N>
  double score(const BasicConfusion<N>& counts) const;

 private:
  Objective(ObjectiveKind kind, AverageMode average, std::uint64_t pos_label, double beta)
      : kind_(kind), average_(average), pos_label_(pos_label), beta_(beta) {}
  ObjectiveKind kind_;
  AverageMode average_;
  std::uint64_t pos_label_;
  double beta_;
};

/// How the sides of a candidate, the node without a split and the leaves of
/// a finished tree choose the classes they predict.
enum class LabelRule {
  /// Each predicts the majority class of its training samples.
  Majority,
  /// Each labelling is the one that maximises the metric on the training
  /// samples: on imbalanced data the majority rule makes every side predict
  /// the majority class, so every held-out gain is 0 and nothing splits.
  Metric,
};

inline constexpr std::array<Named<LabelRule>, 2> kLabelRules{
    {{"majority", LabelRule::Majority}, {"metric", LabelRule::Metric}}};

/// "majority", "metric"; else `ValueError`
/// "unknown objective labels {} (expected majority/metric)".
LabelRule parse_label_rule(std::string_view text);

/// The classes two sides predict and the metric their training counts give.
struct SideLabels {
  std::uint64_t left = 0;
  std::uint64_t right = 0;
  double score = 0.0;
};

/// The labels a metric-serving rule tries for a side: the classes that have
/// samples in `left` or `right`, and the lowest class that has none (every
/// class without samples scores as any other: its own per-class value is 0
/// and it takes nothing from the others). Ascending.
template <class Count>
std::vector<std::uint64_t> label_candidates(std::uint64_t n_classes, std::span<const Count> left,
                                            std::span<const Count> right);

/// The labelling (left, right) of two sides that maximises `objective` on
/// their class counts (the training samples of a candidate's sides), ties to
/// the lowest left then the lowest right class; `counts` is scratch of
/// n_classes classes. With `right` empty of samples it is the best single
/// label for `left` (the node without a split), reported in both fields.
template <class N>
SideLabels metric_side_labels(const Objective& objective, BasicConfusion<N>& counts, std::span<const N> left,
                              std::span<const N> right);

/// The classes the leaves of a finished tree predict under the metric rule:
/// the labelling of all leaves that maximises `objective` on their training
/// counts or class weight sums (`leaf_counts`, n_classes per leaf, leaf after
/// leaf). It starts from
/// each leaf's majority; with two classes it takes the best of the labellings
/// that predict one class above a share of the other (where the optimum of a
/// binary-averaged metric and of accuracy lies), then it changes one leaf's label at
/// a time, in leaf then class order, while that raises the metric.
template <class N>
std::vector<std::uint64_t> metric_leaf_labels(const Objective& objective, std::uint64_t n_classes,
                                              std::span<const N> leaf_counts);

/// The fold score of a candidate split under an objective: each side
/// predicts the majority class of its training samples and the metric is
/// measured on the held-out samples, minus the metric of predicting the
/// training majority of the whole node. The strict and the fast search score
/// every fold through one scorer; the measure without a split depends only on
/// the fold, so they take it once per fold.
class ObjectiveFoldScorer {
 public:
  ObjectiveFoldScorer(const Objective& objective, std::uint64_t n_classes, LabelRule labels = LabelRule::Majority);
  /// The measure of a fold without a split, from the class counts (weight
  /// sums, weighted) of its training and held-out sides.
  template <class N>
  double unsplit(std::span<const N> train, std::span<const N> valid);
  /// The gain of a split over `unsplit`, the fold's measure without it: class
  /// counts of the training (train_left, train_right) and held-out
  /// (valid_left, valid_right) sides.
  template <class N>
  double gain(double unsplit, std::span<const N> train_left, std::span<const N> train_right,
              std::span<const N> valid_left, std::span<const N> valid_right);
  double unsplit(std::span<const std::uint64_t> train, std::span<const std::uint64_t> valid) {
    return unsplit<std::uint64_t>(train, valid);
  }
  double gain(double unsplit, std::span<const std::uint64_t> train_left, std::span<const std::uint64_t> train_right,
              std::span<const std::uint64_t> valid_left, std::span<const std::uint64_t> valid_right) {
    return gain<std::uint64_t>(unsplit, train_left, train_right, valid_left, valid_right);
  }

 private:
  template <class N>
  BasicConfusion<N>& counts();
  /// The classes the two training sides predict under the rule (`train_right`
  /// empty: the node without a split, in both fields).
  template <class N>
  std::pair<std::uint64_t, std::uint64_t> side_labels(std::span<const N> train_left, std::span<const N> train_right);

  const Objective& objective_;
  std::uint64_t n_classes_;
  LabelRule labels_;
  ConfusionCounts counts_;
  ConfusionWeights weights_;
};

}  // namespace quor
