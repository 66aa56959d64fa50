#pragma once
/// Each feature's candidates scored from its filled histogram cells, one fold
/// at a time, for each task: the impurity decrease of "mse"/"variance" from the
/// regression sums, of "gini"/"entropy" from the class counts (each fold on
/// its own samples), and the objective's gain with the other folds as the
/// training side. Templates over the sink, so that the scores of every
/// candidate reach it without an indirect call.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "category_order.hpp"
#include "criterion.hpp"
#include "histogram.hpp"
#include "sampling.hpp"
#include "objective.hpp"
#include "scored_split.hpp"
#include "split_sink.hpp"
#include "task.hpp"

namespace quor {

/// Where a candidate sends the missing samples of a feature with learned
/// sides: right or left of its test, or alone against every finite value.
enum class MissingVariant : std::uint8_t { Right, Left, Alone };

/// The candidate codes of one feature, in ascending order, each with its fold
/// scores handed to the sink. The side rule on codes, summed: under the
/// threshold test the left side of code b holds codes 0 … b, so
/// `accumulate(b)` first adds code b to the running left side, and every code
/// but the last that holds a sample is a candidate; under the membership test
/// the left side is code b alone, and every code that holds a sample is a
/// candidate; with drawn thresholds (FeatureSpec::max_thresholds) only the
/// drawn ones among a continuous feature's. With `learn` (the node has missing samples and their side is
/// learned), each candidate is scored with them right, then left, and a
/// continuous feature's "missing values alone" comes last (kMissingAlone).
/// `fold_score(f, b, variant)` scores one fold, or gives nullopt to leave it
/// out. A renumbered feature's codes reach the sink as their original codes.
template <CandidateSink Sink, class Total, class Accumulate, class FoldScore>
void for_each_candidate(std::size_t B, std::size_t K, const FeatureSpec& spec, bool learn, Total&& code_total,
                        Accumulate&& accumulate, FoldScore&& fold_score, Sink& sink) {
  const auto emit = [&](std::size_t b, MissingVariant variant, std::uint32_t code) {
    std::vector<double>& scores = sink.scores();
    scores.clear();
    if constexpr (FoldKeepingSink<Sink>) {
      std::vector<std::uint32_t>& folds = sink.folds();
      folds.clear();
      for (std::size_t f = 0; f < K; ++f) {
        if (const std::optional<double> score = fold_score(f, b, variant)) {
          scores.push_back(*score);
          folds.push_back(static_cast<std::uint32_t>(f));
        }
      }
    } else {
      for (std::size_t f = 0; f < K; ++f) {
        if (const std::optional<double> score = fold_score(f, b, variant)) scores.push_back(*score);
      }
    }
    sink.add(code, variant == MissingVariant::Left);
  };
  // The drawn candidates' ranks among the feature's candidates, ascending;
  // `next` walks them as the candidates go by.
  thread_local std::vector<std::size_t> drawn;
  const bool draws = spec.max_thresholds != 0 && spec.threshold && spec.continuous && !spec.set_split;
  if (draws) {
    std::size_t candidates = 0;
    for (std::size_t b = 0; b + 1 < B; ++b) candidates += code_total(b) != 0 ? 1 : 0;
    draw_subset(threshold_key(spec.node_key, spec.feature), candidates, spec.max_thresholds, drawn);
  }
  std::size_t rank = 0, next = 0;
  for (std::size_t b = 0; b < B; ++b) {
    const auto total = code_total(b);
    if (spec.threshold) {
      accumulate(b);
      if (b == B - 1 || total == 0) continue;
      if (draws) {
        const bool taken = next < drawn.size() && drawn[next] == rank;
        ++rank;
        if (!taken) continue;
        ++next;
      }
    } else if (total == 0) {
      continue;
    }
    const std::uint32_t code =
        spec.original_codes != nullptr ? spec.original_codes[b] : static_cast<std::uint32_t>(b);
    emit(b, MissingVariant::Right, code);
    if (learn) emit(b, MissingVariant::Left, code);
  }
  if (learn && spec.continuous) emit(0, MissingVariant::Alone, kMissingAlone);
}

/// Scores one feature's regression cells (K·width, fold-major) given each
/// fold's totals over the feature's usable samples (with learned sides, over
/// every sample of the fold). Weighted cells hold weight sums where
/// unweighted ones count.
/// A regression feature's per-fold sample counts over its codes and, with
/// learned sides, the missing samples' sums per fold (kept out of the running
/// sums and added to a side after); `learn` when the node has some.
template <class N>
struct RegressionFoldTotals {
  using Sums = BasicTargetSums<N>;
  std::vector<N> fold_sizes;
  std::vector<Sums> missing;
  bool learn = false;

