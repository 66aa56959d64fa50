#pragma once
/// The estimator record behind each Python object: hyperparameters, task,
/// aggregator, categorical columns and the fitted tree; its construction from
/// the converted constructor arguments, `fit`, the dump and the rebuild.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "aggregation.hpp"
#include "config.hpp"
#include "growth.hpp"
#include "input.hpp"
#include "interrupt.hpp"
#include "routing.hpp"
#include "task.hpp"
#include "tree.hpp"
#include "views.hpp"

namespace quor {

/// Constructor arguments after conversion from Python, before the option
/// strings are checked. Fields a class does not take are ignored.
struct EstimatorOptions {
  std::uint64_t n_classes = 0;
  std::string criterion;
  std::string objective;
  std::string average;
  std::uint64_t pos_label = 0;
  double beta = 1.0;
  TreeConfig config;  // numeric and boolean fields; mode and split_style come from the strings
  std::string mode;
  std::string split_style;
  std::string aggregator;
  double agg_frac = 0.0;
  double agg_eps = 0.0;
  double agg_lambda = 0.0;
  std::vector<std::uint64_t> categorical;
};

struct Estimator {
  /// RegressionTask for `RawRegressor`, ClassificationTask for
  /// `RawClassifier`, ObjectiveTask for `RawObjectiveClassifier`.
  Task task;
  TreeConfig config;
  Aggregator aggregator = Aggregator::mean();
  std::vector<std::uint64_t> categorical;  // ascending, no repeats
  std::optional<Tree> tree;
  /// The tree laid out for batch prediction; set and replaced with `tree`.
  RoutingTable routing;

  bool is_fitted() const { return tree.has_value(); }
  bool is_classifier() const { return is_classification(task); }
  std::uint64_t n_classes() const { return quor::n_classes(task); }
  /// Threads a large prediction batch may use: the fit's, when `parallel` is on.
  std::uint64_t prediction_threads() const { return config.parallel ? config.n_threads : 1; }
};

/// Makes `tree` the estimator's fitted tree, with its routing table. Nothing
/// changes if building the table fails.
void install_tree(Estimator& estimator, Tree tree);

/// Checks the option strings in the fixed order of the class whose task is
/// `T` and builds the record; the first bad string throws its `ValueError`.
template <class T>
Estimator build_estimator(const EstimatorOptions& options);

/// Targets copied out of the caller's `y`.
Targets regression_targets(const VectorView<double>& y);
Targets classification_targets(const VectorView<std::int64_t>& y);

/// The sample-count checks of `fit`: the targets' length against the `n`
/// rows, and at least one row (`ValueError`).
void check_sample_counts(const Estimator& estimator, std::size_t n, const Targets& targets);
/// What the growers read of the estimator and the targets (both outlive it),
/// with the single tree's options.
GrowInput grow_input(const Estimator& estimator, const Targets& targets);

/// Validates the training data and grows a tree in the configured mode; the
/// estimator's tree is replaced only when growing succeeds. Throws
/// `ValueError` with the exact messages of the input checks. Growth stops
/// with `Interrupted` when `interrupt` (if any) asks it to. Fast mode encodes
/// the matrix without copying it; strict mode copies it into columns.
void fit_estimator(Estimator& estimator, const MatrixView& x, Targets targets, Interrupt* interrupt = nullptr);
/// Strict mode's fit from the copied columns, with the same checks.
void fit_estimator(Estimator& estimator, std::vector<FeatureColumn> columns, Targets targets,
                   Interrupt* interrupt = nullptr);

/// The fixed-settings estimator `from_tree` returns around a rebuilt tree,
/// with a task of type `T` (n_classes is ignored for regression).
template <class T>
Estimator rebuilt_estimator(std::uint64_t n_classes, std::span<const std::uint64_t> categorical, Tree tree);

}  // namespace quor
