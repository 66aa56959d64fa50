#pragma once
/// Each feature's candidates scored from its filled histogram cells, one fold
/// at a time, for each task: the impurity decrease of "mse"/"variance" from the
/// regression sums, of "gini"/"entropy" from the class counts (each fold on
/// its own samples), and the objective's gain with the other folds as the
/// training side. Templates over the sink, so that the scores of every
/// candidate reach it without an indirect call.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "criterion.hpp"
#include "histogram.hpp"
#include "objective.hpp"
#include "split_sink.hpp"
#include "task.hpp"

namespace quor {

/// The candidate codes of one feature, in ascending order, each with its fold
/// scores handed to the sink. The side rule on codes, summed: under the
/// threshold test the left side of code b holds codes 0 … b, so
/// `accumulate(b)` first adds code b to the running left side, and every code
/// but the last that holds a sample is a candidate; under the membership test
/// the left side is code b alone, and every code that holds a sample is a
/// candidate.
/// `fold_score(f, b)` scores one fold, or gives nullopt to leave it out. A
/// renumbered feature's codes reach the sink as their original codes.
template <CandidateSink Sink, class Total, class Accumulate, class FoldScore>
void for_each_candidate(std::size_t B, std::size_t K, const FeatureSpec& spec, Total&& code_total,
                        Accumulate&& accumulate, FoldScore&& fold_score, Sink& sink) {
  for (std::size_t b = 0; b < B; ++b) {
    const std::uint64_t total = code_total(b);
    if (spec.threshold) {
      accumulate(b);
      if (b == B - 1 || total == 0) continue;
    } else if (total == 0) {
      continue;
    }
    std::vector<double>& scores = sink.scores();
    scores.clear();
    for (std::size_t f = 0; f < K; ++f) {
      if (const std::optional<double> score = fold_score(f, b)) scores.push_back(*score);
    }
    sink.add(spec.original_codes != nullptr ? spec.original_codes[b] : static_cast<std::uint32_t>(b));
  }
}

/// Scores one feature's regression cells (K·B, fold-major) given each fold's
/// totals over the feature's usable samples.
template <CandidateSink Sink>
void score_regression_cells(const RegressionCell* cells, std::size_t B, std::size_t K, const double* fold_sums,
                            const double* fold_sq_sums, const FeatureSpec& spec, Sink& sink) {
  std::vector<std::uint64_t> fold_sizes(K, 0);
  for (std::size_t f = 0; f < K; ++f) {
    for (std::size_t b = 0; b < B; ++b) fold_sizes[f] += cells[f * B + b].count;
  }
  std::vector<RegressionCell> running(spec.threshold ? K : 0, RegressionCell{-0.0, -0.0, 0});
  for_each_candidate(
      B, K, spec,
      [&](std::size_t b) {
        std::uint64_t total = 0;
        for (std::size_t f = 0; f < K; ++f) total += cells[f * B + b].count;
        return total;
      },
      [&](std::size_t b) {
        for (std::size_t f = 0; f < K; ++f) {
          const RegressionCell& cell = cells[f * B + b];
          running[f].count += cell.count;
          running[f].sum += cell.sum;
          running[f].sq_sum += cell.sq_sum;
        }
      },
      [&](std::size_t f, std::size_t b) {
        const RegressionCell& left = spec.threshold ? running[f] : cells[f * B + b];
        const TargetSums whole{fold_sizes[f], fold_sums[f], fold_sq_sums[f]};
        return variance_decrease(whole, TargetSums{left.count, left.sum, left.sq_sum},
                                 TargetSums{whole.n - left.count, whole.sum - left.sum, whole.sq_sum - left.sq_sum});
      },
      sink);
}

/// The class counts of one feature's cells: per fold (over codes), per code
/// (over folds) and in all, with the fold sizes.
struct ClassTotals {
  std::vector<std::uint64_t> per_fold;  // K·C
  std::vector<std::uint64_t> fold_sizes;
  std::vector<std::uint64_t> per_code;  // B·C
  std::vector<std::uint64_t> per_class;  // C

  ClassTotals(const std::uint32_t* cells, std::size_t B, std::size_t K, std::size_t C)
      : per_fold(K * C, 0), fold_sizes(K, 0), per_code(B * C, 0), per_class(C, 0) {
    for (std::size_t f = 0; f < K; ++f) {
      for (std::size_t b = 0; b < B; ++b) {
        const std::uint32_t* cell = cells + (f * B + b) * C;
        for (std::size_t c = 0; c < C; ++c) {
          per_fold[f * C + c] += cell[c];
          per_code[b * C + c] += cell[c];
        }
      }
      for (std::size_t c = 0; c < C; ++c) fold_sizes[f] += per_fold[f * C + c];
    }
    for (std::size_t b = 0; b < B; ++b) {
      for (std::size_t c = 0; c < C; ++c) per_class[c] += per_code[b * C + c];
    }
  }

