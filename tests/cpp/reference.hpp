#pragma once
// The rules written out from the definition, for the oracle tests: the bin of
// a value by a search over the edges; a fast-mode node's folds as the list of
// its shuffled samples with a fold number each; a fold's score of a split from
// the sample lists of its four sides, by gathering targets and calling the
// criterion, or measuring the objective.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "criterion.hpp"
#include "folds.hpp"
#include "objective.hpp"
#include "task.hpp"

namespace quor::testing {

using Ids = std::vector<std::uint64_t>;

/// The bin of a value: the number of edges <= x; nullopt for a non-finite x.
inline std::optional<std::uint64_t> bin_of(std::span<const double> edges, double x) {
  if (!std::isfinite(x)) return std::nullopt;
  return static_cast<std::uint64_t>(std::upper_bound(edges.begin(), edges.end(), x) - edges.begin());
}

/// Fast-mode folds of a node's run: its samples shuffled and a fold number
/// per position, from the fold order the searches draw.
struct FoldAssignment {
  std::vector<std::uint32_t> sample_indices;  // permuted order
  std::vector<std::uint8_t> fold_ids;          // non-decreasing
  std::uint64_t n_folds = 0;
};

inline FoldAssignment assign_folds(std::span<const std::uint32_t> samples, std::uint64_t cv_folds,
                                   std::uint64_t cv_seed, bool cv_shuffle) {
  FoldAssignment out;
  std::vector<std::uint32_t> positions;
  out.n_folds = fold_order(samples.size(), cv_folds, cv_seed, cv_shuffle, positions, out.fold_ids);
  out.sample_indices.resize(samples.size());
  for (std::size_t p = 0; p < positions.size(); ++p) out.sample_indices[p] = samples[positions[p]];
  return out;
}

/// The weight of a sample: 1 when `weights` is empty (unweighted).
inline double weight_of(std::span<const double> weights, std::uint64_t s) {
  return weights.empty() ? 1.0 : weights[s];
}

/// The weight of a set of samples, summed in its order.
inline double side_weight(std::span<const double> weights, const Ids& side) {
  double sum = -0.0;
  for (const auto s : side) sum += weight_of(weights, s);
  return sum;
}

/// Class weight sums of `side` (labels at or above n_classes left out).
inline std::vector<double> class_weights(const Targets& targets, std::span<const double> weights, const Ids& side,
                                         std::uint64_t n_classes) {
  std::vector<double> sums(n_classes, 0.0);
  for (const auto s : side) {
    if (targets.labels[s] < n_classes) sums[targets.labels[s]] += weight_of(weights, s);
  }
  return sums;
}

/// The weighted median by its definition: the values in ascending order,
/// the first whose running weight reaches half the total, or the midpoint
/// with the next value when it is exactly half.
inline double reference_weighted_median(std::vector<std::pair<double, double>> entries) {
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  double total = 0.0;
  for (const auto& e : entries) total += e.second;
  double running = 0.0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    running += entries[i].second;
    if (2.0 * running < total) continue;
    if (2.0 * running == total) return (entries[i].first + entries[i + 1].first) * 0.5;
    return entries[i].first;
  }
  return entries.back().first;
}

/// Weighted impurity of `side`: every count a weight sum (the weighted
/// variance Σw·y², Σw·y over Σw; weighted absolute deviations about the
/// weighted median; class weight sums over the side's whole weight).
inline double reference_weighted_impurity(const Task& task, const Targets& targets, std::span<const double> weights,
                                          const Ids& side) {
  if (side.empty()) return 0.0;
  const double total = side_weight(weights, side);
  if (const auto* regression = std::get_if<RegressionTask>(&task)) {
    if (regression->criterion.kind() == CriterionKind::Mae) {
      std::vector<std::pair<double, double>> entries;
      for (const auto s : side) entries.emplace_back(targets.values[s], weight_of(weights, s));
      const double median = reference_weighted_median(entries);
      double deviations = 0.0;
      for (const auto s : side) deviations += weight_of(weights, s) * std::fabs(targets.values[s] - median);
      return deviations / total;
    }
    double s1 = 0.0, s2 = 0.0;
    for (const auto s : side) {
      const double y = targets.values[s];
      s1 += weight_of(weights, s) * y;
      s2 += weight_of(weights, s) * (y * y);
    }
    return variance_from_sums(s1, s2, total);
  }
  const auto& classification = std::get<ClassificationTask>(task);
  const std::vector<double> sums = class_weights(targets, weights, side, classification.n_classes);
  return classification.criterion.class_impurity(std::span<const double>(sums), total);
}

/// Impurity of the targets of `side` under a regression or classification task.
inline double reference_impurity(const Task& task, const Targets& targets, const Ids& side) {
  if (const auto* regression = std::get_if<RegressionTask>(&task)) {
    std::vector<double> y;
    for (const auto s : side) y.push_back(targets.values[s]);
    return regression->criterion.impurity(y);
  }
  std::vector<std::uint64_t> y;
  for (const auto s : side) y.push_back(targets.labels[s]);
  const auto& classification = std::get<ClassificationTask>(task);
  return classification.criterion.impurity(y, classification.n_classes);
}

