#include "criterion.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "config.hpp"
#include "errors.hpp"
#include "ordering.hpp"
#include "portable_log2.hpp"

namespace quor {

Criterion Criterion::regression(std::string_view name) {
  if (const auto kind = find_named(kRegressionCriteria, name)) return Criterion(*kind);
  throw ValueError("unknown regression criterion " + quoted(name) + " (expected " +
                   listed_names(kRegressionCriteria, true) + ")");
}

Criterion Criterion::classification(std::string_view name) {
  if (const auto kind = find_named(kClassificationCriteria, name)) return Criterion(*kind);
  throw ValueError("unknown classification criterion " + quoted(name) + " (expected " +
                   listed_names(kClassificationCriteria, true) + ")");
}

std::string_view Criterion::name() const {
  const std::string_view name = name_of(kRegressionCriteria, kind_);
  return name.empty() ? name_of(kClassificationCriteria, kind_) : name;
}

double Criterion::impurity(std::span<const double> targets) const {
  if (targets.empty()) return 0.0;
  switch (kind_) {
    case CriterionKind::Mse:
    case CriterionKind::Variance: {
      TargetSums sums;
      for (const double y : targets) {
        sums.sum += y;
        sums.sq_sum += y * y;
      }
      return variance_from_sums(sums.sum, sums.sq_sum, static_cast<double>(targets.size()));
    }
    case CriterionKind::Mae: {
      std::vector<double> scratch;
      return mae_impurity(targets, scratch);
    }
    case CriterionKind::Gini:
    case CriterionKind::Entropy:
      break;
  }
  throw InternalError("criterion \"" + std::string(name()) + "\" cannot score regression targets");
}

double Criterion::impurity(std::span<const std::uint64_t> labels, std::uint64_t n_classes) const {
  if (kind_ != CriterionKind::Gini && kind_ != CriterionKind::Entropy) {
    throw InternalError("criterion \"" + std::string(name()) + "\" cannot score class labels");
  }
  if (labels.empty()) return 0.0;
  // Up to kInlineClasses classes are counted on the stack, so the purity test
  // of a node allocates nothing in the common case.
  constexpr std::size_t kInlineClasses = 32;
  std::array<std::uint64_t, kInlineClasses> inline_counts{};
  std::vector<std::uint64_t> heap_counts;
  std::span<std::uint64_t> counts;
  if (n_classes <= kInlineClasses) {
    counts = std::span<std::uint64_t>(inline_counts.data(), n_classes);
  } else {
    heap_counts.resize(n_classes);  // throws for an unallocatable class count
    counts = heap_counts;
  }
  for (const std::uint64_t label : labels) {
    if (label < n_classes) ++counts[label];
  }
  return class_impurity(std::span<const std::uint64_t>(counts), static_cast<double>(labels.size()));
}

double entropy_from_counts(std::span<const std::uint64_t> counts, double n) {
  double sum = -0.0;
  for (const std::uint64_t c : counts) {
    if (c == 0) continue;
    const double p = static_cast<double>(c) / n;
    sum += p * portable_log2(p);
  }
  return -sum;
}

double entropy_from_counts(std::span<const double> weights, double n) {
  double sum = -0.0;
  for (const double w : weights) {
    if (w == 0.0) continue;
    const double p = w / n;
    sum += p * portable_log2(p);
  }
  return -sum;
}

double weighted_median(std::span<const double> targets, std::span<const double> weights,
                       std::vector<std::pair<double, double>>& scratch) {
  scratch.resize(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) scratch[i] = {targets[i], weights[i]};
  // Stable: equal values keep sample order, so the running sums are defined.
  std::stable_sort(scratch.begin(), scratch.end(),
                   [](const auto& a, const auto& b) { return total_order_key(a.first) < total_order_key(b.first); });
  double total = -0.0;
  for (const auto& entry : scratch) total += entry.second;
  const double half = total * 0.5;
  double running = -0.0;
  for (std::size_t i = 0; i < scratch.size(); ++i) {
    running += scratch[i].second;
    if (running < half) continue;
    if (running == half && i + 1 < scratch.size()) return (scratch[i].first + scratch[i + 1].first) * 0.5;
    return scratch[i].first;
  }
  return scratch.back().first;  // not reached: the running sum ends at the total
}

double weighted_mae_impurity(std::span<const double> targets, std::span<const double> weights,
                             std::vector<std::pair<double, double>>& scratch) {
  if (targets.empty()) return 0.0;
  const double median = weighted_median(targets, weights, scratch);
  double sum = -0.0;
  double total = -0.0;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    sum += weights[i] * std::fabs(targets[i] - median);
    total += weights[i];
  }
  return sum / total;
}

double mae_impurity(std::span<const double> targets, std::vector<double>& scratch) {
  const std::size_t n = targets.size();
  if (n == 0) return 0.0;
  double median;
  if (n == 1) {
    median = targets[0];
  } else {
    scratch.assign(targets.begin(), targets.end());
    sort_total_order(scratch);
    median = median_of_sorted(scratch);
  }
  // The deviations are summed in sample order, not in sorted order.
  double sum = -0.0;
  for (const double y : targets) sum += std::fabs(y - median);
  return sum / static_cast<double>(n);
}

}  // namespace quor
