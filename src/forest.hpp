#pragma once
/// Forests of cross-validated trees. The training data are prepared once per
/// forest (fast mode: encoded into codes once; strict mode: copied into
/// columns once), so that growing refers to nothing the caller owns. Each
/// tree grows from its own seed: its rows are drawn when it starts
/// (`draw_rows`) and every node draws its features from its path key
/// (`draw_features`), so a tree depends on nothing but its seed and the data,
/// and the forest is the same on any number of threads. Trees grow one per
/// thread. A forest predicts the mean of its trees' values or probabilities,
/// summed in tree order, routing blocks of rows through each tree's routing
/// table in turn.

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "encoder.hpp"
#include "estimator.hpp"
#include "interrupt.hpp"
#include "packed_tree.hpp"
#include "routing.hpp"
#include "tree.hpp"
#include "views.hpp"

namespace quor {

/// The refusal of drawn thresholds (ForestOptions::max_thresholds) outside
/// fast mode, whose codes they are drawn from.
inline constexpr const char* kThresholdsNeedFastMode =
    "max_thresholds draws among fast mode's codes: it needs mode \"fast\"";

/// What a forest adds to the settings of its trees.
struct ForestOptions {
  std::uint64_t max_features = 0;  // features per node; 0: all
  std::uint64_t max_samples = 0;   // rows per tree, drawn without replacement; 0: all
  std::uint64_t max_thresholds = 0;  // fast mode: candidate thresholds per node and feature; 0: all
  /// Out-of-bag predictions: each row predicted by the trees that did not
  /// see it.
  bool oob = false;
  /// Forest::in_bag, each tree's drawn rows (also kept with `oob`).
  bool keep_in_bag = false;
  /// Forest::oob_contributions: each tree's splits measured on the rows it
  /// did not draw (out_of_bag_importance.hpp), as each tree is grown.
  bool oob_importances = false;
  /// Classification: each tree multiplies its drawn rows' weights by their
  /// class's balancing factor over the drawn rows (balanced_subsample_weights).
  bool balanced_subsample = false;
};

/// A forest's training data, owned: nothing in it refers to the caller's
/// arrays.
struct ForestData {
  std::uint64_t n_rows = 0;
  std::uint64_t n_features = 0;
  std::optional<EncodedFeatures> encoded;  // fast mode
  std::vector<FeatureColumn> columns;      // strict mode
  Targets targets;
  /// Per row, its weight (positive), scaled by a power of two so that the
  /// largest is in [1, 2) (normalize_weights); empty: unweighted (no weights
  /// given, or all 1).
  std::vector<double> weights;
  /// The power of two the given weights were divided by: node weights are
  /// multiplied back by it.
  int weight_exponent = 0;
  /// The rows of the caller's x that the data hold, when rows of weight 0
  /// were left out (empty: all of them, in order), and how many x had.
  std::vector<std::uint64_t> input_rows;
  std::uint64_t n_input_rows = 0;
};

/// Checks the training data as `fit` does (the same messages), and the
/// targets a forest's dump could not hold (classes from n_classes up, values
/// that are not finite or above kLargestTarget in magnitude), and prepares
/// it for `settings`' mode, on `n_threads` threads. Reads `x`. `weights`
/// (empty: none) are checked (check_weights), and rows of weight 0 are left
/// out before anything is prepared: the data are those of the other rows.
ForestData prepare_forest_data(const Settings& settings, const MatrixView& x, Targets targets,
                               std::uint64_t n_threads, std::span<const double> weights = {});

struct Forest {
  std::vector<PackedTree> trees;  // for the settings' categorical columns
  std::vector<RootReport> roots;  // how each tree's root ended
  /// With ForestOptions::oob: per row of the caller's x, the mean prediction
  /// of the trees that did not see it (k values per row, k = 1 for
  /// regression), NaN for a row that every tree saw and for a row of weight 0,
  /// which is not part of the data.
  std::vector<double> oob_prediction;
  /// With ForestOptions::oob or keep_in_bag: per tree, a bitmap over the rows of the
  /// caller's x (ceil(n_rows / 64) words each, row r at bit r % 64 of word
  /// r / 64) of the rows the tree was grown on. A row of weight 0 is in no
  /// tree's.
  std::vector<std::uint64_t> in_bag;
  /// With ForestOptions::oob_importances: per tree, its out-of-bag
  /// contribution to every feature (n_trees × n_features, row-major); 0 for
  /// a tree that drew every row.
  std::vector<double> oob_contributions;
};

/// Grows one tree per seed on `n_threads` threads, one thread per tree (a
/// tree on several when there are more threads than trees). `trees_done` (if any)
/// counts finished trees as they finish. Stops with `Interrupted` when the
/// interrupt asks; throws `ValueError` for a forest without trees.
Forest grow_forest(const Settings& settings, const ForestData& data, std::span<const std::uint64_t> seeds,
                   const ForestOptions& options, std::uint64_t n_threads, Interrupt* interrupt = nullptr,
                   std::atomic<std::uint64_t>* trees_done = nullptr);

/// Each row's class by the trees' votes: the class most of the trees' leaves
/// predict, the lowest on ties. The prediction of trees whose leaves are
/// labelled by a metric (the mean of their probabilities would bring back
/// the majority the labels were chosen against).
void vote_forest(std::span<const PackedTree> trees, const MatrixView& x, std::size_t k, std::span<std::int64_t> out,
                 std::uint64_t n_threads, Interrupt* interrupt = nullptr);

/// The mean over the trees of each row's leaf value (`k` = 0: regression,
/// `out` has n_rows entries) or leaf probabilities (`out` is n_rows × k,
/// row-major), on `n_threads` threads for large inputs. Every row is summed in
/// tree order, so the result does not depend on the threads.
void predict_forest(std::span<const PackedTree> trees, const MatrixView& x, std::size_t k, std::span<double> out,
                    std::uint64_t n_threads, Interrupt* interrupt = nullptr);

/// The pre-order index of the leaf each row reaches in each tree: `out` is
/// n_rows × n_trees, row-major.
void apply_forest(std::span<const PackedTree> trees, const MatrixView& x, std::span<std::int64_t> out,
                  std::uint64_t n_threads, Interrupt* interrupt = nullptr);

/// The class of largest mean probability of each row (the lowest on ties),
/// from `proba` (n_rows × k).
void classes_from_probabilities(std::span<const double> proba, std::size_t k, std::span<std::int64_t> out);

}  // namespace quor