inline std::vector<std::uint64_t> class_counts(const Targets& targets, const Ids& side, std::uint64_t n_classes) {
  std::vector<std::uint64_t> counts(n_classes, 0);
  for (const auto s : side) {
    if (targets.labels[s] < n_classes) ++counts[targets.labels[s]];
  }
  return counts;
}

/// The metric of labelling two sides (left predicts `pl`, right `pr`), from
/// their class counts or weight sums.
template <class N>
double labelled_score(const Objective& objective, std::uint64_t n_classes, std::uint64_t pl,
                      const std::vector<N>& left, std::uint64_t pr, const std::vector<N>& right) {
  BasicConfusion<N> counts(n_classes);
  counts.add(pl, std::span<const N>(left));
  counts.add(pr, std::span<const N>(right));
  return objective.score(counts);
}

/// Under the metric rule, the labels of two training sides: of every pair of
/// classes, the first (left, then right, in class order) whose metric on the
/// training counts is the largest. The node without a split takes the best
/// single label the same way (`right` all zero, `single`).
template <class N>
std::pair<std::uint64_t, std::uint64_t> reference_metric_labels(const Objective& objective, std::uint64_t n_classes,
                                                                const std::vector<N>& left,
                                                                const std::vector<N>& right, bool single) {
  std::pair<std::uint64_t, std::uint64_t> best{0, 0};
  double best_score = -1.0;
  for (std::uint64_t pl = 0; pl < n_classes; ++pl) {
    for (std::uint64_t pr = 0; pr < n_classes; ++pr) {
      if (single && pr != pl) continue;
      const double score = labelled_score(objective, n_classes, pl, left, pr, right);
      if (score > best_score) {
        best_score = score;
        best = {pl, pr};
      }
    }
  }
  return best;
}

/// One fold's score of a weighted split, from the definition: the same rules
/// with every count a weight sum (the shares of the sides, the class counts,
/// the objective's confusion counts and training majorities).
inline std::optional<double> reference_weighted_fold_score(const Task& task, const Targets& targets,
                                                           std::span<const double> weights, const Ids& train_left,
                                                           const Ids& train_right, const Ids& valid,
                                                           const Ids& valid_left, const Ids& valid_right) {
  if (const auto* objective = std::get_if<ObjectiveTask>(&task)) {
    const std::uint64_t c = objective->n_classes;
    const auto tl = class_weights(targets, weights, train_left, c), tr = class_weights(targets, weights, train_right, c);
    const auto vl = class_weights(targets, weights, valid_left, c), vr = class_weights(targets, weights, valid_right, c);
    const auto empty = [](const std::vector<double>& v) {
      return std::all_of(v.begin(), v.end(), [](double x) { return x == 0.0; });
    };
    if (empty(tl) || empty(tr) || empty(vl) || empty(vr)) return std::nullopt;
    std::vector<double> t(c);
    for (std::uint64_t k = 0; k < c; ++k) t[k] = tl[k] + tr[k];
    const auto majority = [](const std::vector<double>& v) {
      return static_cast<std::uint64_t>(std::max_element(v.begin(), v.end()) - v.begin());
    };
    std::uint64_t pl = majority(tl), pr = majority(tr), p0 = majority(t);
    if (objective->labels == LabelRule::Metric) {
      std::tie(pl, pr) = reference_metric_labels(objective->objective, c, tl, tr, false);
      p0 = reference_metric_labels(objective->objective, c, t, std::vector<double>(c, 0.0), true).first;
    }
    ConfusionWeights with_split(c), without_split(c);
    with_split.add(pl, std::span<const double>(vl));
    with_split.add(pr, std::span<const double>(vr));
    without_split.add(p0, std::span<const double>(vl));
    without_split.add(p0, std::span<const double>(vr));
    return objective->objective.score(with_split) - objective->objective.score(without_split);
  }
  if (valid_left.empty() || valid_right.empty()) return std::nullopt;
  const double w = side_weight(weights, valid);
  const double w_left = side_weight(weights, valid_left);
  return reference_weighted_impurity(task, targets, weights, valid) -
         ((w - w_left) * reference_weighted_impurity(task, targets, weights, valid_right) +
          w_left * reference_weighted_impurity(task, targets, weights, valid_left)) /
             w;
}

