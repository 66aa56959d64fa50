#include "histogram.hpp"

#include <algorithm>

#include "encoder.hpp"
#include "errors.hpp"
#include "gather.hpp"
#include "objective.hpp"
#include "parallel.hpp"

namespace quor {

void append_record(std::vector<ScoredSplit>& out, std::uint32_t code,
                   std::vector<double> fold_scores, std::uint64_t n_folds, std::uint64_t feature,
                   const Aggregator& aggregator) {
  ScoredSplit record;
  record.stats = fold_stats(std::move(fold_scores), n_folds);
  record.feature = feature;
  record.code = code;
  record.score = aggregator.aggregate(record.stats);
  out.push_back(std::move(record));
}

template <class Id>
void NodeTargets::gather_values(std::span<const double> values, std::span<const Id> index) {
  const std::size_t n = index.size();
  gather_at(values, index, y);
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
template void NodeTargets::gather_values(std::span<const double>, std::span<const std::uint32_t>);

void NodeTargets::gather_labels(std::span<const std::uint64_t> labels_all, std::uint64_t classes) {
  n_classes = classes;
  gather_at(labels_all, samples, own_labels);
  labels = own_labels;
  for (const std::uint8_t f : fold_ids) check_index(f, n_folds, "folds");
}

namespace {

// Rows are read in the node's shuffled fold order, so each is a cache miss;
// asking for the row this many samples ahead hides most of that latency.
constexpr std::size_t kPrefetchAhead = 32;

template <class Code>
inline void prefetch_row(const Code* codes, std::size_t stride, const NodeTargets& node, std::size_t i) {
  if (i + kPrefetchAhead < node.samples.size()) {
    const Code* row = codes + static_cast<std::size_t>(node.samples[i + kPrefetchAhead]) * stride;
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

// A filled block holds at most this many cells, so that huge code or class
// counts are processed a few features at a time rather than all at once.
constexpr std::size_t kCellBudget = std::size_t{1} << 21;

template <class T>
void zero_prefix(std::vector<T>& v, std::size_t n) {
  if (v.size() < n) v.resize(n);
  std::fill_n(v.begin(), n, T{});
}

/// Variance reduction of one fold: the whole fold (n, s, q) and one side
/// (nl, sl, ql); the other side is the difference. False when the fold is
/// empty or the split leaves a side empty.
bool variance_fold_score(std::uint64_t n, double s, double q, std::uint64_t nl, double sl,
                         double ql, double& score) {
  if (n == 0 || nl == 0 || nl == n) return false;
  const std::uint64_t nr = n - nl;
  const double nd = static_cast<double>(n);
  const double nld = static_cast<double>(nl);
  const double nrd = static_cast<double>(nr);
  const double whole = variance_from_sums(s, q, nd);
  const double right = variance_from_sums(s - sl, q - ql, nrd);
  const double left = variance_from_sums(sl, ql, nld);
  score = whole - (right * nrd + left * nld) / nd;
  return true;
}

/// The candidate codes of one feature, in ascending order, each with its fold
/// scores turned into a record. Under the threshold test `accumulate(b)` first
/// adds code b to the running left side, and every code but the last that holds
/// a sample is a candidate; under membership every code that holds a sample.
/// `fold_score(f, b, score)` scores one fold, or returns false to leave it out.
template <class Total, class Accumulate, class FoldScore>
void for_each_candidate(std::size_t B, std::size_t K, const FeatureSpec& spec, const Aggregator& aggregator,
                        Total&& code_total, Accumulate&& accumulate, FoldScore&& fold_score,
                        std::vector<ScoredSplit>& out) {
  for (std::size_t b = 0; b < B; ++b) {
    const std::uint64_t total = code_total(b);
    if (spec.threshold) {
      accumulate(b);
      if (b == B - 1 || total == 0) continue;
    } else if (total == 0) {
      continue;
    }
    std::vector<double> scores;
    scores.reserve(K);
    for (std::size_t f = 0; f < K; ++f) {
      double score;
      if (fold_score(f, b, score)) scores.push_back(score);
    }
    append_record(out, static_cast<std::uint32_t>(b), std::move(scores), K, spec.feature, aggregator);
  }
}

/// Scores one feature's regression cells (K·B, fold-major) given each fold's
/// totals over the feature's usable samples.
void score_regression(const RegressionCell* cells, std::size_t B, std::size_t K,
                      const double* fold_sums, const double* fold_sq_sums, const FeatureSpec& spec,
                      const Aggregator& aggregator, std::vector<ScoredSplit>& out) {
  std::vector<std::uint64_t> fold_sizes(K, 0);
  for (std::size_t f = 0; f < K; ++f) {
    for (std::size_t b = 0; b < B; ++b) fold_sizes[f] += cells[f * B + b].count;
  }
  std::vector<RegressionCell> running(spec.threshold ? K : 0, RegressionCell{-0.0, -0.0, 0});
  for_each_candidate(
      B, K, spec, aggregator,
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
      [&](std::size_t f, std::size_t b, double& score) {
        const RegressionCell& left = spec.threshold ? running[f] : cells[f * B + b];
        return variance_fold_score(fold_sizes[f], fold_sums[f], fold_sq_sums[f], left.count, left.sum,
                                   left.sq_sum, score);
      },
      out);
}

double class_impurity(HistogramTask task, std::span<const std::uint64_t> counts, double n) {
  return task == HistogramTask::Entropy ? entropy_from_counts(counts, n) : gini_from_counts(counts, n);
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
void score_classes(HistogramTask task, const std::uint32_t* cells, std::size_t B, std::size_t K,
                   std::size_t C, const FeatureSpec& spec, const Aggregator& aggregator,
                   std::vector<ScoredSplit>& out) {
  const ClassTotals totals(cells, B, K, C);
  std::vector<double> parent_impurity(K, 0.0);
  for (std::size_t f = 0; f < K; ++f) {
    if (totals.fold_sizes[f] > 0) {
      parent_impurity[f] =
          class_impurity(task, std::span<const std::uint64_t>(totals.per_fold.data() + f * C, C),
                         static_cast<double>(totals.fold_sizes[f]));
    }
  }
  std::vector<std::uint64_t> running(spec.threshold ? K * C : 0, 0);
  std::vector<std::uint64_t> left(C), right(C);
  for_each_candidate(
      B, K, spec, aggregator, [&](std::size_t b) { return totals.code_total(b); },
      [&](std::size_t b) {
        for (std::size_t f = 0; f < K; ++f) {
          const std::uint32_t* cell = cells + (f * B + b) * C;
          for (std::size_t c = 0; c < C; ++c) running[f * C + c] += cell[c];
        }
      },
      [&](std::size_t f, std::size_t b, double& score) {
        const std::uint64_t n = totals.fold_sizes[f];
        std::uint64_t nl = 0;
        for (std::size_t c = 0; c < C; ++c) {
          left[c] = spec.threshold ? running[f * C + c] : cells[(f * B + b) * C + c];
          nl += left[c];
        }
        if (n == 0 || nl == 0 || nl == n) return false;
        for (std::size_t c = 0; c < C; ++c) right[c] = totals.per_fold[f * C + c] - left[c];
        const double nd = static_cast<double>(n);
        const double nld = static_cast<double>(nl);
        const double nrd = static_cast<double>(n - nl);
        score = parent_impurity[f] -
                (nrd * class_impurity(task, right, nrd) + nld * class_impurity(task, left, nld)) / nd;
        return true;
      },
      out);
}

/// Scores one feature's class cells (K·B·C) by true cross-validation: for
/// each fold the other folds train (each side predicts its majority class)
/// and the fold is held out; the score is the metric gain over not splitting.
void score_objective(const ObjectiveTask& task, const std::uint32_t* cells, std::size_t B,
                     std::size_t K, const FeatureSpec& spec, const Aggregator& aggregator,
                     std::vector<ScoredSplit>& out) {
  const std::size_t C = task.n_classes;
  const ClassTotals totals(cells, B, K, C);
  // The four sides and the fold's training totals, overwritten per (code, fold).
  std::vector<std::uint64_t> vectors(5 * C);
  const auto vec = [&](std::size_t k) { return std::span<std::uint64_t>(vectors.data() + k * C, C); };
  auto t = vec(0), tl = vec(1), tr = vec(2), vl = vec(3), vr = vec(4);
  ObjectiveScratch gain_scratch(C);
  // Threshold test: the held-out left side is the running fold vector, the
  // node-wide left side the running node vector; membership: code b's cells.
  std::vector<std::uint64_t> running(spec.threshold ? K * C : 0, 0);
  std::vector<std::uint64_t> running_node(spec.threshold ? C : 0, 0);
  for_each_candidate(
      B, K, spec, aggregator, [&](std::size_t b) { return totals.code_total(b); },
      [&](std::size_t b) {
        for (std::size_t f = 0; f < K; ++f) {
          for (std::size_t c = 0; c < C; ++c) running[f * C + c] += cells[(f * B + b) * C + c];
        }
        for (std::size_t c = 0; c < C; ++c) running_node[c] += totals.per_code[b * C + c];
      },
      [&](std::size_t f, std::size_t b, double& score) {
        if (totals.fold_sizes[f] == 0) return false;
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
        if (n_vl == 0 || n_vr == 0 || n_tl == 0 || n_tr == 0) return false;
        score = objective_fold_gain(task.objective, C, tl, tr, vl, vr, gain_scratch);
        return true;
      },
      out);
}

/// Cells per feature of a filled block.
std::size_t cells_of(HistogramTask task, const FeatureSpec& spec, std::size_t K, std::size_t C) {
  const std::size_t per_fold = static_cast<std::size_t>(spec.n_codes) * (task == HistogramTask::Regression ? 1 : C);
  return per_fold * K;
}

/// Fills and scores features [first, last) of the block in one pass.
template <class Code>
void score_sub_block(HistogramTask task, const ObjectiveTask* objective, const Code* codes,
                     std::size_t stride, std::span<const std::size_t> columns,
                     std::span<const FeatureSpec> specs, const NodeTargets& node,
                     const Aggregator& aggregator, HistogramScratch& scratch,
                     std::vector<std::vector<ScoredSplit>>& out, std::uint64_t n_threads) {
  const std::size_t K = node.n_folds;
  const std::size_t C = node.n_classes;
  const std::size_t n_features = specs.size();
  std::vector<std::size_t> offsets(n_features + 1, 0);
  std::vector<std::size_t> missing_slot(n_features, 0);
  std::size_t n_missing = 0;
  for (std::size_t k = 0; k < n_features; ++k) {
    offsets[k + 1] = offsets[k] + cells_of(task, specs[k], K, C);
    if (specs[k].has_missing) missing_slot[k] = n_missing++;
  }
  const std::size_t n = node.samples.size();
  if (task == HistogramTask::Regression) {
    zero_prefix(scratch.cells, offsets.back());
    zero_prefix(scratch.fold_sums, n_missing * K);
    zero_prefix(scratch.fold_sq_sums, n_missing * K);
    RegressionCell* cells = scratch.cells.data();
    double* fold_sums = scratch.fold_sums.data();
    double* fold_sq_sums = scratch.fold_sq_sums.data();
    // Sums depend on order, so they run over the samples in their list order.
    // The list holds each fold's samples together and cells belong to one
    // fold, so with threads each one takes whole folds: same sums, disjoint cells.
    const auto sum_range = [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        prefetch_row(codes, stride, node, i);
        const Code* row = codes + static_cast<std::size_t>(node.samples[i]) * stride;
        const std::size_t fold = node.fold_ids[i];
        const double t = node.y[i];
        const double t2 = node.y2[i];
        for (std::size_t k = 0; k < n_features; ++k) {
          const std::size_t b = row[columns[k]];
          const std::size_t B = specs[k].n_codes;
          if (b >= B) continue;  // the missing code 0xFFFF is never below B
          RegressionCell& cell = cells[offsets[k] + fold * B + b];
          cell.sum += t;
          cell.sq_sum += t2;
          ++cell.count;
          if (specs[k].has_missing) {
            fold_sums[missing_slot[k] * K + fold] += t;
            fold_sq_sums[missing_slot[k] * K + fold] += t2;
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
      std::vector<ScoredSplit> records;
      const bool own = specs[k].has_missing;
      score_regression(cells + offsets[k], specs[k].n_codes, K,
                       own ? fold_sums + missing_slot[k] * K : node.fold_sums.data(),
                       own ? fold_sq_sums + missing_slot[k] * K : node.fold_sq_sums.data(), specs[k],
                       aggregator, records);
      out.push_back(std::move(records));
    }
    return;
  }
  // Counting needs no order, so with threads each one counts a contiguous
  // share of the samples into its own cells (reading only its share of the
  // rows) and the shares are added up: the same integers in any order.
  const auto count_range = [&](std::uint32_t* counts, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      prefetch_row(codes, stride, node, i);
      const std::uint64_t c = node.labels[i];
      if (c >= C) continue;
      const Code* row = codes + static_cast<std::size_t>(node.samples[i]) * stride;
      const std::size_t fold = node.fold_ids[i];
      for (std::size_t k = 0; k < n_features; ++k) {
        const std::size_t b = row[columns[k]];
        const std::size_t B = specs[k].n_codes;
        if (b >= B) continue;
        ++counts[offsets[k] + (fold * B + b) * C + c];
      }
    }
  };
  zero_prefix(scratch.class_counts, offsets.back());
  std::uint32_t* counts = scratch.class_counts.data();
  if (n_threads >= 2 && n >= kParallelCountMin) {
    const std::size_t shares = std::min<std::size_t>(n_threads, n / (kParallelCountMin / 2));
    const std::size_t per_share = (n + shares - 1) / shares;
    auto partial = parallel_map(shares, n_threads, [&](std::uint64_t t) {
      std::vector<std::uint32_t> own(offsets.back(), 0);
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
    std::vector<ScoredSplit> records;
    if (task == HistogramTask::Objective) {
      score_objective(*objective, counts + offsets[k], specs[k].n_codes, K, specs[k], aggregator, records);
    } else {
      score_classes(task, counts + offsets[k], specs[k].n_codes, K, C, specs[k], aggregator, records);
    }
    out.push_back(std::move(records));
  }
}

}  // namespace

void score_feature_block(HistogramTask task, const ObjectiveTask* objective, const CodeRows& codes,
                         std::span<const std::size_t> columns, std::span<const FeatureSpec> specs,
                         const NodeTargets& node, const Aggregator& aggregator,
                         HistogramScratch& scratch, std::vector<std::vector<ScoredSplit>>& out,
                         std::uint64_t n_threads) {
  const std::size_t K = node.n_folds;
  const std::size_t C = node.n_classes;
  const bool empty = K == 0 || (task != HistogramTask::Regression && C == 0);
  std::size_t first = 0;
  while (first < specs.size()) {
    // A feature with no codes, or a node with nothing to count, has no candidate.
    if (empty || specs[first].n_codes == 0) {
      out.emplace_back();
      ++first;
      continue;
    }
    std::size_t last = first;
    std::size_t cells = 0;
    do {
      cells += cells_of(task, specs[last], K, C);
      ++last;
    } while (last < specs.size() && specs[last].n_codes != 0 &&
             cells + cells_of(task, specs[last], K, C) <= kCellBudget);
    const auto block_columns = columns.subspan(first, last - first);
    const auto block_specs = specs.subspan(first, last - first);
    if (codes.narrow != nullptr) {
      score_sub_block(task, objective, codes.narrow, codes.stride, block_columns, block_specs, node,
                      aggregator, scratch, out, n_threads);
    } else {
      score_sub_block(task, objective, codes.wide, codes.stride, block_columns, block_specs, node,
                      aggregator, scratch, out, n_threads);
    }
    first = last;
  }
}

namespace {

std::vector<ScoredSplit> single_feature(HistogramTask task, const ObjectiveTask* objective,
                                        std::span<const std::uint16_t> codes, std::uint64_t n_codes,
                                        NodeTargets& node, std::uint64_t feature,
                                        const Aggregator& aggregator, HistogramScratch& scratch,
                                        bool threshold) {
  const std::size_t column = 0;
  FeatureSpec spec{feature, n_codes, threshold, true};
  // A single column read with stride 1: codes are indexed by sample id.
  if (!node.samples.empty()) {
    const std::uint32_t max_id = *std::max_element(node.samples.begin(), node.samples.end());
    check_index(max_id, codes.size(), "codes");
  }
  std::vector<std::vector<ScoredSplit>> out;
  score_feature_block(task, objective, CodeRows{nullptr, codes.data(), 1}, {&column, 1}, {&spec, 1}, node,
                      aggregator, scratch, out);
  return std::move(out.front());
}

}  // namespace

std::vector<ScoredSplit> score_bins_regression(std::span<const std::uint16_t> codes,
                                               std::uint64_t n_codes, std::span<const double> y,
                                               std::span<const std::uint32_t> samples,
                                               std::span<const std::uint8_t> fold_ids,
                                               std::uint64_t n_folds, std::uint64_t feature,
                                               const Aggregator& aggregator,
                                               HistogramScratch& scratch, bool threshold) {
  if (n_folds == 0 || n_codes == 0) return {};
  NodeTargets node;
  node.samples = samples;
  node.fold_ids = fold_ids;
  node.n_folds = n_folds;
  node.gather_values(y, samples);
  return single_feature(HistogramTask::Regression, nullptr, codes, n_codes, node, feature, aggregator,
                        scratch, threshold);
}

std::vector<ScoredSplit> score_bins_classification(
    std::span<const std::uint16_t> codes, std::uint64_t n_codes,
    std::span<const std::uint64_t> labels, std::uint64_t n_classes, CriterionKind kind,
    std::span<const std::uint32_t> samples, std::span<const std::uint8_t> fold_ids,
    std::uint64_t n_folds, std::uint64_t feature, const Aggregator& aggregator,
    HistogramScratch& scratch, bool threshold) {
  if (n_folds == 0 || n_codes == 0 || n_classes == 0) return {};
  NodeTargets node;
  node.samples = samples;
  node.fold_ids = fold_ids;
  node.n_folds = n_folds;
  node.gather_labels(labels, n_classes);
  const HistogramTask task = kind == CriterionKind::Entropy ? HistogramTask::Entropy : HistogramTask::Gini;
  return single_feature(task, nullptr, codes, n_codes, node, feature, aggregator, scratch, threshold);
}

std::vector<ScoredSplit> score_bins_objective(const ObjectiveTask& task,
                                              std::span<const std::uint16_t> codes,
                                              std::uint64_t n_codes,
                                              std::span<const std::uint64_t> labels,
                                              std::span<const std::uint32_t> samples,
                                              std::span<const std::uint8_t> fold_ids,
                                              std::uint64_t n_folds, std::uint64_t feature,
                                              const Aggregator& aggregator, bool threshold) {
  if (n_folds == 0 || n_codes == 0 || task.n_classes == 0) return {};
  NodeTargets node;
  node.samples = samples;
  node.fold_ids = fold_ids;
  node.n_folds = n_folds;
  node.gather_labels(labels, task.n_classes);
  HistogramScratch scratch;
  return single_feature(HistogramTask::Objective, &task, codes, n_codes, node, feature, aggregator,
                        scratch, threshold);
}

}  // namespace quor
