#pragma once
/// Impurity criteria, how mixed a set of targets is, and the fold scores
/// built from them: every strict and fast search scores a fold's split with
/// the formulas below. Sums run in sample order from -0.0 in double
/// precision, so a caller that recomputes an impurity from sums or counts
/// gets the bits of the criterion on the gathered targets.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "names.hpp"

namespace quor {

enum class CriterionKind { Mse, Variance, Mae, Gini, Entropy };

/// The criteria of the regressor and of the classifier, by name.
inline constexpr std::array<Named<CriterionKind>, 3> kRegressionCriteria{
    {{"mse", CriterionKind::Mse}, {"variance", CriterionKind::Variance}, {"mae", CriterionKind::Mae}}};
inline constexpr std::array<Named<CriterionKind>, 2> kClassificationCriteria{
    {{"gini", CriterionKind::Gini}, {"entropy", CriterionKind::Entropy}}};

/// Whether fast mode grows trees with this criterion: its histograms hold
/// sums and counts, from which no median (and so no "mae") can be had.
constexpr bool fast_mode_supports(CriterionKind kind) { return kind != CriterionKind::Mae; }

class Criterion {
 public:
  /// "mse", "variance" or "mae"; else `ValueError`
  /// "unknown regression criterion {} (expected "mse", "variance" or "mae")".
  static Criterion regression(std::string_view name);
  /// "gini" or "entropy"; else `ValueError`
  /// "unknown classification criterion {} (expected "gini" or "entropy")".
  static Criterion classification(std::string_view name);
  static Criterion gini() { return Criterion(CriterionKind::Gini); }
  static Criterion mse() { return Criterion(CriterionKind::Mse); }

  CriterionKind kind() const { return kind_; }
  /// "mse", "variance", "mae", "gini" or "entropy".
  std::string_view name() const;

  /// Impurity of regression targets ("mse", "variance", "mae"); 0 when empty.
  double impurity(std::span<const double> targets) const;
  /// Impurity of class labels ("gini", "entropy"); labels >= n_classes are
  /// not counted but still count in n. 0 when empty.
  double impurity(std::span<const std::uint64_t> labels, std::uint64_t n_classes) const;
  /// "gini" or "entropy" from class counts over n samples.
  double class_impurity(std::span<const std::uint64_t> counts, double n) const;
  /// The same from class weight sums over a total weight n.
  double class_impurity(std::span<const double> weights, double n) const;

 private:
  explicit Criterion(CriterionKind kind) : kind_(kind) {}
  CriterionKind kind_;
};

/// Population variance from raw moments: s2/n − (s1/n)², negative or NaN → 0.
inline double variance_from_sums(double s1, double s2, double n) {
  const double mean = s1 / n;
  const double v = s2 / n - mean * mean;
  return v >= 0.0 ? v : 0.0;
}

/// 1 − Σ_k (count_k / n)², classes in order; counts or weight sums.
template <class N>
inline double gini_from_counts(std::span<const N> counts, double n) {
  double sum = -0.0;
  for (const N c : counts) {
    const double p = static_cast<double>(c) / n;
    sum += p * p;
  }
  return 1.0 - sum;
}

/// −Σ_k p_k·log2(p_k) over classes with a non-zero count, in class order.
/// Out of line: its logarithm is long, and inlining it into every caller
/// would keep the short Gini index from being inlined.
double entropy_from_counts(std::span<const std::uint64_t> counts, double n);
double entropy_from_counts(std::span<const double> weights, double n);

inline double Criterion::class_impurity(std::span<const std::uint64_t> counts, double n) const {
  return kind_ == CriterionKind::Entropy ? entropy_from_counts(counts, n) : gini_from_counts(counts, n);
}
inline double Criterion::class_impurity(std::span<const double> weights, double n) const {
  return kind_ == CriterionKind::Entropy ? entropy_from_counts(weights, n) : gini_from_counts(weights, n);
}

/// Mean absolute deviation about the median; `scratch` is reused for the sort.
double mae_impurity(std::span<const double> targets, std::vector<double>& scratch);

/// The weighted median of targets with positive weights: sorted by value
/// (total order), the first value at which the running weight (summed in
/// that order) reaches half the total; when it is exactly half, the
/// midpoint of that value and the next, as the unweighted median of an even
/// count is. Equal weights give the unweighted median.
double weighted_median(std::span<const double> targets, std::span<const double> weights,
                       std::vector<std::pair<double, double>>& scratch);

/// Weighted mean absolute deviation about the weighted median: Σ w·|y − m|
/// over Σ w, both in sample order.
double weighted_mae_impurity(std::span<const double> targets, std::span<const double> weights,
                             std::vector<std::pair<double, double>>& scratch);

/// Whether a split of n samples with n_left on the left leaves both sides
/// non-empty: a fold gives a candidate a score only then. Weighted, n and
/// n_left are weight sums, and a side whose weight vanishes beside the
/// other's (n_left == n after rounding) counts as empty.
template <class N>
inline bool both_sides(N n, N n_left) {
  return n_left != 0 && n_left < n;
}

/// The score of a split of n samples into n_left and n_right = n − n_left
/// (both sides non-empty): the parent's impurity minus the sides' impurities
/// weighted by their counts (their weight sums, in a weighted fit). The one
/// formula every fold score of the regression and classification searches
/// ends in.
template <class N>
inline double impurity_decrease(double parent, N n, N n_left, double left, double right) {
  const double nl = static_cast<double>(n_left);
  const double nr = static_cast<double>(n - n_left);
  return parent - (nr * right + nl * left) / static_cast<double>(n);
}

/// Count (or weight), sum and sum of squares of a set of regression targets;
/// weighted, the sums are of w·y and w·(y·y).
template <class N>
struct BasicTargetSums {
  N n = 0;
  double sum = -0.0;
  double sq_sum = -0.0;
};
using TargetSums = BasicTargetSums<std::uint64_t>;
using WeightedSums = BasicTargetSums<double>;

/// The "mse"/"variance" decrease of a split of `whole` into `left` and
/// `right`; nullopt when a side is empty.
template <class N>
inline std::optional<double> variance_decrease(const BasicTargetSums<N>& whole, const BasicTargetSums<N>& left,
                                               const BasicTargetSums<N>& right) {
  if (!both_sides(whole.n, left.n)) return std::nullopt;
  return impurity_decrease(variance_from_sums(whole.sum, whole.sq_sum, static_cast<double>(whole.n)), whole.n,
                           left.n, variance_from_sums(left.sum, left.sq_sum, static_cast<double>(left.n)),
                           variance_from_sums(right.sum, right.sq_sum, static_cast<double>(right.n)));
}

/// The "gini"/"entropy" decrease of a split of n samples whose parent
/// impurity is `parent`, given the class counts of both sides; nullopt when a
/// side is empty.
template <class N>
inline std::optional<double> class_decrease(const Criterion& criterion, double parent, N n, std::span<const N> left,
                                            N n_left, std::span<const N> right) {
  if (!both_sides(n, n_left)) return std::nullopt;
  return impurity_decrease(parent, n, n_left, criterion.class_impurity(left, static_cast<double>(n_left)),
                           criterion.class_impurity(right, static_cast<double>(n - n_left)));
}

}  // namespace quor
