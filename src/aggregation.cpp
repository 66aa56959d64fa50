#include "aggregation.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "config.hpp"
#include "ordering.hpp"
#include "errors.hpp"

namespace quor {

Aggregator Aggregator::from_name(std::string_view name, double agg_frac, double agg_eps,
                                 double agg_lambda) {
  const std::optional<AggregatorKind> kind = find_named(kAggregators, name);
  if (!kind) throw ValueError("unknown aggregator " + quoted(name));
  // Only the chosen kind's parameter is kept.
  switch (*kind) {
    case AggregatorKind::TrimmedMean: return {*kind, agg_frac};
    case AggregatorKind::SignalToNoise: return {*kind, agg_eps};
    case AggregatorKind::MeanMinusLambdaStd: return {*kind, agg_lambda};
    case AggregatorKind::Mean:
    case AggregatorKind::Median: break;
  }
  return {*kind, 0.0};
}

namespace {

constexpr double kNegInf = -std::numeric_limits<double>::infinity();

// Hands `fn` a copy of `scores` sorted by the total order. Fold lists are short
// (fast mode has at most 255 folds), so the copy usually lives on the stack.
template <class Fn>
double with_sorted_copy(std::span<const double> scores, Fn&& fn) {
  constexpr std::size_t kInline = 256;
  std::array<double, kInline> inline_copy;
  std::vector<double> heap_copy;
  std::span<double> copy;
  if (scores.size() <= kInline) {
    copy = std::span<double>(inline_copy.data(), scores.size());
  } else {
    heap_copy.resize(scores.size());
    copy = heap_copy;
  }
  std::copy(scores.begin(), scores.end(), copy.begin());
  sort_total_order(copy);
  return fn(std::span<const double>(copy));
}

// floor(n·frac) as an unsigned count, saturating: negative and NaN give 0,
// values past the unsigned range give the maximum.
std::uint64_t trim_count(std::size_t n, double frac) {
  const double t = std::floor(static_cast<double>(n) * frac);
  if (!(t > 0.0)) return 0;
  if (t >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(t);
}

double trimmed_mean(std::span<const double> scores, double frac) {
  const std::size_t n = scores.size();
  const std::uint64_t t = std::min<std::uint64_t>(trim_count(n, frac), (n - 1) / 2);
  return with_sorted_copy(scores, [n, t](std::span<const double> sorted) {
    double sum = -0.0;
    for (std::size_t i = t; i < n - t; ++i) sum += sorted[i];
    return sum / static_cast<double>(n - 2 * t);
  });
}

// The summaries of a non-empty list of fold scores, each taken one way only,
// so that a scored split's summary and a score taken straight from the list agree
// to the bit.
double mean_of(std::span<const double> scores) {
  double sum = -0.0;
  for (const double x : scores) sum += x;
  return sum / static_cast<double>(scores.size());
}

double std_of(std::span<const double> scores, double mean) {
  double sq = -0.0;
  for (const double x : scores) {
    const double d = x - mean;
    sq += d * d;
  }
  return std::sqrt(sq / static_cast<double>(scores.size()));
}

double median_of(std::span<const double> scores) {
  return scores.size() == 1 ? scores[0] : with_sorted_copy(scores, [](std::span<const double> sorted) {
    return median_of_sorted(sorted);
  });
}

}  // namespace

FoldStats fold_stats(std::vector<double> scores, std::uint64_t n_folds) {
  FoldStats stats;
  stats.count = scores.size();
  stats.n_folds = n_folds;
  if (scores.empty()) {
    stats.mean = kNegInf;
    stats.median = kNegInf;
    stats.std = 0.0;
    stats.scores = std::move(scores);
    return stats;
  }
  stats.mean = mean_of(scores);
  stats.std = std_of(scores, stats.mean);
  stats.median = median_of(scores);
  stats.scores = std::move(scores);
  return stats;
}

double Aggregator::aggregate(const FoldStats& stats) const {
  if (stats.count == 0) return kNegInf;
  switch (kind_) {
    case AggregatorKind::Mean: return stats.mean;
    case AggregatorKind::Median: return stats.median;
    case AggregatorKind::TrimmedMean:
      // The count says the list is non-empty; a summary built by hand may disagree.
      if (stats.scores.empty()) return kNegInf;
      return trimmed_mean(stats.scores, parameter_);
    // No guard: std + eps = 0 gives ±∞ or NaN, which the split choice rejects.
    case AggregatorKind::SignalToNoise: return stats.mean / (stats.std + parameter_);
    case AggregatorKind::MeanMinusLambdaStd: return stats.mean - parameter_ * stats.std;
  }
  return kNegInf;
}

double Aggregator::score(std::span<const double> scores) const {
  if (scores.empty()) return kNegInf;
  switch (kind_) {
    case AggregatorKind::Mean: return mean_of(scores);
    case AggregatorKind::Median: return median_of(scores);
    case AggregatorKind::TrimmedMean: return trimmed_mean(scores, parameter_);
    case AggregatorKind::SignalToNoise: {
      const double mean = mean_of(scores);
      return mean / (std_of(scores, mean) + parameter_);
    }
    case AggregatorKind::MeanMinusLambdaStd: {
      const double mean = mean_of(scores);
      return mean - parameter_ * std_of(scores, mean);
    }
  }
  return kNegInf;
}

}  // namespace quor
