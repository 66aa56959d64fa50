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
#include "criterion.hpp"
#include "encoder.hpp"
#include "objective.hpp"
#include "routing.hpp"
#include "tree.hpp"
#include "views.hpp"

namespace quor {

enum class EstimatorKind { Regressor, Classifier, ObjectiveClassifier };

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
  EstimatorKind kind = EstimatorKind::Regressor;
  TreeConfig config;
  /// Regressor: the regression criterion. Classifier: the classification
  /// criterion. Objective classifier: unused ("gini"; the task has its own).
  Criterion criterion = Criterion::mse();
  std::optional<ObjectiveTask> objective_task;
  std::uint64_t n_classes = 0;
  Aggregator aggregator = Aggregator::mean();
  std::vector<std::uint64_t> categorical;  // ascending, no repeats
  std::optional<Tree> tree;
  /// The tree laid out for batch prediction; set and replaced with `tree`.
  RoutingTable routing;

  bool is_fitted() const { return tree.has_value(); }
  bool is_classifier() const { return kind != EstimatorKind::Regressor; }
  /// Threads a large prediction batch may use: the fit's, when `parallel` is on.
  std::uint64_t prediction_threads() const { return config.parallel ? config.n_threads : 1; }
};

/// Makes `tree` the estimator's fitted tree, with its routing table. Nothing
/// changes if building the table fails.
void install_tree(Estimator& estimator, Tree tree);

/// Checks the option strings in the fixed order of each class and builds the
/// record; the first bad string throws its `ValueError`.
Estimator build_estimator(EstimatorKind kind, const EstimatorOptions& options);

/// One training column per matrix column, in order; columns in the sorted
/// `categorical` list hold category codes, the others the values unchanged.
/// Copied on `n_threads` threads when it is 2 or more.
std::vector<FeatureColumn> columns_from_matrix(const MatrixView& x,
                                               std::span<const std::uint64_t> categorical,
                                               std::uint64_t n_threads = 1);

/// Targets copied out of the caller's `y`.
struct Targets {
  std::vector<double> values;          // regression
  std::vector<std::uint64_t> labels;   // classification: max(v, 0)
};
Targets regression_targets(const VectorView<double>& y);
Targets classification_targets(const VectorView<std::int64_t>& y);

/// Validates the training data and grows a tree in the configured mode; the
/// estimator's tree is replaced only when growing succeeds. Throws
/// `ValueError` with the exact messages of the input checks.
void fit_estimator(Estimator& estimator, std::vector<FeatureColumn> columns, Targets targets);
/// The same from the input matrix; fast mode encodes it without copying it.
void fit_estimator(Estimator& estimator, const MatrixView& x, Targets targets);

/// One exported node, as `export_tree` lists it.
struct FlatNode {
  bool is_leaf = false;
  std::int64_t children_left = -1;
  std::int64_t children_right = -1;
  std::int64_t feature = -1;
  bool is_categorical = false;
  double lower;  // NaN until set
  double upper;  // NaN until set
  std::int64_t category = -1;
  std::uint64_t n_samples = 0;
  double value;  // NaN until set
  std::int64_t predicted_class = -1;
  std::span<const double> proba;  // a view into the tree
};

/// The tree in pre-order; split counts are the sums of their children's.
std::vector<FlatNode> flatten_tree(const Tree& tree);

/// Parallel lists read from a dump. `proba_offsets` has one entry more than
/// nodes with a `proba` list: list i is probas[offsets[i] .. offsets[i+1]).
struct TreeDump {
  std::vector<std::uint8_t> is_leaf;
  std::vector<std::int64_t> children_left;
  std::vector<std::int64_t> children_right;
  std::vector<std::int64_t> feature;
  std::vector<std::uint8_t> is_categorical;
  std::vector<double> lower;
  std::vector<double> upper;
  std::vector<std::int64_t> category;
  std::vector<std::uint64_t> n_samples;
  std::vector<double> value;                 // regressor
  std::vector<std::int64_t> predicted_class;  // classifiers
  std::vector<double> probas;                // classifiers, flattened
  std::vector<std::size_t> proba_offsets;     // classifiers
};

/// Rebuilds the tree reachable from node 0 in pre-order. An index past a list's
/// end (-1 included) is an internal error; a node reached twice (a cycle or a
/// shared child) is a `ValueError`.
Tree rebuild_tree(const TreeDump& dump, bool classification);

/// The fixed-settings estimator `from_tree` returns around a rebuilt tree.
Estimator rebuilt_estimator(EstimatorKind kind, std::uint64_t n_classes,
                            std::span<const std::uint64_t> categorical, Tree tree);

}  // namespace quor
