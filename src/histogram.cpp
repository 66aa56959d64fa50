#include "histogram.hpp"

#include <algorithm>

#include "encoder.hpp"

namespace quor {

void append_records(std::vector<ScoredSplit>& out, std::uint32_t code,
                    std::vector<double> fold_scores, std::uint64_t n_folds, std::uint64_t feature,
                    const Aggregator& aggregator) {
  ScoredSplit record;
  record.stats = fold_stats(std::move(fold_scores), n_folds);
  record.feature = feature;
  record.code = code;
  record.score = aggregator.aggregate(record.stats);
  out.push_back(std::move(record));
}

namespace {

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

double class_impurity(CriterionKind kind, std::span<const std::uint64_t> counts, double n) {
  return kind == CriterionKind::Entropy ? entropy_from_counts(counts, n) : gini_from_counts(counts, n);
}

}  // namespace

std::vector<ScoredSplit> score_bins_regression(std::span<const std::uint16_t> codes,
                                               std::uint64_t n_codes, std::span<const double> y,
                                               std::span<const std::uint32_t> samples,
                                               std::span<const std::uint8_t> fold_ids,
                                               std::uint64_t n_folds, std::uint64_t feature,
                                               const Aggregator& aggregator,
                                               HistogramScratch& scratch, bool threshold) {
  std::vector<ScoredSplit> out;
  if (n_folds == 0 || n_codes == 0) return out;
  const std::size_t B = n_codes;
  const std::size_t K = n_folds;
  zero_prefix(scratch.bin_counts, K * B);
  zero_prefix(scratch.bin_sums, K * B);
  zero_prefix(scratch.bin_sq_sums, K * B);
  zero_prefix(scratch.fold_sums, K);
  zero_prefix(scratch.fold_sq_sums, K);
  std::uint32_t* counts = scratch.bin_counts.data();
  double* sums = scratch.bin_sums.data();
  double* sq_sums = scratch.bin_sq_sums.data();
  double* fold_sums = scratch.fold_sums.data();
  double* fold_sq_sums = scratch.fold_sq_sums.data();

  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::uint32_t s = samples[i];
    const std::uint16_t b = codes[s];
    if (b == kMissingCode || b >= B) continue;
    const std::size_t f = fold_ids[i];
    const std::size_t cell = f * B + b;
    const double t = y[s];
    const double t2 = t * t;
    ++counts[cell];
    sums[cell] += t;
    sq_sums[cell] += t2;
    fold_sums[f] += t;
    fold_sq_sums[f] += t2;
  }
  std::vector<std::uint64_t> fold_sizes(K, 0);
  for (std::size_t f = 0; f < K; ++f) {
    for (std::size_t b = 0; b < B; ++b) fold_sizes[f] += counts[f * B + b];
  }
  const auto code_total = [&](std::size_t b) {
    std::uint64_t total = 0;
    for (std::size_t f = 0; f < K; ++f) total += counts[f * B + b];
    return total;
  };

  if (threshold) {
    std::vector<std::uint64_t> run_n(K, 0);
    std::vector<double> run_s(K, -0.0);
    std::vector<double> run_q(K, -0.0);
    for (std::size_t b = 0; b < B; ++b) {
      for (std::size_t f = 0; f < K; ++f) {
        const std::size_t cell = f * B + b;
        run_n[f] += counts[cell];
        run_s[f] += sums[cell];
        run_q[f] += sq_sums[cell];
      }
      if (b == B - 1 || code_total(b) == 0) continue;
      std::vector<double> scores;
      scores.reserve(K);
      for (std::size_t f = 0; f < K; ++f) {
        double score;
        if (variance_fold_score(fold_sizes[f], fold_sums[f], fold_sq_sums[f], run_n[f], run_s[f],
                                run_q[f], score)) {
          scores.push_back(score);
        }
      }
      append_records(out, static_cast<std::uint32_t>(b), std::move(scores), K, feature, aggregator);
    }
  } else {
    for (std::size_t b = 0; b < B; ++b) {
      if (code_total(b) == 0) continue;
      std::vector<double> scores;
      scores.reserve(K);
      for (std::size_t f = 0; f < K; ++f) {
        const std::size_t cell = f * B + b;
        double score;
        if (variance_fold_score(fold_sizes[f], fold_sums[f], fold_sq_sums[f], counts[cell],
                                sums[cell], sq_sums[cell], score)) {
          scores.push_back(score);
        }
      }
      append_records(out, static_cast<std::uint32_t>(b), std::move(scores), K, feature, aggregator);
    }
  }
  return out;
}

