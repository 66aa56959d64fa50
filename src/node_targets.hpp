#pragma once
/// A fast-mode node's samples as its searches read them: the node's folds,
/// drawn from the order of its run, and each sample's fold number and target.

#include <cstdint>
#include <span>
#include <vector>

#include "config.hpp"
#include "task.hpp"

namespace quor {

/// A node's samples as the searches read them: each with its fold number and
/// target, aligned, gathered once per node and shared read-only by every
/// feature's search. Regression lists the samples in fold-assignment order,
/// since its sums are taken in that order; counting classes needs no order,
/// so classification may list them in the node's own order, which reads the
/// code rows more nearly in sequence. Also the per-fold target totals over
/// every sample of the node (used as is by features without missing codes).
/// Kept by a worker and refilled node after node.
struct NodeTargets {
  std::span<const std::uint32_t> samples;
  std::span<const std::uint8_t> fold_ids;
  std::uint64_t n_folds = 0;
  std::vector<double> y;                  // regression; weighted: w·y
  std::vector<double> y2;                 // y·y; weighted: w·(y·y)
  /// Weighted fits: each sample's weight, aligned with `samples`; empty
  /// otherwise.
  std::span<const double> w;
  std::span<const std::uint64_t> labels;  // classification and objective, aligned with `samples`
  std::vector<double> fold_sums;          // K
  std::vector<double> fold_sq_sums;       // K

  /// Draws the folds of a node's run (from the run's order) and lists its
  /// samples as the searches read them. `run_values` / `run_labels` are the
  /// targets of the run's samples in run order (the one the task uses); the
  /// lists point into them and into this record until the next call.
  void prepare(const Task& task, const TreeConfig& config, std::span<const std::uint32_t> run,
               std::span<const double> run_values, std::span<const std::uint64_t> run_labels,
               std::span<const double> run_weights = {});
  bool weighted() const { return !w.empty(); }
  /// Each sample's fold in the order of the run it was prepared from.
  std::span<const std::uint8_t> run_fold_ids();

 private:
  std::vector<std::uint32_t> positions_;  // shuffled positions in the run
  std::vector<std::uint8_t> order_folds_; // fold of each shuffled position
  std::vector<std::uint32_t> shuffled_;   // the run's samples in shuffled order
  std::vector<std::uint8_t> run_folds_;   // fold of each position of the run
  std::vector<double> shuffled_w_;        // regression: weights in shuffled order
};

}  // namespace quor