  RegressionFoldTotals(const BasicRegressionCell<N>* cells, std::size_t B, std::size_t K, const FeatureSpec& spec)
      : fold_sizes(K, 0), missing(K, Sums{0, -0.0, -0.0}) {
    const std::size_t W = spec.width();
    for (std::size_t f = 0; f < K; ++f) {
      for (std::size_t b = 0; b < B; ++b) fold_sizes[f] += cells[f * W + b].count;
    }
    if (!spec.learn_missing) return;
    for (std::size_t f = 0; f < K; ++f) {
      const BasicRegressionCell<N>& cell = cells[f * W + B];
      missing[f] = Sums{cell.count, cell.sum, cell.sq_sum};
      learn = learn || cell.count > 0;
    }
  }
};

template <CandidateSink Sink, class N>
void score_regression_cells(const BasicRegressionCell<N>* cells, std::size_t B, std::size_t K, const double* fold_sums,
                            const double* fold_sq_sums, const FeatureSpec& spec, Sink& sink) {
  using Sums = BasicTargetSums<N>;
  const std::size_t W = spec.width();
  const RegressionFoldTotals<N> totals(cells, B, K, spec);
  const std::vector<N>& fold_sizes = totals.fold_sizes;
  const std::vector<Sums>& missing = totals.missing;
  const bool learn = totals.learn;
  std::vector<BasicRegressionCell<N>> running(spec.threshold ? K : 0, BasicRegressionCell<N>{-0.0, -0.0, 0});
  for_each_candidate(
      B, K, spec, learn,
      [&](std::size_t b) {
        N total = 0;
        for (std::size_t f = 0; f < K; ++f) total += cells[f * W + b].count;
        return total;
      },
      [&](std::size_t b) {
        for (std::size_t f = 0; f < K; ++f) {
          const BasicRegressionCell<N>& cell = cells[f * W + b];
          running[f].count += cell.count;
          running[f].sum += cell.sum;
          running[f].sq_sum += cell.sq_sum;
        }
      },
      [&](std::size_t f, std::size_t b, MissingVariant variant) {
        const Sums whole{fold_sizes[f] + missing[f].n, fold_sums[f], fold_sq_sums[f]};
        Sums left;
        if (variant == MissingVariant::Alone) {
          left = Sums{fold_sizes[f], whole.sum - missing[f].sum, whole.sq_sum - missing[f].sq_sum};
        } else {
          const BasicRegressionCell<N>& cell = spec.threshold ? running[f] : cells[f * W + b];
          left = Sums{cell.count, cell.sum, cell.sq_sum};
          if (variant == MissingVariant::Left) {
            left = Sums{left.n + missing[f].n, left.sum + missing[f].sum, left.sq_sum + missing[f].sq_sum};
          }
        }
        return variance_decrease(whole, left, Sums{whole.n - left.n, whole.sum - left.sum, whole.sq_sum - left.sq_sum});
      },
      sink);
}

/// The class counts of one feature's cells: per fold (over codes), per code
/// (over folds) and in all, with the fold sizes. `Cell` is a count (32-bit)
/// or, weighted, a weight sum; `N` what they add up to. With learned sides
/// and missing samples in the node (`learn`), the per-fold and per-class
/// totals and the fold sizes take in the missing samples, whose counts are
/// also kept per fold and in all.
template <class Cell>
struct ClassTotals {
  using N = std::conditional_t<std::is_same_v<Cell, double>, double, std::uint64_t>;
  std::vector<N> per_fold;  // K·C
  std::vector<N> fold_sizes;
  std::vector<N> per_code;  // B·C
  std::vector<N> per_class;  // C
  std::vector<N> missing;       // K·C
  std::vector<N> missing_node;  // C
  std::vector<N> fold_missing;  // K
  bool learn = false;

