#pragma once
/// The settings that decide a tree: its task, the tree settings, the
/// aggregator and the categorical columns. One value, built by one converter
/// from the constructor arguments of a raw class or from a forest's settings
/// dict, and read by every estimator, tree grower and forest alike.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "aggregation.hpp"
#include "config.hpp"
#include "task.hpp"

namespace quor {

/// Constructor arguments after conversion from Python, before the option
/// strings are checked. Fields a class does not take are ignored.
struct SettingsOptions {
  std::uint64_t n_classes = 0;
  std::string criterion;
  std::string objective;
  std::string average;
  std::uint64_t pos_label = 0;
  double beta = 1.0;
  std::string objective_labels;  // empty: the majority rule, as before the option existed
  TreeConfig config;  // numeric and boolean fields; mode and split_style come from the strings
  std::string mode;
  std::string split_style;
  std::string aggregator;
  double agg_frac = 0.0;
  double agg_eps = 0.0;
  double agg_lambda = 0.0;
  std::vector<std::uint64_t> categorical;
};

struct Settings {
  /// RegressionTask for `RawRegressor`, ClassificationTask for
  /// `RawClassifier`, ObjectiveTask for `RawObjectiveClassifier`.
  Task task;
  TreeConfig config;
  Aggregator aggregator = Aggregator::mean();
  std::vector<std::uint64_t> categorical;  // ascending, no repeats

  bool is_classifier() const { return is_classification(task); }
  std::uint64_t n_classes() const { return quor::n_classes(task); }
  /// Probabilities a prediction row holds: the classes, at least one; 0 for regression.
  std::uint64_t n_outputs() const { return is_classifier() ? (n_classes() > 0 ? n_classes() : 1) : 0; }
  /// Threads a large prediction batch may use: the fit's, when `parallel` is on.
  std::uint64_t prediction_threads() const { return config.parallel ? config.n_threads : 1; }
};

/// Checks the option strings in the fixed order of the class whose task is
/// `T` and builds the settings; the first bad string throws its `ValueError`.
template <class T>
Settings build_settings(const SettingsOptions& options);

/// The fixed settings of an estimator rebuilt from a dump around a task of
/// type `T` (prediction reads only the class count and the categorical list;
/// n_classes is ignored for regression).
template <class T>
Settings rebuilt_settings(std::uint64_t n_classes, std::span<const std::uint64_t> categorical);

/// The largest min_weight_fraction_leaf: above one half no split could keep
/// both children.
inline constexpr double kMaxWeightFractionLeaf = 0.5;
/// Refuses a min_weight_fraction_leaf outside [0, kMaxWeightFractionLeaf]
/// (NaN included) with a `ValueError`.
void check_weight_fraction(double fraction);

/// The most samples a fit in fast mode, and a forest, takes: their sample
/// ids are 32-bit.
inline constexpr std::uint64_t kMaxSamples = 4294967295u;
/// Refuses more than kMaxSamples samples (`ValueError`) rather than
/// truncating ids.
void check_sample_limit(std::uint64_t n_samples);

}  // namespace quor