  std::uint64_t code_total(std::size_t b) const {
    std::uint64_t total = 0;
    for (std::size_t c = 0; c < per_class.size(); ++c) total += per_code[b * per_class.size() + c];
    return total;
  }
};

/// Scores one feature's class cells (K·B·C) by Gini or entropy decrease on
/// each fold's own samples.
template <CandidateSink Sink>
void score_class_cells(const Criterion& criterion, const std::uint32_t* cells, std::size_t B, std::size_t K,
                       std::size_t C, const FeatureSpec& spec, Sink& sink) {
  const ClassTotals totals(cells, B, K, C);
  std::vector<double> parent_impurity(K, 0.0);
  for (std::size_t f = 0; f < K; ++f) {
    if (totals.fold_sizes[f] > 0) {
      parent_impurity[f] = criterion.class_impurity(
          std::span<const std::uint64_t>(totals.per_fold.data() + f * C, C), static_cast<double>(totals.fold_sizes[f]));
    }
  }
  std::vector<std::uint64_t> running(spec.threshold ? K * C : 0, 0);
  std::vector<std::uint64_t> left(C), right(C);
  for_each_candidate(
      B, K, spec, [&](std::size_t b) { return totals.code_total(b); },
      [&](std::size_t b) {
        for (std::size_t f = 0; f < K; ++f) {
          const std::uint32_t* cell = cells + (f * B + b) * C;
          for (std::size_t c = 0; c < C; ++c) running[f * C + c] += cell[c];
        }
      },
      [&](std::size_t f, std::size_t b) -> std::optional<double> {
        const std::uint64_t n = totals.fold_sizes[f];
        std::uint64_t nl = 0;
        for (std::size_t c = 0; c < C; ++c) {
          left[c] = spec.threshold ? running[f * C + c] : cells[(f * B + b) * C + c];
          nl += left[c];
        }
        if (!both_sides(n, nl)) return std::nullopt;
        for (std::size_t c = 0; c < C; ++c) right[c] = totals.per_fold[f * C + c] - left[c];
        return class_decrease(criterion, parent_impurity[f], n, std::span<const std::uint64_t>(left), nl,
                              std::span<const std::uint64_t>(right));
      },
      sink);
}

/// Scores one feature's class cells (K·B·C) by true cross-validation: for
/// each fold the other folds train (each side predicts its majority class)
/// and the fold is held out; the score is the metric gain over not splitting.
template <CandidateSink Sink>
void score_objective_cells(const ObjectiveTask& task, const std::uint32_t* cells, std::size_t B, std::size_t K,
                           const FeatureSpec& spec, Sink& sink) {
  const std::size_t C = task.n_classes;
  const ClassTotals totals(cells, B, K, C);
  // The four sides and the fold's training totals, overwritten per (code, fold).
  std::vector<std::uint64_t> vectors(5 * C);
  const auto vec = [&](std::size_t k) { return std::span<std::uint64_t>(vectors.data() + k * C, C); };
  auto t = vec(0), tl = vec(1), tr = vec(2), vl = vec(3), vr = vec(4);
  ObjectiveFoldScorer scorer(task.objective, C, task.labels);
  // Each fold's measure without a split: its training side is every other fold.
  std::vector<double> unsplit(K, 0.0);
  for (std::size_t f = 0; f < K; ++f) {
    const std::span<const std::uint64_t> fold(totals.per_fold.data() + f * C, C);
    for (std::size_t c = 0; c < C; ++c) t[c] = totals.per_class[c] - fold[c];
    unsplit[f] = scorer.unsplit(t, fold);
  }
  // Threshold test: the held-out left side is the running fold vector, the
  // node-wide left side the running node vector; under membership, code b's cells.
  std::vector<std::uint64_t> running(spec.threshold ? K * C : 0, 0);
  std::vector<std::uint64_t> running_node(spec.threshold ? C : 0, 0);
  for_each_candidate(
      B, K, spec, [&](std::size_t b) { return totals.code_total(b); },
      [&](std::size_t b) {
        for (std::size_t f = 0; f < K; ++f) {
          for (std::size_t c = 0; c < C; ++c) running[f * C + c] += cells[(f * B + b) * C + c];
        }
        for (std::size_t c = 0; c < C; ++c) running_node[c] += totals.per_code[b * C + c];
      },
      [&](std::size_t f, std::size_t b) -> std::optional<double> {
        if (totals.fold_sizes[f] == 0) return std::nullopt;
        const std::uint64_t* fold = totals.per_fold.data() + f * C;
        const std::uint64_t* node_left = spec.threshold ? running_node.data() : totals.per_code.data() + b * C;
        std::uint64_t n_vl = 0, n_vr = 0, n_tl = 0, n_tr = 0;
        for (std::size_t c = 0; c < C; ++c) {
          t[c] = totals.per_class[c] - fold[c];
          vl[c] = spec.threshold ? running[f * C + c] : cells[(f * B + b) * C + c];
          vr[c] = fold[c] - vl[c];
          tl[c] = node_left[c] - vl[c];
          tr[c] = t[c] - tl[c];
          n_vl += vl[c];
          n_vr += vr[c];
          n_tl += tl[c];
          n_tr += tr[c];
        }
        if (n_vl == 0 || n_vr == 0 || n_tl == 0 || n_tr == 0) return std::nullopt;
        return scorer.gain(unsplit[f], tl, tr, vl, vr);
      },
      sink);
}

}  // namespace quor
