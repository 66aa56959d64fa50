#include "estimator.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "errors.hpp"
#include "fast_grower.hpp"
#include "strict_grower.hpp"

namespace quor {

void install_tree(Estimator& estimator, Tree tree) {
  RoutingTable routing(tree, estimator.settings.categorical);
  // Neither move can throw: the estimator never holds a tree without its table.
  estimator.tree = std::move(tree);
  estimator.routing = std::move(routing);
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

void check_sample_counts(const Settings& settings, std::size_t n, const Targets& targets) {
  const std::size_t m = settings.is_classifier() ? targets.labels.size() : targets.values.size();
  if (m != n) {
    throw ValueError("targets length " + std::to_string(m) + " does not match " +
                     std::to_string(n) + " samples");
  }
  if (n == 0) throw ValueError("need at least one sample");
}

GrowInput grow_input(const Settings& settings, const Targets& targets) {
  return GrowInput{settings.task, settings.config, settings.aggregator, targets};
}

namespace {

GrowInput interruptible_input(const Estimator& estimator, const Targets& targets, Interrupt* interrupt) {
  GrowInput input = grow_input(estimator.settings, targets);
  input.options.interrupt = interrupt;
  return input;
}

}  // namespace

void fit_estimator(Estimator& estimator, std::vector<FeatureColumn> columns, Targets targets,
                   Interrupt* interrupt) {
  if (columns.empty()) throw ValueError("need at least one feature column");
  const std::size_t n = columns.front().size();
  for (std::size_t j = 0; j < columns.size(); ++j) {
    if (columns[j].size() != n) {
      throw ValueError("column " + std::to_string(j) + " has length " +
                       std::to_string(columns[j].size()) + " but expected " + std::to_string(n));
    }
  }
  check_sample_counts(estimator.settings, n, targets);
  // Fast mode encodes the matrix itself (the other fit_estimator).
  if (estimator.settings.config.mode != SplitMode::Strict) throw InternalError("only strict mode fits from columns");
  const GrowInput input = interruptible_input(estimator, targets, interrupt);
  Tree tree = grow_strict(input, columns);
  check_interrupt(interrupt);  // a stop asked for at the very end still stops
  // Only a grown tree replaces the old one.
  install_tree(estimator, std::move(tree));
}

void fit_estimator(Estimator& estimator, const MatrixView& x, Targets targets, Interrupt* interrupt) {
  if (estimator.settings.config.mode == SplitMode::Strict) {
    // The copy runs on the fit's threads when it has them.
    fit_estimator(estimator,
                  columns_from_matrix(x, estimator.settings.categorical, fit_threads(estimator.settings.config, x.n_cols)),
                  std::move(targets), interrupt);
    return;
  }
  // Fast mode encodes straight from the matrix: the same checks, without a
  // full copy of the training values.
  if (x.n_cols == 0) throw ValueError("need at least one feature column");
  check_sample_counts(estimator.settings, x.n_rows, targets);
  Tree tree = fit_fast(interruptible_input(estimator, targets, interrupt), x, estimator.settings.categorical);
  check_interrupt(interrupt);
  install_tree(estimator, std::move(tree));
}

template <class T>
Estimator rebuilt_estimator(std::uint64_t n_classes, std::span<const std::uint64_t> categorical, Tree tree) {
  Estimator estimator{rebuilt_settings<T>(n_classes, categorical), std::nullopt, {}};
  install_tree(estimator, std::move(tree));
  return estimator;
}

template Estimator rebuilt_estimator<RegressionTask>(std::uint64_t, std::span<const std::uint64_t>, Tree);
template Estimator rebuilt_estimator<ClassificationTask>(std::uint64_t, std::span<const std::uint64_t>, Tree);
template Estimator rebuilt_estimator<ObjectiveTask>(std::uint64_t, std::span<const std::uint64_t>, Tree);

}  // namespace quor
