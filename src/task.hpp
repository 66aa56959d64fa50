#pragma once
/// The task of an estimator, chosen once at construction: what its leaves
/// predict and how its splits are scored. One variant, so that code that
/// differs by task visits it rather than testing flags and null pointers.

#include <cstdint>
#include <variant>
#include <vector>

#include "criterion.hpp"
#include "objective.hpp"

namespace quor {

/// Regression: leaves hold the mean; splits are scored by the criterion's
/// impurity decrease on each held-out fold.
struct RegressionTask {
  Criterion criterion = Criterion::mse();
};

/// Classification: leaves hold class proportions; splits are scored by the
/// criterion's ("gini" or "entropy") impurity decrease on each held-out fold.
struct ClassificationTask {
  Criterion criterion = Criterion::gini();
  std::uint64_t n_classes = 0;
};

/// Classification whose splits are scored by a metric objective: the
/// training sides' labels (chosen by `labels`) measured on each held-out
/// fold. The growers' purity test is the Gini index.
struct ObjectiveTask {
  Objective objective = Objective::accuracy();
  std::uint64_t n_classes = 0;
  /// Majority for the raw class; the package's fit path may choose Metric,
  /// under which the finished tree's leaves are labelled by the metric too.
  LabelRule labels = LabelRule::Majority;
};

using Task = std::variant<RegressionTask, ClassificationTask, ObjectiveTask>;

/// The number of classes of a classification task; 0 for regression.
inline std::uint64_t n_classes(const Task& task) {
  if (const auto* c = std::get_if<ClassificationTask>(&task)) return c->n_classes;
  if (const auto* o = std::get_if<ObjectiveTask>(&task)) return o->n_classes;
  return 0;
}

inline bool is_classification(const Task& task) { return !std::holds_alternative<RegressionTask>(task); }

/// The largest magnitude of a regression target that a forest (and the
/// package's estimators) takes, and so of a leaf value a forest keeps: a sum
/// of fewer than 2**63 such values stays far from overflow, so no leaf mean
/// and no mean over a forest's trees can be infinite.
inline constexpr double kLargestTarget = 0x1p960;

/// The targets of one fit, indexed by sample id: values for a regression
/// task, labels (class indices) for the classification tasks.
struct Targets {
  std::vector<double> values;
  std::vector<std::uint64_t> labels;
};

}  // namespace quor
