#pragma once
/// Impurity criteria: how mixed a set of targets is. Sums run in sample order
/// from -0.0 in double precision, so every caller that recomputes an impurity
/// from sums or counts (the fold scorers, the histograms) uses the helpers
/// below and gets bit-identical values.

#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quor {

enum class CriterionKind { Mse, Variance, Mae, Gini, Entropy };

class Criterion {
 public:
  /// "mse", "variance" or "mae"; else `ValueError`
  /// "unknown regression criterion {} (expected "mse", "variance" or "mae")".
  static Criterion regression(std::string_view name);
  /// "gini" or "entropy"; else `ValueError`
  /// "unknown classification criterion {} (expected "gini" or "entropy")".
  static Criterion classification(std::string_view name, std::uint64_t n_classes);
  static Criterion gini(std::uint64_t n_classes) { return {CriterionKind::Gini, n_classes}; }
  static Criterion mse() { return {CriterionKind::Mse, 0}; }

  CriterionKind kind() const { return kind_; }
  std::uint64_t n_classes() const { return n_classes_; }
  bool is_regression() const { return kind_ <= CriterionKind::Mae; }
  /// "mse", "variance", "mae", "gini" or "entropy".
  std::string_view name() const;

  /// Impurity of regression targets ("mse", "variance", "mae"); 0 when empty.
  double impurity(std::span<const double> targets) const;
  /// Impurity of class labels ("gini", "entropy"); labels >= n_classes are not
  /// counted but still count in n. 0 when empty.
  double impurity(std::span<const std::uint64_t> labels) const;

 private:
  Criterion(CriterionKind kind, std::uint64_t n_classes) : kind_(kind), n_classes_(n_classes) {}
  CriterionKind kind_;
  std::uint64_t n_classes_;
};

/// Population variance from raw moments: s2/n − (s1/n)², negative or NaN → 0.
inline double variance_from_sums(double s1, double s2, double n) {
  const double mean = s1 / n;
  const double v = s2 / n - mean * mean;
  return v >= 0.0 ? v : 0.0;
}

/// 1 − Σ_k (count_k / n)², classes in order.
template <class Count>
double gini_from_counts(std::span<const Count> counts, double n) {
  double sum = -0.0;
  for (const Count c : counts) {
    const double p = static_cast<double>(c) / n;
    sum += p * p;
  }
  return 1.0 - sum;
}

/// −Σ_k p_k·log2(p_k) over classes with a non-zero count, in class order.
template <class Count>
double entropy_from_counts(std::span<const Count> counts, double n) {
  double sum = -0.0;
  for (const Count c : counts) {
    if (c == 0) continue;
    const double p = static_cast<double>(c) / n;
    sum += p * std::log2(p);
  }
  return -sum;
}

/// Mean absolute deviation about the median; `scratch` is reused for the sort.
double mae_impurity(std::span<const double> targets, std::vector<double>& scratch);

}  // namespace quor