  ClassTotals(const Cell* cells, std::size_t B, std::size_t K, std::size_t C, const FeatureSpec& spec)
      : per_fold(K * C, 0), fold_sizes(K, 0), per_code(B * C, 0), per_class(C, 0), missing(K * C, 0),
        missing_node(C, 0), fold_missing(K, 0) {
    const std::size_t W = spec.width();
    for (std::size_t f = 0; f < K; ++f) {
      for (std::size_t b = 0; b < B; ++b) {
        const Cell* cell = cells + (f * W + b) * C;
        for (std::size_t c = 0; c < C; ++c) {
          per_fold[f * C + c] += cell[c];
          per_code[b * C + c] += cell[c];
        }
      }
      if (spec.learn_missing) {
        const Cell* cell = cells + (f * W + B) * C;
        for (std::size_t c = 0; c < C; ++c) {
          missing[f * C + c] = cell[c];
          missing_node[c] += cell[c];
          fold_missing[f] += cell[c];
        }
        learn = learn || fold_missing[f] > 0;
      }
    }
    if (learn) {
      for (std::size_t i = 0; i < K * C; ++i) per_fold[i] += missing[i];
    }
    for (std::size_t f = 0; f < K; ++f) {
      for (std::size_t c = 0; c < C; ++c) fold_sizes[f] += per_fold[f * C + c];
    }
    for (std::size_t b = 0; b < B; ++b) {
      for (std::size_t c = 0; c < C; ++c) per_class[c] += per_code[b * C + c];
    }
    if (learn) {
      for (std::size_t c = 0; c < C; ++c) per_class[c] += missing_node[c];
    }
  }

  N code_total(std::size_t b) const {
    N total = 0;
    for (std::size_t c = 0; c < per_class.size(); ++c) total += per_code[b * per_class.size() + c];
    return total;
  }
};

/// Scores one feature's class cells (K·width·C) by Gini or entropy decrease
/// on each fold's own samples.
template <CandidateSink Sink, class Cell>
void score_class_cells(const Criterion& criterion, const Cell* cells, std::size_t B, std::size_t K, std::size_t C,
                       const FeatureSpec& spec, Sink& sink) {
  using N = typename ClassTotals<Cell>::N;
  const std::size_t W = spec.width();
  const ClassTotals<Cell> totals(cells, B, K, C, spec);
  std::vector<double> parent_impurity(K, 0.0);
  for (std::size_t f = 0; f < K; ++f) {
    if (totals.fold_sizes[f] > 0) {
      parent_impurity[f] = criterion.class_impurity(std::span<const N>(totals.per_fold.data() + f * C, C),
                                                    static_cast<double>(totals.fold_sizes[f]));
    }
  }
  std::vector<N> running(spec.threshold ? K * C : 0, 0);
  std::vector<N> left(C), right(C);
  for_each_candidate(
      B, K, spec, totals.learn, [&](std::size_t b) { return totals.code_total(b); },
      [&](std::size_t b) {
        for (std::size_t f = 0; f < K; ++f) {
          const Cell* cell = cells + (f * W + b) * C;
          for (std::size_t c = 0; c < C; ++c) running[f * C + c] += cell[c];
        }
      },
      [&](std::size_t f, std::size_t b, MissingVariant variant) -> std::optional<double> {
        const N n = totals.fold_sizes[f];
        const N* fold = totals.per_fold.data() + f * C;
        const N* miss = totals.missing.data() + f * C;
        N nl = 0;
        for (std::size_t c = 0; c < C; ++c) {
          if (variant == MissingVariant::Alone) {
            left[c] = fold[c] - miss[c];
          } else {
            left[c] = spec.threshold ? running[f * C + c] : cells[(f * W + b) * C + c];
            if (variant == MissingVariant::Left) left[c] += miss[c];
          }
          nl += left[c];
        }
        if (!both_sides(n, nl)) return std::nullopt;
        for (std::size_t c = 0; c < C; ++c) right[c] = fold[c] - left[c];
        return class_decrease(criterion, parent_impurity[f], n, std::span<const N>(left), nl,
                              std::span<const N>(right));
      },
      sink);
}

/// A candidate's score on one fold under the objective: the fold's training
/// totals are every other fold's samples; from the held-out left side and the
/// node-wide left side of each class follow the held-out right side and the
/// training sides; the score is the metric's gain over the fold's measure
/// without a split. Its vectors are overwritten per (candidate, fold).
template <class Cell>
class ObjectiveFoldSides {
 public:
  using N = typename ClassTotals<Cell>::N;

