#pragma once
// Scoring written out from the definition, for the oracle tests: a fold's
// score of a split is computed from the sample lists of its four sides by
// gathering targets and calling the criterion or the objective's fold gain.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "objective.hpp"
#include "task.hpp"

namespace quor::testing {

using Ids = std::vector<std::uint64_t>;

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
    ConfusionCounts with_split(c), without_split(c);
    with_split.add(majority_class(tl), vl);
    with_split.add(majority_class(tr), vr);
    without_split.add(majority_class(t), vl);
    without_split.add(majority_class(t), vr);
    return objective->objective.score(with_split) - objective->objective.score(without_split);
  }
  if (valid_left.empty() || valid_right.empty()) return std::nullopt;
  return reference_impurity(task, targets, valid) -
         (static_cast<double>(valid_right.size()) * reference_impurity(task, targets, valid_right) +
          static_cast<double>(valid_left.size()) * reference_impurity(task, targets, valid_left)) /
             static_cast<double>(valid.size());
}

}  // namespace quor::testing
