#include "histogram.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <numeric>
#include <cstdlib>
#include <optional>
#include <variant>

#include "errors.hpp"
#include "folds.hpp"
#include "gather.hpp"
#include "objective.hpp"
#include "parallel.hpp"
#include "split.hpp"

namespace quor {

void NodeTargets::prepare(const Task& task, const TreeConfig& config, std::span<const std::uint32_t> run,
                          std::span<const double> run_values, std::span<const std::uint64_t> run_labels) {
  const std::size_t n = run.size();
  n_folds = fold_order(n, config.cv_folds, config.cv_seed, config.cv_shuffle, positions_, order_folds_);
  if (!std::holds_alternative<RegressionTask>(task)) {
    // Counts take any order: keep the run's, with each position's fold.
    run_folds_.resize(n);
    for (std::size_t p = 0; p < n; ++p) run_folds_[positions_[p]] = order_folds_[p];
    samples = run;
    fold_ids = run_folds_;
    labels = run_labels;
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
  fold_sums.assign(n_folds, 0.0);
  fold_sq_sums.assign(n_folds, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    check_index(fold_ids[i], n_folds, "folds");
    const double t = y[i];
    y2[i] = t * t;
    fold_sums[fold_ids[i]] += t;
    fold_sq_sums[fold_ids[i]] += y2[i];
  }
}

FeatureSpec feature_spec(const EncodedFeatures& encoded, std::uint64_t feature, SplitStyle style) {
  const FeatureBins& bins = encoded.bins[feature];
  return FeatureSpec{feature, bins.n_codes, side_test(style, !bins.is_continuous) == SideTest::Threshold,
                     bins.has_missing};
}

CodeRows code_rows(const EncodedFeatures& encoded) {
  return CodeRows{encoded.narrow ? encoded.narrow_codes.data() : nullptr,
                  encoded.narrow ? nullptr : encoded.codes.data(), encoded.n_features};
}

namespace {

// Rows are read in the node's shuffled fold order, so each is a cache miss;
// asking for the row this many samples ahead hides most of that latency.
constexpr std::size_t kPrefetchAhead = 32;

template <class Code>
inline void prefetch_row(const Code* codes, std::size_t stride, std::span<const std::uint32_t> rows, std::size_t i) {
  if (i + kPrefetchAhead < rows.size()) {
    const Code* row = codes + static_cast<std::size_t>(rows[i + kPrefetchAhead]) * stride;
    __builtin_prefetch(row);
    __builtin_prefetch(row + stride - 1);
  }
}

// Below this many samples a node's counts are not worth splitting over threads.
constexpr std::size_t kParallelCountMin = 8192;

/// Splits a list that holds each fold's samples together (fold numbers never
/// decrease) into at most `parts` runs of whole folds with about as many
/// samples each; returns the run boundaries, first 0 and last n.
std::vector<std::size_t> fold_groups(const NodeTargets& node, std::uint64_t parts) {
  const std::size_t n = node.samples.size();
  std::vector<std::size_t> bounds = {0};
  std::size_t i = 0;
  for (std::uint64_t g = 1; g < parts && i < n; ++g) {
    // Go to the first fold boundary at or after this part's share.
    std::size_t target = std::max(i + 1, n * g / parts);
    if (target >= n) break;
    const std::uint8_t fold = node.fold_ids[target - 1];
    while (target < n && node.fold_ids[target] == fold) ++target;
    if (target >= n) break;
    bounds.push_back(target);
    i = target;
  }
  bounds.push_back(n);
  return bounds;
}

// A node is renumbered when a fold's cells per feature, on average, are at
// least this many times its samples (see compacts).
static const std::size_t kCompactRatio = std::getenv("QUOR_CR") ? std::strtoul(std::getenv("QUOR_CR"), nullptr, 10) : 2;

// A filled block holds at most this many cells, so that huge code or class
// counts are processed a few features at a time rather than all at once.
constexpr std::size_t kCellBudget = std::size_t{1} << 21;

template <class T>
void zero_prefix(std::vector<T>& v, std::size_t n) {
  if (v.size() < n) v.resize(n);
  std::fill_n(v.begin(), n, T{});
}

/// Where a search's scored candidates go: every one as a record, in one list
/// per feature; or only the best, the record choose_best_split would take
/// among all of them (a finite score, the highest, then the lower feature,
/// then the lower code), made once at the end. Each feature's candidates come
/// after start(spec); a renumbered feature's codes are mapped back here. The
/// fold scores of a candidate are passed in a buffer the sink reuses.
class CandidateSink {
 public:
  CandidateSink(std::size_t n_folds, const Aggregator& aggregator, HistogramScratch& scratch,
                std::vector<std::vector<ScoredSplit>>* every_record)
      : n_folds_(n_folds), aggregator_(aggregator), scores_(scratch.candidate_scores),
        best_scores_(scratch.best_scores), every_record_(every_record) {}

  void start(const FeatureSpec& spec) {
    feature_ = spec.feature;
    original_codes_ = spec.original_codes;
    if (every_record_ != nullptr) every_record_->emplace_back();
  }

  std::vector<double>& scores() { return scores_; }

  void add(std::uint32_t code) {
    if (original_codes_ != nullptr) code = original_codes_[code];
    if (every_record_ != nullptr) {
      every_record_->back().push_back(make_record(feature_, code, scores_, n_folds_, aggregator_));
      return;
    }
    const double value = aggregator_.score(scores_);
    if (!std::isfinite(value)) return;
    if (found_ && !(value > best_ || (value == best_ && (feature_ < best_feature_ ||
                                                          (feature_ == best_feature_ && code < best_code_))))) {
      return;
    }
    found_ = true;
    best_ = value;
    best_feature_ = feature_;
    best_code_ = code;
    best_scores_.assign(scores_.begin(), scores_.end());
  }

  std::optional<ScoredSplit> best() const {
    if (!found_) return std::nullopt;
    return make_record(best_feature_, best_code_, best_scores_, n_folds_, aggregator_);
  }

 private:
  std::size_t n_folds_;
  const Aggregator& aggregator_;
  std::vector<double>& scores_;
  std::vector<double>& best_scores_;
  std::vector<std::vector<ScoredSplit>>* every_record_;
  std::uint64_t feature_ = 0;
  const std::uint32_t* original_codes_ = nullptr;
  bool found_ = false;
  double best_ = 0.0;
  std::uint64_t best_feature_ = 0;
  std::uint32_t best_code_ = 0;
};

/// The candidate codes of one feature, in ascending order, each with its fold
/// scores handed to the sink. The side rule on codes, summed: under the
/// threshold test the left side of code b holds codes 0 … b, so
/// `accumulate(b)` first adds code b to the running left side, and every code
/// but the last that holds a sample is a candidate; under membership the left
/// side is code b alone, and every code that holds a sample is a candidate.
/// `fold_score(f, b)` scores one fold, or gives nullopt to leave it out.
template <class Total, class Accumulate, class FoldScore>
void for_each_candidate(std::size_t B, std::size_t K, const FeatureSpec& spec, Total&& code_total,
                        Accumulate&& accumulate, FoldScore&& fold_score, CandidateSink& sink) {
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
    sink.add(static_cast<std::uint32_t>(b));
  }
}

/// Scores one feature's regression cells (K·B, fold-major) given each fold's
/// totals over the feature's usable samples.
void score_regression(const RegressionCell* cells, std::size_t B, std::size_t K,
                      const double* fold_sums, const double* fold_sq_sums, const FeatureSpec& spec,
                      CandidateSink& sink) {
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
void score_classes(const Criterion& criterion, const std::uint32_t* cells, std::size_t B, std::size_t K,
                   std::size_t C, const FeatureSpec& spec, CandidateSink& sink) {
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
void score_objective(const ObjectiveTask& task, const std::uint32_t* cells, std::size_t B,
                     std::size_t K, const FeatureSpec& spec, CandidateSink& sink) {
  const std::size_t C = task.n_classes;
  const ClassTotals totals(cells, B, K, C);
  // The four sides and the fold's training totals, overwritten per (code, fold).
  std::vector<std::uint64_t> vectors(5 * C);
  const auto vec = [&](std::size_t k) { return std::span<std::uint64_t>(vectors.data() + k * C, C); };
  auto t = vec(0), tl = vec(1), tr = vec(2), vl = vec(3), vr = vec(4);
  ObjectiveFoldScorer scorer(task.objective, C);
  // Each fold's measure without a split: its training side is every other fold.
  std::vector<double> unsplit(K, 0.0);
  for (std::size_t f = 0; f < K; ++f) {
    const std::span<const std::uint64_t> fold(totals.per_fold.data() + f * C, C);
    for (std::size_t c = 0; c < C; ++c) t[c] = totals.per_class[c] - fold[c];
    unsplit[f] = scorer.unsplit(t, fold);
  }
  // Threshold test: the held-out left side is the running fold vector, the
  // node-wide left side the running node vector; membership: code b's cells.
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

/// Cells per feature of a filled block: K·B, times C when classes are counted.
std::size_t cells_of(bool regression, const FeatureSpec& spec, std::size_t K, std::size_t C) {
  return static_cast<std::size_t>(spec.n_codes) * (regression ? 1 : C) * K;
}

/// Where each feature of a block has its cells, and its slot in the per-fold
/// totals of features whose samples may have the missing code.
struct BlockLayout {
  std::vector<std::size_t> offsets;       // n_features + 1
  std::vector<std::size_t> missing_slot;  // per feature
  std::size_t n_missing = 0;

  BlockLayout(bool regression, std::span<const FeatureSpec> specs, std::size_t K, std::size_t C)
      : offsets(specs.size() + 1, 0), missing_slot(specs.size(), 0) {
    for (std::size_t k = 0; k < specs.size(); ++k) {
      offsets[k + 1] = offsets[k] + cells_of(regression, specs[k], K, C);
      if (specs[k].has_missing) missing_slot[k] = n_missing++;
    }
  }
};

/// Fills the regression cells of a block and scores each feature. Sample i
/// of the node's list has its codes in row `rows[i]` of `codes`.
template <class Code>
void score_regression_block(const Code* codes, std::size_t stride, std::span<const std::uint32_t> rows,
                            std::span<const std::size_t> columns,
                            std::span<const FeatureSpec> specs, const NodeTargets& node,
                            HistogramScratch& scratch,
                            CandidateSink& sink, std::uint64_t n_threads) {
  const std::size_t K = node.n_folds;
  const std::size_t n_features = specs.size();
  const BlockLayout layout(true, specs, K, 0);
  const std::size_t n = node.samples.size();
  zero_prefix(scratch.cells, layout.offsets.back());
  zero_prefix(scratch.fold_sums, layout.n_missing * K);
  zero_prefix(scratch.fold_sq_sums, layout.n_missing * K);
  RegressionCell* cells = scratch.cells.data();
  double* fold_sums = scratch.fold_sums.data();
  double* fold_sq_sums = scratch.fold_sq_sums.data();
  // Sums depend on order, so they run over the samples in their list order.
  // The list holds each fold's samples together and cells belong to one
  // fold, so with threads each one takes whole folds: same sums, disjoint cells.
  const auto sum_range = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      prefetch_row(codes, stride, rows, i);
      const Code* row = codes + static_cast<std::size_t>(rows[i]) * stride;
      const std::size_t fold = node.fold_ids[i];
      const double t = node.y[i];
      const double t2 = node.y2[i];
      for (std::size_t k = 0; k < n_features; ++k) {
        const std::size_t b = row[columns[k]];
        const std::size_t B = specs[k].n_codes;
        if (b >= B) continue;  // the missing code 0xFFFF is never below B
        RegressionCell& cell = cells[layout.offsets[k] + fold * B + b];
        cell.sum += t;
        cell.sq_sum += t2;
        ++cell.count;
        if (specs[k].has_missing) {
          fold_sums[layout.missing_slot[k] * K + fold] += t;
          fold_sq_sums[layout.missing_slot[k] * K + fold] += t2;
        }
      }
    }
  };
  const std::vector<std::size_t> bounds =
      n_threads >= 2 && n >= kParallelCountMin ? fold_groups(node, n_threads) : std::vector<std::size_t>{0, n};
  if (bounds.size() > 2) {
    parallel_map(bounds.size() - 1, n_threads, [&](std::uint64_t g) {
      sum_range(bounds[g], bounds[g + 1]);
      return 0;
    });
  } else {
    sum_range(0, n);
  }
  for (std::size_t k = 0; k < n_features; ++k) {
    sink.start(specs[k]);
    const bool own = specs[k].has_missing;
    const std::size_t slot = layout.missing_slot[k] * K;
    score_regression(cells + layout.offsets[k], specs[k].n_codes, K,
                     own ? fold_sums + slot : node.fold_sums.data(),
                     own ? fold_sq_sums + slot : node.fold_sq_sums.data(), specs[k], sink);
  }
}

/// Fills the class counts of a block and scores each feature by the
/// classification criterion or the objective.
template <class Code>
void score_class_block(const Task& task, const Code* codes, std::size_t stride, std::span<const std::uint32_t> rows,
                       std::span<const std::size_t> columns,
                       std::span<const FeatureSpec> specs, const NodeTargets& node,
                       HistogramScratch& scratch, CandidateSink& sink, std::uint64_t n_threads) {
  const std::size_t K = node.n_folds;
  const std::size_t C = n_classes(task);
  const std::size_t n_features = specs.size();
  const BlockLayout layout(false, specs, K, C);
  const std::size_t n = node.samples.size();
  // Counting needs no order, so with threads each one counts a contiguous
  // share of the samples into its own cells (reading only its share of the
  // rows) and the shares are added up: the same integers in any order.
  const auto count_range = [&](std::uint32_t* counts, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      prefetch_row(codes, stride, rows, i);
      const std::uint64_t c = node.labels[i];
      if (c >= C) continue;
      const Code* row = codes + static_cast<std::size_t>(rows[i]) * stride;
      const std::size_t fold = node.fold_ids[i];
      for (std::size_t k = 0; k < n_features; ++k) {
        const std::size_t b = row[columns[k]];
        const std::size_t B = specs[k].n_codes;
        if (b >= B) continue;
        ++counts[layout.offsets[k] + (fold * B + b) * C + c];
      }
    }
  };
  zero_prefix(scratch.class_counts, layout.offsets.back());
  std::uint32_t* counts = scratch.class_counts.data();
  if (n_threads >= 2 && n >= kParallelCountMin) {
    const std::size_t shares = std::min<std::size_t>(n_threads, n / (kParallelCountMin / 2));
    const std::size_t per_share = (n + shares - 1) / shares;
    auto partial = parallel_map(shares, n_threads, [&](std::uint64_t t) {
      std::vector<std::uint32_t> own(layout.offsets.back(), 0);
      count_range(own.data(), std::min(n, t * per_share), std::min(n, (t + 1) * per_share));
      return own;
    });
    for (const auto& own : partial) {
      for (std::size_t cell = 0; cell < own.size(); ++cell) counts[cell] += own[cell];
    }
  } else {
    count_range(counts, 0, n);
  }
  for (std::size_t k = 0; k < n_features; ++k) {
    sink.start(specs[k]);
    const std::uint32_t* cells = counts + layout.offsets[k];
    if (const auto* objective = std::get_if<ObjectiveTask>(&task)) {
      score_objective(*objective, cells, specs[k].n_codes, K, specs[k], sink);
    } else {
      score_classes(std::get<ClassificationTask>(task).criterion, cells, specs[k].n_codes, K, C, specs[k], sink);
    }
  }
}

template <class Code>
void score_sub_block(const Task& task, const Code* codes, std::size_t stride, std::span<const std::uint32_t> rows,
                     std::span<const std::size_t> columns, std::span<const FeatureSpec> specs,
                     const NodeTargets& node, HistogramScratch& scratch,
                     CandidateSink& sink, std::uint64_t n_threads) {
  if (std::holds_alternative<RegressionTask>(task)) {
    score_regression_block(codes, stride, rows, columns, specs, node, scratch, sink, n_threads);
  } else {
    score_class_block(task, codes, stride, rows, columns, specs, node, scratch, sink, n_threads);
  }
}

/// The largest node whose codes are renumbered: its renumbered codes, and the
/// missing code 0xFF above them, fit in a byte.
constexpr std::size_t kCompactMaxSamples = 254;

/// Whether to renumber the node's codes: when the node has fewer samples
/// than a fold has cells on average over the features, so that most cells,
/// which every fold's scan passes, are empty.
bool compacts(const HistogramScratch& scratch, std::span<const FeatureSpec> specs, std::size_t n,
              std::size_t K) {
  if (n > kCompactMaxSamples || specs.empty()) return false;
  if (scratch.compaction != HistogramScratch::Compaction::Auto) {
    return scratch.compaction == HistogramScratch::Compaction::Always;
  }
  std::size_t codes = 0;
  for (const FeatureSpec& spec : specs) codes += spec.n_codes;
  return n * specs.size() * kCompactRatio <= codes * K;
}

/// Renumbers the codes of a node of at most kCompactMaxSamples samples (see
/// score_feature_block) into the scratch: a row of one-byte codes per
/// position in the node's list, 0xFF for a missing code, and each feature's
/// FeatureSpec with its new code count and its original codes in ascending order.
template <class Code>
void compact_node(const Code* codes, std::size_t stride, std::span<const std::uint32_t> samples,
                  std::span<const std::size_t> columns, std::span<const FeatureSpec> specs,
                  HistogramScratch& scratch) {
  const std::size_t n = samples.size();
  const std::size_t n_features = specs.size();
  scratch.compact_codes.resize(n * n_features);
  scratch.compact_rows.resize(n);
  std::iota(scratch.compact_rows.begin(), scratch.compact_rows.end(), std::uint32_t{0});
  scratch.compact_columns.resize(n_features);
  std::iota(scratch.compact_columns.begin(), scratch.compact_columns.end(), std::size_t{0});
  // The node's codes feature by feature, read a sample's row at a time.
  std::vector<std::uint32_t>& raw = scratch.compact_raw;
  raw.resize(n * n_features);
  for (std::size_t i = 0; i < n; ++i) {
    const Code* row = codes + static_cast<std::size_t>(samples[i]) * stride;
    for (std::size_t k = 0; k < n_features; ++k) raw[k * n + i] = row[columns[k]];
  }
  scratch.compact_specs.assign(specs.begin(), specs.end());
  scratch.compact_original.clear();
  scratch.compact_offsets.assign(1, 0);
  std::vector<std::uint64_t>& present = scratch.compact_present;
  std::vector<std::uint8_t>& renumbered = scratch.compact_renumbered;
  for (std::size_t k = 0; k < n_features; ++k) {
    // A bit per code present in the node; walking the bits in order numbers
    // the present codes (the numbers of absent codes are never read).
    const std::uint32_t B = static_cast<std::uint32_t>(specs[k].n_codes);
    present.assign((B + 63) / 64, 0);
    if (renumbered.size() < B) renumbered.resize(B);
    const std::uint32_t* column = raw.data() + k * n;
    for (std::size_t i = 0; i < n; ++i) {
      if (column[i] < B) present[column[i] / 64] |= std::uint64_t{1} << (column[i] % 64);
    }
    std::uint32_t m = 0;
    for (std::size_t w = 0; w < present.size(); ++w) {
      for (std::uint64_t bits = present[w]; bits != 0; bits &= bits - 1) {
        const std::uint32_t code = static_cast<std::uint32_t>(w * 64 + std::countr_zero(bits));
        scratch.compact_original.push_back(code);
        renumbered[code] = static_cast<std::uint8_t>(m++);
      }
    }
    for (std::size_t i = 0; i < n; ++i) {
      scratch.compact_codes[i * n_features + k] = column[i] >= B ? std::uint8_t{0xFF} : renumbered[column[i]];
    }
    // Under the threshold test the last code is never a candidate; keeping
    // it as an empty end leaves the last present code one when it was.
    if (specs[k].threshold && m > 0 && scratch.compact_original.back() + 1 < B) {
      scratch.compact_original.push_back(B - 1);
      ++m;
    }
    scratch.compact_specs[k].n_codes = m;
    scratch.compact_offsets.push_back(scratch.compact_original.size());
  }
  for (std::size_t k = 0; k < n_features; ++k) {
    scratch.compact_specs[k].original_codes = scratch.compact_original.data() + scratch.compact_offsets[k];
  }
}

/// Scores the features block by block, each block within the cell budget.
template <class Code>
void score_blocks(const Task& task, const Code* codes, std::size_t stride, std::span<const std::uint32_t> rows,
                  std::span<const std::size_t> columns, std::span<const FeatureSpec> specs,
                  const NodeTargets& node, HistogramScratch& scratch,
                  CandidateSink& sink, std::uint64_t n_threads) {
  const std::size_t K = node.n_folds;
  const std::size_t C = n_classes(task);
  const bool regression = std::holds_alternative<RegressionTask>(task);
  const bool empty = K == 0 || (!regression && C == 0);
  std::size_t first = 0;
  while (first < specs.size()) {
    // A feature with no codes, or a node with nothing to count, has no candidate.
    if (empty || specs[first].n_codes == 0) {
      sink.start(specs[first]);
      ++first;
      continue;
    }
    std::size_t last = first;
    std::size_t cells = 0;
    do {
      cells += cells_of(regression, specs[last], K, C);
      ++last;
    } while (last < specs.size() && specs[last].n_codes != 0 &&
             cells + cells_of(regression, specs[last], K, C) <= kCellBudget);
    score_sub_block(task, codes, stride, rows, columns.subspan(first, last - first),
                    specs.subspan(first, last - first), node, scratch, sink, n_threads);
    first = last;
  }
}

template <class Code>
void score_features(const Task& task, const Code* codes, std::size_t stride, std::span<const std::size_t> columns,
                    std::span<const FeatureSpec> specs, const NodeTargets& node, HistogramScratch& scratch,
                    CandidateSink& sink, std::uint64_t n_threads) {
  const bool empty = node.n_folds == 0 || (!std::holds_alternative<RegressionTask>(task) && n_classes(task) == 0);
  if (empty || !compacts(scratch, specs, node.samples.size(), node.n_folds)) {
    score_blocks(task, codes, stride, node.samples, columns, specs, node, scratch, sink, n_threads);
    return;
  }
  compact_node(codes, stride, node.samples, columns, specs, scratch);
  score_blocks(task, scratch.compact_codes.data(), specs.size(), std::span<const std::uint32_t>(scratch.compact_rows),
               std::span<const std::size_t>(scratch.compact_columns), std::span<const FeatureSpec>(scratch.compact_specs),
               node, scratch, sink, 1);
}

void score_code_rows(const Task& task, const CodeRows& codes, std::span<const std::size_t> columns,
                    std::span<const FeatureSpec> specs, const NodeTargets& node, HistogramScratch& scratch,
                    CandidateSink& sink, std::uint64_t n_threads) {
  if (codes.narrow != nullptr) {
    score_features(task, codes.narrow, codes.stride, columns, specs, node, scratch, sink, n_threads);
  } else {
    score_features(task, codes.wide, codes.stride, columns, specs, node, scratch, sink, n_threads);
  }
}

/// Whether some fold holds two samples: a fold's score needs a sample on
/// each side of the split among its own samples (regression and
/// classification) or its held-out ones (objective), so a node whose every
/// fold has fewer has no finite score. More samples than folds always do.
bool some_fold_splits(const NodeTargets& node) {
  const std::size_t n = node.samples.size();
  if (n > node.n_folds) return true;
  std::array<std::uint8_t, 256> seen{};
  for (const std::uint8_t fold : node.fold_ids) {
    if (seen[fold]++ != 0) return true;
  }
  return false;
}

}  // namespace

void score_feature_block(const Task& task, const CodeRows& codes, std::span<const std::size_t> columns,
                         std::span<const FeatureSpec> specs, const NodeTargets& node,
                         const Aggregator& aggregator, HistogramScratch& scratch,
                         std::vector<std::vector<ScoredSplit>>& out, std::uint64_t n_threads) {
  CandidateSink sink(node.n_folds, aggregator, scratch, &out);
  score_code_rows(task, codes, columns, specs, node, scratch, sink, n_threads);
}

std::optional<ScoredSplit> best_of_block(const Task& task, const CodeRows& codes, std::span<const std::size_t> columns,
                                         std::span<const FeatureSpec> specs, const NodeTargets& node,
                                         const Aggregator& aggregator, HistogramScratch& scratch,
                                         std::uint64_t n_threads) {
  if (!some_fold_splits(node)) return std::nullopt;
  CandidateSink sink(node.n_folds, aggregator, scratch, nullptr);
  score_code_rows(task, codes, columns, specs, node, scratch, sink, n_threads);
  return sink.best();
}

}  // namespace quor
