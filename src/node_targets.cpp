#include "node_targets.hpp"

#include <variant>

#include "errors.hpp"
#include "folds.hpp"
#include "gather.hpp"

namespace quor {

void NodeTargets::prepare(const Task& task, const TreeConfig& config, std::span<const std::uint32_t> run,
                          std::span<const double> run_values, std::span<const std::uint64_t> run_labels,
                          std::span<const double> run_weights) {
  const std::size_t n = run.size();
  n_folds = fold_order(n, config.cv_folds, config.cv_seed, config.cv_shuffle, positions_, order_folds_);
  if (!std::holds_alternative<RegressionTask>(task)) {
    // Counts take any order: keep the run's, with each position's fold.
    run_folds_.resize(n);
    for (std::size_t p = 0; p < n; ++p) run_folds_[positions_[p]] = order_folds_[p];
    samples = run;
    fold_ids = run_folds_;
    labels = run_labels;
    w = run_weights;
    return;
  }
  // Sums follow the shuffled order: list the samples that way, each with its
  // target and the target's square, and take each fold's totals.
  shuffled_.resize(n);
  for (std::size_t p = 0; p < n; ++p) shuffled_[p] = run[positions_[p]];
  samples = shuffled_;
  fold_ids = order_folds_;
  gather_at(run_values, std::span<const std::uint32_t>(positions_), y);
  y2.resize(n);
  w = {};
  if (!run_weights.empty()) {
    // Weighted: the sums are of w·y and w·(y·y), and the counts weight sums.
    gather_at(run_weights, std::span<const std::uint32_t>(positions_), shuffled_w_);
    w = shuffled_w_;
    for (std::size_t i = 0; i < n; ++i) {
      const double t = y[i];
      y[i] = shuffled_w_[i] * t;
      y2[i] = shuffled_w_[i] * (t * t);
    }
  }
  fold_sums.assign(n_folds, 0.0);
  fold_sq_sums.assign(n_folds, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    check_index(fold_ids[i], n_folds, "folds");
    const double t = y[i];
    if (w.empty()) y2[i] = t * t;
    fold_sums[fold_ids[i]] += t;
    fold_sq_sums[fold_ids[i]] += y2[i];
  }
}

std::span<const std::uint8_t> NodeTargets::run_fold_ids() {
  // Classification keeps the run's order and so has them already.
  if (fold_ids.data() != run_folds_.data()) {
    run_folds_.resize(positions_.size());
    for (std::size_t p = 0; p < positions_.size(); ++p) run_folds_[positions_[p]] = order_folds_[p];
  }
  return run_folds_;
}

}  // namespace quor