  ObjectiveFoldSides(const ObjectiveTask& task, const ClassTotals<Cell>& totals, std::size_t K)
      : C_(task.n_classes), totals_(totals), vectors_(5 * C_), scorer_(task.objective, C_, task.labels),
        unsplit_(K, 0.0) {
    for (std::size_t f = 0; f < K; ++f) {
      const std::span<const N> fold(totals_.per_fold.data() + f * C_, C_);
      for (std::size_t c = 0; c < C_; ++c) vectors_[c] = totals_.per_class[c] - fold[c];
      unsplit_[f] = scorer_.unsplit(side(0), fold);
    }
  }

  /// `left(c)` gives class c's held-out left count and node-wide left count.
  template <class Left>
  std::optional<double> score(std::size_t f, const Left& left) {
    if (totals_.fold_sizes[f] == 0) return std::nullopt;
    const N* fold = totals_.per_fold.data() + f * C_;
    N* const w_t = vectors_.data();
    N* const w_tl = w_t + C_;
    N* const w_tr = w_t + 2 * C_;
    N* const w_vl = w_t + 3 * C_;
    N* const w_vr = w_t + 4 * C_;
    N n_vl = 0, n_vr = 0, n_tl = 0, n_tr = 0;
    for (std::size_t c = 0; c < C_; ++c) {
      w_t[c] = totals_.per_class[c] - fold[c];
      const auto [held_out, node_side] = left(c);
      w_vl[c] = held_out;
      w_vr[c] = fold[c] - w_vl[c];
      w_tl[c] = node_side - w_vl[c];
      w_tr[c] = w_t[c] - w_tl[c];
      n_vl += w_vl[c];
      n_vr += w_vr[c];
      n_tl += w_tl[c];
      n_tr += w_tr[c];
    }
    if (n_vl == 0 || n_vr == 0 || n_tl == 0 || n_tr == 0) return std::nullopt;
    return scorer_.gain(unsplit_[f], side(1), side(2), side(3), side(4));
  }

 private:
  std::span<const N> side(std::size_t k) const { return std::span<const N>(vectors_.data() + k * C_, C_); }