std::vector<ScoredSplit> score_bins_classification(
    std::span<const std::uint16_t> codes, std::uint64_t n_codes,
    std::span<const std::uint64_t> labels, std::uint64_t n_classes, CriterionKind kind,
    std::span<const std::uint32_t> samples, std::span<const std::uint8_t> fold_ids,
    std::uint64_t n_folds, std::uint64_t feature, const Aggregator& aggregator,
    HistogramScratch& scratch, bool threshold) {
  std::vector<ScoredSplit> out;
  if (n_folds == 0 || n_classes == 0 || n_codes == 0) return out;
  const std::size_t B = n_codes;
  const std::size_t K = n_folds;
  const std::size_t C = n_classes;
  zero_prefix(scratch.class_counts, K * B * C);
  zero_prefix(scratch.fold_class_totals, K * C);
  zero_prefix(scratch.bin_counts, K * B);
  std::uint32_t* class_counts = scratch.class_counts.data();
  std::uint32_t* fold_totals = scratch.fold_class_totals.data();
  std::uint32_t* bin_counts = scratch.bin_counts.data();

  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::uint32_t s = samples[i];
    const std::uint16_t b = codes[s];
    const std::uint64_t c = labels[s];
    if (b == kMissingCode || b >= B || c >= C) continue;
    const std::size_t f = fold_ids[i];
    ++class_counts[(f * B + b) * C + c];
    ++fold_totals[f * C + c];
    ++bin_counts[f * B + b];
  }
  // Per fold: parent vector P and its size; left and right vectors per code.
  std::vector<std::uint64_t> parent(K * C);
  std::vector<std::uint64_t> fold_sizes(K, 0);
  std::vector<double> parent_impurity(K, 0.0);
  for (std::size_t f = 0; f < K; ++f) {
    for (std::size_t c = 0; c < C; ++c) {
      parent[f * C + c] = fold_totals[f * C + c];
      fold_sizes[f] += fold_totals[f * C + c];
    }
    if (fold_sizes[f] > 0) {
      parent_impurity[f] = class_impurity(
          kind, std::span<const std::uint64_t>(parent.data() + f * C, C), static_cast<double>(fold_sizes[f]));
    }
  }
  std::vector<std::uint64_t> running(threshold ? K * C : 0, 0);
  std::vector<std::uint64_t> running_n(threshold ? K : 0, 0);
  std::vector<std::uint64_t> left(C), right(C);
  const auto fold_score = [&](std::size_t f, std::uint64_t nl, double& score) {
    const std::uint64_t n = fold_sizes[f];
    if (n == 0 || nl == 0 || nl == n) return false;
    for (std::size_t c = 0; c < C; ++c) right[c] = parent[f * C + c] - left[c];
    const std::uint64_t nr = n - nl;
    const double nd = static_cast<double>(n);
    const double nld = static_cast<double>(nl);
    const double nrd = static_cast<double>(nr);
    score = parent_impurity[f] -
            (nrd * class_impurity(kind, right, nrd) + nld * class_impurity(kind, left, nld)) / nd;
    return true;
  };

  for (std::size_t b = 0; b < B; ++b) {
    std::uint64_t code_total = 0;
    for (std::size_t f = 0; f < K; ++f) code_total += bin_counts[f * B + b];
    if (threshold) {
      for (std::size_t f = 0; f < K; ++f) {
        const std::uint32_t* cell = class_counts + (f * B + b) * C;
        for (std::size_t c = 0; c < C; ++c) running[f * C + c] += cell[c];
        running_n[f] += bin_counts[f * B + b];
      }
      if (b == B - 1 || code_total == 0) continue;
    } else if (code_total == 0) {
      continue;
    }
    std::vector<double> scores;
    scores.reserve(K);
    for (std::size_t f = 0; f < K; ++f) {
      std::uint64_t nl;
      if (threshold) {
        std::copy_n(running.begin() + static_cast<std::ptrdiff_t>(f * C), C, left.begin());
        nl = running_n[f];
      } else {
        const std::uint32_t* cell = class_counts + (f * B + b) * C;
        std::copy_n(cell, C, left.begin());
        nl = bin_counts[f * B + b];
      }
      double score;
      if (fold_score(f, nl, score)) scores.push_back(score);
    }
    append_records(out, static_cast<std::uint32_t>(b), std::move(scores), K, feature, aggregator);
  }
  return out;
}

}  // namespace quor
