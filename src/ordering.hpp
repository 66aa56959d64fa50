#pragma once
/// Orders on doubles. Quantile edges, medians and trimmed means take their
/// values in the IEEE 754 total order (negative NaNs first, -0 before +0,
/// positive NaNs last); the strict grower keeps each feature's finite values
/// sorted by it.

#include <cstddef>
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

/// The number of elements <= x in an ascending array of n, by a binary search
/// whose steps are selects rather than branches: where the values searched
/// for come in no order, a branch would miss about half the time.
template <class T>
std::size_t count_not_above(const T* sorted, std::size_t n, T x) {
  if (n == 0) return 0;
  const T* base = sorted;
  while (n > 1) {
    const std::size_t half = n / 2;
    base = base[half] <= x ? base + half : base;
    n -= half;
  }
  return static_cast<std::size_t>(base - sorted) + (*base <= x ? 1 : 0);
}

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
