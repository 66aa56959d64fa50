#pragma once
/// Orders on doubles. Quantile edges, medians and trimmed means take their
/// values in the IEEE 754 total order (negative NaNs first, -0 before +0,
/// positive NaNs last); the strict grower keeps each feature's finite values
/// sorted by it.

#include <cstdint>
#include <span>
#include <vector>

namespace quor {

/// The total order as an order-preserving 64-bit key.
inline std::uint64_t total_order_key(double v) {
  std::uint64_t bits;
  static_assert(sizeof bits == sizeof v);
  __builtin_memcpy(&bits, &v, sizeof bits);
  return (bits >> 63) ? ~bits : (bits | 0x8000000000000000ull);
}
inline double from_total_order_key(std::uint64_t key) {
  const std::uint64_t bits = (key >> 63) ? (key & 0x7FFFFFFFFFFFFFFFull) : ~key;
  double v;
  __builtin_memcpy(&v, &bits, sizeof v);
  return v;
}
/// The order in which comparisons see doubles: the total order with -0.0
/// counted as +0.0 (they compare equal).
inline std::uint64_t value_order_key(double x) { return total_order_key(x == 0.0 ? 0.0 : x); }

/// Sorts ascending by the total order.
void sort_total_order(std::span<double> values);
/// Median of a list sorted by the total order: the middle element, or the two
/// middle elements' sum times 0.5. The list must not be empty.
double median_of_sorted(std::span<const double> sorted);

/// A finite training value and its sample id.
struct SortedValue {
  double value;
  std::uint64_t sample;
};

/// The samples whose value is finite with their values, sorted ascending by
/// the total order; equal values keep the order of `samples`.
std::vector<SortedValue> sort_finite_samples(std::span<const double> values,
                                             std::span<const std::uint64_t> samples);

}  // namespace quor