/// One fold's score of a split whose training samples fall into train_left /
/// train_right and whose held-out samples `valid` (in fold order) fall into
/// valid_left / valid_right; nullopt when the fold gives the candidate no score.
inline std::optional<double> reference_fold_score(const Task& task, const Targets& targets, const Ids& train_left,
                                                  const Ids& train_right, const Ids& valid, const Ids& valid_left,
                                                  const Ids& valid_right) {
  if (const auto* objective = std::get_if<ObjectiveTask>(&task)) {
    const std::uint64_t c = objective->n_classes;
    const auto tl = class_counts(targets, train_left, c), tr = class_counts(targets, train_right, c);
    const auto vl = class_counts(targets, valid_left, c), vr = class_counts(targets, valid_right, c);
    const auto empty = [](const std::vector<std::uint64_t>& v) {
      return std::all_of(v.begin(), v.end(), [](std::uint64_t x) { return x == 0; });
    };
    if (empty(tl) || empty(tr) || empty(vl) || empty(vr)) return std::nullopt;
    // Each side predicts its training majority, the unsplit node the majority
    // of all training samples; both are measured on the held-out samples.
    std::vector<std::uint64_t> t(c);
    for (std::uint64_t k = 0; k < c; ++k) t[k] = tl[k] + tr[k];
    std::uint64_t pl = majority_class(tl), pr = majority_class(tr), p0 = majority_class(t);
    if (objective->labels == LabelRule::Metric) {
      // Each side, and the node unsplit, predicts what serves the metric on
      // its training samples instead.
      std::tie(pl, pr) = reference_metric_labels(objective->objective, c, tl, tr, false);
      p0 = reference_metric_labels(objective->objective, c, t, std::vector<std::uint64_t>(c, 0), true).first;
    }
    ConfusionCounts with_split(c), without_split(c);
    with_split.add(pl, vl);
    with_split.add(pr, vr);
    without_split.add(p0, vl);
    without_split.add(p0, vr);
    return objective->objective.score(with_split) - objective->objective.score(without_split);
  }
  if (valid_left.empty() || valid_right.empty()) return std::nullopt;
  return reference_impurity(task, targets, valid) -
         (static_cast<double>(valid_right.size()) * reference_impurity(task, targets, valid_right) +
          static_cast<double>(valid_left.size()) * reference_impurity(task, targets, valid_left)) /
             static_cast<double>(valid.size());
}

/// A split's honest score on one fold, from its definition: each of the
/// fold's rows (`valid_left`, `valid_right`) loses against the prediction of
/// the other folds' rows (`train_left`, `train_right`) for the whole node, and
/// against theirs for its own side; the first loss less the second, summed
/// with the rows' weights and over the fold's weight. A prediction is the
/// weighted mean under squared error, the weighted median under "mae", the
/// weighted class shares (rows of an unknown class left out) under the Brier
/// score Σ_c (p_c − [y = c])². 0 when a side of the other folds has no weight.
inline double reference_honest_score(const Task& task, const Targets& targets, std::span<const double> weights,
                                     const Ids& train_left, const Ids& train_right, const Ids& valid_left,
                                     const Ids& valid_right) {
  const auto* regression = std::get_if<RegressionTask>(&task);
  const std::uint64_t k = regression != nullptr ? 0 : n_classes(task);
  const auto counted = [&](const Ids& rows) {
    Ids kept;
    for (const auto s : rows) {
      if ((regression != nullptr || targets.labels[s] < k) && weight_of(weights, s) > 0.0) kept.push_back(s);
    }
    return kept;
  };
  const Ids tl = counted(train_left), tr = counted(train_right);
  Ids train = tl;
  train.insert(train.end(), tr.begin(), tr.end());
  if (side_weight(weights, tl) <= 0.0 || side_weight(weights, tr) <= 0.0) return 0.0;
  // A prediction from some rows, and a row's loss against it.
  using Prediction = std::vector<double>;
  const auto predict = [&](const Ids& rows) -> Prediction {
    if (regression == nullptr) {
      Prediction shares = class_weights(targets, weights, rows, k);
      for (double& share : shares) share /= side_weight(weights, rows);
      return shares;
    }
    if (regression->criterion.kind() == CriterionKind::Mae) {
      std::vector<std::pair<double, double>> entries;
      for (const auto s : rows) entries.emplace_back(targets.values[s], weight_of(weights, s));
      return {reference_weighted_median(entries)};
    }
    double sum = 0.0;
    for (const auto s : rows) sum += weight_of(weights, s) * targets.values[s];
    return {sum / side_weight(weights, rows)};
  };
  const auto loss = [&](const Prediction& p, std::uint64_t s) {
    if (regression == nullptr) {
      double brier = 0.0;
      for (std::uint64_t c = 0; c < k; ++c) {
        const double miss = p[c] - (targets.labels[s] == c ? 1.0 : 0.0);
        brier += miss * miss;
      }
      return brier;
    }
    const double miss = targets.values[s] - p[0];
    return regression->criterion.kind() == CriterionKind::Mae ? std::fabs(miss) : miss * miss;
  };
  const Prediction node = predict(train), left = predict(tl), right = predict(tr);
  double gain = 0.0, weight = 0.0;
  for (const auto s : counted(valid_left)) {
    gain += weight_of(weights, s) * (loss(node, s) - loss(left, s));
    weight += weight_of(weights, s);
  }
  for (const auto s : counted(valid_right)) {
    gain += weight_of(weights, s) * (loss(node, s) - loss(right, s));
    weight += weight_of(weights, s);
  }
  return weight > 0.0 ? gain / weight : 0.0;
}

}  // namespace quor::testing
