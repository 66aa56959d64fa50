#pragma once
/// The estimator record behind each raw Python object: its settings and its
/// fitted tree; `fit` and the rebuild from a dump.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "growth.hpp"
#include "input.hpp"
#include "interrupt.hpp"
#include "routing.hpp"
#include "settings.hpp"
#include "task.hpp"
#include "tree.hpp"
#include "views.hpp"

namespace quor {

/// A raw estimator: its settings and, once fitted, its tree with the tree's
/// routing table.
struct Estimator {
  Settings settings;
  std::optional<Tree> tree;
  /// The tree laid out for batch prediction; set and replaced with `tree`.
  RoutingTable routing;

  bool is_fitted() const { return tree.has_value(); }
  bool is_classifier() const { return settings.is_classifier(); }
  std::uint64_t n_classes() const { return settings.n_classes(); }
};

/// Makes `tree` the estimator's fitted tree, with its routing table. Nothing
/// changes if building the table fails.
void install_tree(Estimator& estimator, Tree tree);

/// Targets copied out of the caller's `y`.
Targets regression_targets(const VectorView<double>& y);
Targets classification_targets(const VectorView<std::int64_t>& y);

/// The sample-count checks of `fit`: the targets' length against the `n`
/// rows, and at least one row (`ValueError`).
void check_sample_counts(const Settings& settings, std::size_t n, const Targets& targets);
/// What the growers read of the settings and the targets (both outlive it),
/// with the single tree's options.
GrowInput grow_input(const Settings& settings, const Targets& targets);

/// Validates the training data and grows a tree in the configured mode; the
/// estimator's tree is replaced only when growing succeeds. Throws
/// `ValueError` with the exact messages of the input checks. Growth stops
/// with `Interrupted` when `interrupt` (if any) asks it to. Fast mode encodes
/// the matrix without copying it; strict mode copies it into columns.
void fit_estimator(Estimator& estimator, const MatrixView& x, Targets targets, Interrupt* interrupt = nullptr);
/// Strict mode's fit from the copied columns, with the same checks.
void fit_estimator(Estimator& estimator, std::vector<FeatureColumn> columns, Targets targets,
                   Interrupt* interrupt = nullptr);

/// The estimator `from_tree` returns around a rebuilt tree: the fixed
/// settings of `rebuilt_settings<T>`.
template <class T>
Estimator rebuilt_estimator(std::uint64_t n_classes, std::span<const std::uint64_t> categorical, Tree tree);

}  // namespace quor
