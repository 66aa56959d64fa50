#include "criterion.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "config.hpp"
#include "errors.hpp"
#include "ordering.hpp"

namespace quor {

Criterion Criterion::regression(std::string_view name) {
  if (name == "mse") return {CriterionKind::Mse, 0};
  if (name == "variance") return {CriterionKind::Variance, 0};
  if (name == "mae") return {CriterionKind::Mae, 0};
  throw ValueError("unknown regression criterion " + quoted(name) +
                   " (expected \"mse\", \"variance\" or \"mae\")");
}

Criterion Criterion::classification(std::string_view name, std::uint64_t n_classes) {
  if (name == "gini") return {CriterionKind::Gini, n_classes};
  if (name == "entropy") return {CriterionKind::Entropy, n_classes};
  throw ValueError("unknown classification criterion " + quoted(name) +
                   " (expected \"gini\" or \"entropy\")");
}

std::string_view Criterion::name() const {
  switch (kind_) {
    case CriterionKind::Mse: return "mse";
    case CriterionKind::Variance: return "variance";
    case CriterionKind::Mae: return "mae";
    case CriterionKind::Gini: return "gini";
    case CriterionKind::Entropy: return "entropy";
  }
  return "";
}

namespace {

// Class counters of a label list. Lists of up to kInlineClasses classes count
// into a buffer on the stack, so the impurity of a classification fold side
// allocates nothing in the common case.
constexpr std::size_t kInlineClasses = 32;

template <class Fn>
double with_class_counts(std::span<const std::uint64_t> labels, std::uint64_t n_classes, Fn&& fn) {
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
  return fn(std::span<const std::uint64_t>(counts));
}

}  // namespace

double Criterion::impurity(std::span<const double> targets) const {
  if (targets.empty()) return 0.0;
  switch (kind_) {
    case CriterionKind::Mse:
    case CriterionKind::Variance: {
      double s1 = -0.0;
      double s2 = -0.0;
      for (const double y : targets) {
        s1 += y;
        s2 += y * y;
      }
      return variance_from_sums(s1, s2, static_cast<double>(targets.size()));
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

double Criterion::impurity(std::span<const std::uint64_t> labels) const {
  if (labels.empty()) return 0.0;
  const double n = static_cast<double>(labels.size());
  switch (kind_) {
    case CriterionKind::Gini:
      return with_class_counts(labels, n_classes_, [n](std::span<const std::uint64_t> counts) {
        return gini_from_counts(counts, n);
      });
    case CriterionKind::Entropy:
      return with_class_counts(labels, n_classes_, [n](std::span<const std::uint64_t> counts) {
        return entropy_from_counts(counts, n);
      });
    case CriterionKind::Mse:
    case CriterionKind::Variance:
    case CriterionKind::Mae:
      break;
  }
  throw InternalError("criterion \"" + std::string(name()) + "\" cannot score class labels");
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