  std::size_t C_;
  const ClassTotals<Cell>& totals_;
  std::vector<N> vectors_;  // the fold's training totals, then TL, TR, VL, VR
  ObjectiveFoldScorer scorer_;
  std::vector<double> unsplit_;
};

/// Scores one feature's class cells (K·width·C) by true cross-validation: for
/// each fold the other folds train (each side predicts its majority class)
/// and the fold is held out; the score is the metric gain over not splitting.
template <CandidateSink Sink, class Cell>
void score_objective_cells(const ObjectiveTask& task, const Cell* cells, std::size_t B, std::size_t K,
                           const FeatureSpec& spec, Sink& sink) {
  using N = typename ClassTotals<Cell>::N;
  const std::size_t C = task.n_classes;
  const std::size_t W = spec.width();
  const ClassTotals<Cell> totals(cells, B, K, C, spec);
  ObjectiveFoldSides<Cell> sides(task, totals, K);
  // Threshold test: the held-out left side is the running fold vector, the
  // node-wide left side the running node vector; under membership, code b's
  // cells. Missing samples join the left sides after, when they go left;
  // alone, the left sides are every finite sample.
  std::vector<N> running(spec.threshold ? K * C : 0, 0);
  std::vector<N> running_node(spec.threshold ? C : 0, 0);
  for_each_candidate(
      B, K, spec, totals.learn, [&](std::size_t b) { return totals.code_total(b); },
      [&](std::size_t b) {
        for (std::size_t f = 0; f < K; ++f) {
          for (std::size_t c = 0; c < C; ++c) running[f * C + c] += cells[(f * W + b) * C + c];
        }
        for (std::size_t c = 0; c < C; ++c) running_node[c] += totals.per_code[b * C + c];
      },
      [&](std::size_t f, std::size_t b, MissingVariant variant) -> std::optional<double> {
        const N* fold = totals.per_fold.data() + f * C;
        const N* miss = totals.missing.data() + f * C;
        const N* node_left = spec.threshold ? running_node.data() : totals.per_code.data() + b * C;
        return sides.score(f, [&](std::size_t c) -> std::pair<N, N> {
          if (variant == MissingVariant::Alone) {
            return {fold[c] - miss[c], totals.per_class[c] - totals.missing_node[c]};
          }
          N held_out = spec.threshold ? running[f * C + c] : cells[(f * W + b) * C + c];
          N node_side = node_left[c];
          if (variant == MissingVariant::Left) {
            held_out += miss[c];
            node_side += totals.missing_node[c];
          }
          return {held_out, node_side};
        });
      },
      sink);
}

/// Set splits: the codes the node holds, and for each fold and order those
/// codes in rank order, ranked by the order's statistic over the fold's
/// training part. `part(f, present, weight, target)` adds up the training
/// part of fold f: each present code's weight (P) and its target sums,
/// order-major (n_orders · P); the part's totals are their sums in code
/// order.
struct SetOrders {
  std::vector<std::uint32_t> present;  // P codes, ascending
  std::size_t n_orders = 1;
  std::vector<std::uint32_t> by_rank;  // [(f · n_orders + k) · P + r]

