#include "estimator.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "errors.hpp"
#include "grower.hpp"

namespace quor {

namespace {

TreeConfig config_with_modes(const EstimatorOptions& options, SplitMode mode, SplitStyle style) {
  TreeConfig config = options.config;
  config.mode = mode;
  config.split_style = style;
  return config;
}

}  // namespace

Estimator build_estimator(EstimatorKind kind, const EstimatorOptions& options) {
  // Each option is parsed into a local first: the order of the statements is
  // the order in which bad strings are reported.
  Estimator estimator;
  estimator.kind = kind;
  switch (kind) {
    case EstimatorKind::Regressor: {
      const Criterion criterion = Criterion::regression(options.criterion);
      const SplitMode mode = parse_mode(options.mode);
      const SplitStyle style = parse_split_style(options.split_style);
      estimator.aggregator = Aggregator::from_name(options.aggregator, options.agg_frac,
                                                   options.agg_eps, options.agg_lambda);
      estimator.criterion = criterion;
      estimator.config = config_with_modes(options, mode, style);
      break;
    }
    case EstimatorKind::Classifier: {
      const Criterion criterion = Criterion::classification(options.criterion, options.n_classes);
      const SplitMode mode = parse_mode(options.mode);
      const SplitStyle style = parse_split_style(options.split_style);
      estimator.aggregator = Aggregator::from_name(options.aggregator, options.agg_frac,
                                                   options.agg_eps, options.agg_lambda);
      estimator.criterion = criterion;
      estimator.n_classes = options.n_classes;
      estimator.config = config_with_modes(options, mode, style);
      break;
    }
    case EstimatorKind::ObjectiveClassifier: {
      const AverageMode average = parse_average(options.average);
      const Objective objective =
          Objective::from_name(options.objective, average, options.pos_label, options.beta);
      const SplitMode mode = parse_mode(options.mode);
      const SplitStyle style = parse_split_style(options.split_style);
      estimator.aggregator = Aggregator::from_name(options.aggregator, options.agg_frac,
                                                   options.agg_eps, options.agg_lambda);
      estimator.criterion = Criterion::gini(options.n_classes);
      estimator.objective_task =
          ObjectiveTask{objective, options.n_classes, Criterion::gini(options.n_classes)};
      estimator.n_classes = options.n_classes;
      estimator.config = config_with_modes(options, mode, style);
      break;
    }
  }
  estimator.categorical = sorted_unique(options.categorical);
  return estimator;
}

Targets regression_targets(const VectorView<double>& y) {
  Targets targets;
  targets.values.resize(y.size);
  for (std::size_t i = 0; i < y.size; ++i) targets.values[i] = y.at(i);
  return targets;
}

Targets classification_targets(const VectorView<std::int64_t>& y) {
  Targets targets;
  targets.labels.resize(y.size);
  for (std::size_t i = 0; i < y.size; ++i) {
    targets.labels[i] = static_cast<std::uint64_t>(std::max<std::int64_t>(y.at(i), 0));
  }
  return targets;
}

namespace {

void check_sample_counts(const Estimator& estimator, std::size_t n, const Targets& targets) {
  const std::size_t m =
      estimator.is_classifier() ? targets.labels.size() : targets.values.size();
  if (m != n) {
    throw ValueError("targets length " + std::to_string(m) + " does not match " +
                     std::to_string(n) + " samples");
  }
  if (n == 0) throw ValueError("need at least one sample");
}

GrowInput grow_input(const Estimator& estimator, const Targets& targets) {
  GrowInput input;
  switch (estimator.kind) {
    case EstimatorKind::Regressor:
      input.task = TaskKind::Regression;
      input.criterion = &estimator.criterion;
      input.y = targets.values;
      break;
    case EstimatorKind::Classifier:
      input.task = TaskKind::Classification;
      input.criterion = &estimator.criterion;
      input.labels = targets.labels;
      break;
    case EstimatorKind::ObjectiveClassifier:
      input.task = TaskKind::Objective;
      input.objective = &estimator.objective_task.value();
      input.labels = targets.labels;
      break;
  }
  input.n_classes = estimator.n_classes;
  input.config = &estimator.config;
  input.aggregator = &estimator.aggregator;
  return input;
}

}  // namespace

void fit_estimator(Estimator& estimator, std::vector<FeatureColumn> columns, Targets targets) {
  if (columns.empty()) throw ValueError("need at least one feature column");
  const std::size_t n = columns.front().size();
  for (std::size_t j = 0; j < columns.size(); ++j) {
    if (columns[j].size() != n) {
      throw ValueError("column " + std::to_string(j) + " has length " +
                       std::to_string(columns[j].size()) + " but expected " + std::to_string(n));
    }
  }
  check_sample_counts(estimator, n, targets);
  const GrowInput input = grow_input(estimator, targets);
  Tree tree = estimator.config.mode == SplitMode::Strict ? grow_strict(input, columns)
                                                         : fit_fast(input, columns);
  // Only a grown tree replaces the old one; the move cannot throw.
  estimator.tree = std::move(tree);
}

void fit_estimator(Estimator& estimator, const MatrixView& x, Targets targets) {
  if (estimator.config.mode == SplitMode::Strict) {
    // The copy runs on the fit's threads when it has them.
    fit_estimator(estimator,
                  columns_from_matrix(x, estimator.categorical, fit_threads(estimator.config, x.n_cols)),
                  std::move(targets));
    return;
  }
  // Fast mode encodes straight from the matrix: the same checks, without a
  // full copy of the training values.
  if (x.n_cols == 0) throw ValueError("need at least one feature column");
  check_sample_counts(estimator, x.n_rows, targets);
  Tree tree = fit_fast(grow_input(estimator, targets), x, estimator.categorical);
  estimator.tree = std::move(tree);
}

Estimator rebuilt_estimator(EstimatorKind kind, std::uint64_t n_classes,
                            std::span<const std::uint64_t> categorical, Tree tree) {
  Estimator estimator;
  estimator.kind = kind;
  estimator.config = placeholder_config();
  estimator.aggregator = Aggregator::mean();
  switch (kind) {
    case EstimatorKind::Regressor:
      estimator.criterion = Criterion::mse();
      break;
    case EstimatorKind::Classifier:
      estimator.criterion = Criterion::gini(n_classes);
      estimator.n_classes = n_classes;
      break;
    case EstimatorKind::ObjectiveClassifier:
      estimator.criterion = Criterion::gini(n_classes);
      estimator.objective_task =
          ObjectiveTask{Objective::accuracy(), n_classes, Criterion::gini(n_classes)};
      estimator.n_classes = n_classes;
      break;
  }
  estimator.categorical = sorted_unique(categorical);
  estimator.tree = std::move(tree);
  return estimator;
}

}  // namespace quor
