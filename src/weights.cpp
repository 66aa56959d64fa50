#include "weights.hpp"

#include <cmath>
#include <string>

#include "config.hpp"
#include "errors.hpp"

namespace quor {

void check_weights(std::span<const double> weights, std::uint64_t n_rows) {
  if (weights.size() != n_rows) {
    throw ValueError("sample_weight has " + std::to_string(weights.size()) + " entries, expected one per row of x (" +
                     std::to_string(n_rows) + ")");
  }
  bool positive = false;
  double total = 0.0;
  for (std::size_t i = 0; i < weights.size(); ++i) {
    const double w = weights[i];
    if (!(std::isfinite(w) && w >= 0.0)) {
      throw ValueError("sample_weight must be finite and non-negative; sample_weight[" + std::to_string(i) +
                       "] is " + format_double(w));
    }
    positive = positive || w > 0.0;
    total += w;
  }
  if (!positive) throw ValueError("sample_weight is zero for every row; at least one row needs a positive weight");
  // Every score and value is a ratio of weight sums: they must stay finite.
  if (!std::isfinite(total)) {
    throw ValueError("sample_weight sums to more than a float64 holds; scale the weights down (a common factor "
                     "changes nothing)");
  }
}

bool all_unit(std::span<const double> weights) {
  for (const double w : weights) {
    if (w != 1.0) return false;
  }
  return true;
}

std::vector<std::uint64_t> weighted_rows(std::span<const double> weights) {
  std::vector<std::uint64_t> rows;
  for (std::size_t i = 0; i < weights.size(); ++i) {
    if (weights[i] > 0.0) rows.push_back(i);
  }
  return rows;
}

std::vector<double> balanced_subsample_weights(std::span<const double> weights,
                                               std::span<const std::uint64_t> labels, std::uint64_t n_classes,
                                               std::span<const std::uint32_t> rows) {
  std::vector<double> out = weights.empty() ? std::vector<double>(labels.size(), 1.0)
                                            : std::vector<double>(weights.begin(), weights.end());
  std::vector<std::uint64_t> drawn(n_classes, 0);
  for (const std::uint32_t r : rows) {
    check_index(r, labels.size(), "rows");
    check_index(labels[r], n_classes, "classes");
    ++drawn[labels[r]];
  }
  std::uint64_t present = 0;
  for (const std::uint64_t d : drawn) present += d > 0;
  const double n = static_cast<double>(rows.size());
  for (const std::uint32_t r : rows) {
    out[r] *= n / (static_cast<double>(present) * static_cast<double>(drawn[labels[r]]));
  }
  return out;
}

}  // namespace quor