  template <class Part>
  SetOrders(std::vector<std::uint32_t> codes, std::size_t K, std::size_t orders, const Part& part)
      : present(std::move(codes)), n_orders(orders) {
    const std::size_t P = present.size();
    by_rank.resize(K * n_orders * P);
    std::vector<double> weight(P), target(n_orders * P), statistic;
    std::vector<std::uint32_t> rank(P);
    for (std::size_t f = 0; f < K; ++f) {
      std::fill(weight.begin(), weight.end(), 0.0);
      std::fill(target.begin(), target.end(), 0.0);
      part(f, std::span<const std::uint32_t>(present), weight, target);
      double total_weight = 0.0;
      for (const double w : weight) total_weight += w;
      for (std::size_t k = 0; k < n_orders; ++k) {
        double total_target = 0.0;
        for (std::size_t i = 0; i < P; ++i) total_target += target[k * P + i];
        rank_categories(weight, std::span<const double>(target).subspan(k * P, P), total_weight, total_target,
                        std::span<std::uint32_t>(by_rank).subspan((f * n_orders + k) * P, P), rank, statistic);
      }
    }
  }
  std::size_t size() const { return present.size(); }
  /// The code of rank r in fold f's order k.
  std::uint32_t code(std::size_t f, std::size_t k, std::size_t r) const {
    return present[by_rank[(f * n_orders + k) * present.size() + r]];
  }
};

/// The orders of a task's classes (as n_category_orders).
inline std::size_t set_orders_of(std::size_t n_classes) { return n_classes <= 2 ? 1 : n_classes; }

/// Hands every set candidate to the sink in code order (order k, then j;
/// with learned sides, missing values right then left), its fold scores
/// from fold_score(f, k, j, missing_left).
template <CandidateSink Sink, class FoldScore>
void for_each_set_candidate(std::size_t K, std::size_t n_orders, std::size_t P, bool learn, FoldScore&& fold_score,
                            Sink& sink) {
  for (std::size_t k = 0; k < n_orders; ++k) {
    for (std::size_t j = 0; j < P; ++j) {
      for (int side = 0; side < (learn ? 2 : 1); ++side) {
        std::vector<double>& scores = sink.scores();
        scores.clear();
        if constexpr (FoldKeepingSink<Sink>) {
          // The held-out choices read each score's fold when some fold gave none.
          std::vector<std::uint32_t>& folds = sink.folds();
          folds.clear();
          for (std::size_t f = 0; f < K; ++f) {
            if (const std::optional<double> score = fold_score(f, k, j, side == 1)) {
              scores.push_back(*score);
              folds.push_back(static_cast<std::uint32_t>(f));
            }
          }
        } else {
          for (std::size_t f = 0; f < K; ++f) {
            if (const std::optional<double> score = fold_score(f, k, j, side == 1)) scores.push_back(*score);
          }
        }
        sink.add(static_cast<std::uint32_t>(k * P + j), side == 1);
      }
    }
  }
}

/// Set candidates from one feature's regression cells (as
/// score_regression_cells): each fold's order by the mean target of its
/// training part (the other folds' cells), each candidate scored on the
/// fold's own cells.
template <CandidateSink Sink, class N>
void score_regression_set_cells(const BasicRegressionCell<N>* cells, std::size_t B, std::size_t K,
                                const double* fold_sums, const double* fold_sq_sums, const FeatureSpec& spec,
                                std::uint64_t n_rows, Sink& sink) {
  using Sums = BasicTargetSums<N>;
  const std::size_t W = spec.width();
  std::vector<std::uint32_t> present;
  for (std::size_t b = 0; b < B; ++b) {
    N total = 0;
    for (std::size_t f = 0; f < K; ++f) total += cells[f * W + b].count;
    if (total != 0) present.push_back(static_cast<std::uint32_t>(b));
  }
  if (!enough_rows_for_sets(n_rows, present.size())) {
    return score_regression_cells(cells, B, K, fold_sums, fold_sq_sums, spec, sink);
  }
  const RegressionFoldTotals<N> totals(cells, B, K, spec);
  const std::vector<N>& fold_sizes = totals.fold_sizes;
  const std::vector<Sums>& missing = totals.missing;
  const bool learn = totals.learn;
  const SetOrders orders(std::move(present), K, 1,
                         [&](std::size_t f, std::span<const std::uint32_t> codes, std::vector<double>& weight,
                             std::vector<double>& target) {
                           for (std::size_t g = 0; g < K; ++g) {
                             if (g == f) continue;
                             for (std::size_t i = 0; i < codes.size(); ++i) {
                               weight[i] += static_cast<double>(cells[g * W + codes[i]].count);
                               target[i] += cells[g * W + codes[i]].sum;
                             }
                           }
                         });
  const std::size_t P = orders.size();
  // Each fold's left sides, the codes of ranks 0 … j of its order.
  std::vector<Sums> left(K * P);
  for (std::size_t f = 0; f < K; ++f) {
    Sums running{0, -0.0, -0.0};
    for (std::size_t j = 0; j < P; ++j) {
      const BasicRegressionCell<N>& cell = cells[f * W + orders.code(f, 0, j)];
      running = Sums{running.n + cell.count, running.sum + cell.sum, running.sq_sum + cell.sq_sum};
      left[f * P + j] = running;
    }
  }
  for_each_set_candidate(
      K, 1, P, learn,
      [&](std::size_t f, std::size_t, std::size_t j, bool missing_left) {
        const Sums whole{fold_sizes[f] + missing[f].n, fold_sums[f], fold_sq_sums[f]};
        Sums l = left[f * P + j];
        if (missing_left) l = Sums{l.n + missing[f].n, l.sum + missing[f].sum, l.sq_sum + missing[f].sq_sum};
        return variance_decrease(whole, l, Sums{whole.n - l.n, whole.sum - l.sum, whole.sq_sum - l.sq_sum});
      },
      sink);
}

/// The training part of fold f of class cells: each present code's weight
/// (all its classes) and, per order, the weight of the order's class (class
/// 1 with two classes), summed over the other folds.
template <class Cell>
void class_set_part(const Cell* cells, std::size_t W, std::size_t K, std::size_t C, std::size_t n_orders,
                    std::size_t f, std::span<const std::uint32_t> codes, std::vector<double>& weight,
                    std::vector<double>& target) {
  const std::size_t P = codes.size();
  for (std::size_t g = 0; g < K; ++g) {
    if (g == f) continue;
    for (std::size_t i = 0; i < P; ++i) {
      const Cell* cell = cells + (g * W + codes[i]) * C;
      for (std::size_t c = 0; c < C; ++c) weight[i] += static_cast<double>(cell[c]);
      if (n_orders == 1) {
        if (C > 1) target[i] += static_cast<double>(cell[1]);
        continue;
      }
      for (std::size_t k = 0; k < n_orders; ++k) target[k * P + i] += static_cast<double>(cell[k]);
    }
  }
}

/// The left sides of order k of every fold, [(f · P + j) · C + c]: the cells
/// of `of(f, b)` of the codes of ranks 0 … j in fold f's order.
template <class N, class Of>
void set_left_sides(const SetOrders& orders, std::size_t K, std::size_t C, std::size_t k, const Of& of,
                    std::vector<N>& out) {
  const std::size_t P = orders.size();
  out.assign(K * P * C, 0);
  for (std::size_t f = 0; f < K; ++f) {
    for (std::size_t r = 0; r < P; ++r) {
      const auto* cell = of(f, orders.code(f, k, r));
      N* side = out.data() + (f * P + r) * C;
      const N* before = r > 0 ? side - C : nullptr;
      for (std::size_t c = 0; c < C; ++c) side[c] = (before != nullptr ? before[c] : N{0}) + cell[c];
    }
  }
}

/// The orders of a class feature's codes that hold samples at the node, or
/// nothing when the node has too few rows for set splits on them.
template <class Cell>
std::optional<SetOrders> class_set_orders(const ClassTotals<Cell>& totals, const Cell* cells, std::size_t B,
                                          std::size_t K, std::size_t C, std::size_t W, std::uint64_t n_rows) {
  std::vector<std::uint32_t> present;
  for (std::size_t b = 0; b < B; ++b) {
    if (totals.code_total(b) != 0) present.push_back(static_cast<std::uint32_t>(b));
  }
  if (!enough_rows_for_sets(n_rows, present.size())) return std::nullopt;
  const std::size_t n_orders = set_orders_of(C);
  return SetOrders(std::move(present), K, n_orders,
                   [&](std::size_t f, std::span<const std::uint32_t> codes, std::vector<double>& weight,
                       std::vector<double>& target) {
                     class_set_part(cells, W, K, C, n_orders, f, codes, weight, target);
                   });
}

/// Set candidates from one feature's class cells (as score_class_cells).
template <CandidateSink Sink, class Cell>
void score_class_set_cells(const Criterion& criterion, const Cell* cells, std::size_t B, std::size_t K,
                           std::size_t C, const FeatureSpec& spec, std::uint64_t n_rows, Sink& sink) {
  using N = typename ClassTotals<Cell>::N;
  const std::size_t W = spec.width();
  const ClassTotals<Cell> totals(cells, B, K, C, spec);
  const std::optional<SetOrders> set_orders = class_set_orders(totals, cells, B, K, C, W, n_rows);
  if (!set_orders) return score_class_cells(criterion, cells, B, K, C, spec, sink);
  const SetOrders& orders = *set_orders;
  const std::size_t n_orders = orders.n_orders;
  const std::size_t P = orders.size();
  std::vector<double> parent_impurity(K, 0.0);
  for (std::size_t f = 0; f < K; ++f) {
    if (totals.fold_sizes[f] > 0) {
      parent_impurity[f] = criterion.class_impurity(std::span<const N>(totals.per_fold.data() + f * C, C),
                                                    static_cast<double>(totals.fold_sizes[f]));
    }
  }
  std::vector<N> left_sides, left(C), right(C);
  std::size_t filled = n_orders;
  for_each_set_candidate(
      K, n_orders, P, totals.learn,
      [&](std::size_t f, std::size_t k, std::size_t j, bool missing_left) -> std::optional<double> {
        if (filled != k) {
          filled = k;
          set_left_sides<N>(orders, K, C, k, [&](std::size_t g, std::uint32_t b) { return cells + (g * W + b) * C; },
                            left_sides);
        }
        const N n = totals.fold_sizes[f];
        const N* fold = totals.per_fold.data() + f * C;
        const N* miss = totals.missing.data() + f * C;
        N nl = 0;
        for (std::size_t c = 0; c < C; ++c) {
          left[c] = left_sides[(f * P + j) * C + c] + (missing_left ? miss[c] : N{0});
          nl += left[c];
        }
        if (!both_sides(n, nl)) return std::nullopt;
        for (std::size_t c = 0; c < C; ++c) right[c] = fold[c] - left[c];
        return class_decrease(criterion, parent_impurity[f], n, std::span<const N>(left), nl,
                              std::span<const N>(right));
      },
      sink);
}

/// Set candidates from one feature's class cells under the objective (as
/// score_objective_cells): the training sides of fold f are the other folds'
/// samples of the codes its order sends left and right.
template <CandidateSink Sink, class Cell>
void score_objective_set_cells(const ObjectiveTask& task, const Cell* cells, std::size_t B, std::size_t K,
                               const FeatureSpec& spec, std::uint64_t n_rows, Sink& sink) {
  using N = typename ClassTotals<Cell>::N;
  const std::size_t C = task.n_classes;
  const std::size_t W = spec.width();
  const ClassTotals<Cell> totals(cells, B, K, C, spec);
  const std::optional<SetOrders> set_orders = class_set_orders(totals, cells, B, K, C, W, n_rows);
  if (!set_orders) return score_objective_cells(task, cells, B, K, spec, sink);
  const SetOrders& orders = *set_orders;
  const std::size_t n_orders = orders.n_orders;
  const std::size_t P = orders.size();
  ObjectiveFoldSides<Cell> sides(task, totals, K);
  // One order's left sides of each fold: held out from fold f's cells, and
  // over the node's cells, whose difference is the training left side.
  std::vector<N> valid_left, node_left;
  std::size_t filled = n_orders;
  for_each_set_candidate(
      K, n_orders, P, totals.learn,
      [&](std::size_t f, std::size_t k, std::size_t j, bool missing_left) -> std::optional<double> {
        if (filled != k) {
          filled = k;
          set_left_sides<N>(orders, K, C, k, [&](std::size_t g, std::uint32_t b) { return cells + (g * W + b) * C; },
                            valid_left);
          set_left_sides<N>(orders, K, C, k, [&](std::size_t, std::uint32_t b) { return totals.per_code.data() + b * C; },
                            node_left);
        }
        const N* miss = totals.missing.data() + f * C;
        return sides.score(f, [&](std::size_t c) -> std::pair<N, N> {
          N held_out = valid_left[(f * P + j) * C + c];
          N node_side = node_left[(f * P + j) * C + c];
          if (missing_left) {
            held_out += miss[c];
            node_side += totals.missing_node[c];
          }
          return {held_out, node_side};
        });
      },
      sink);
}

}  // namespace quor
