#include "ordering.hpp"

#include <algorithm>
#include <cmath>

namespace quor {

void sort_total_order(std::span<double> values) {
  std::sort(values.begin(), values.end(),
            [](double a, double b) { return total_order_key(a) < total_order_key(b); });
}

double median_of_sorted(std::span<const double> sorted) {
  const std::size_t n = sorted.size();
  if (n % 2 == 1) return sorted[n / 2];
  return (sorted[n / 2 - 1] + sorted[n / 2]) * 0.5;
}

std::vector<SortedValue> sort_finite_samples(std::span<const double> values,
                                             std::span<const std::uint64_t> samples) {
  // LSD radix sort of (key, sample) pairs on 11-bit digits of the total-order
  // key; each pass is stable, so equal keys keep their sample order. Passes in
  // which every key has the same digit are skipped.
  struct Keyed {
    std::uint64_t key;
    std::uint64_t sample;
  };
  std::vector<Keyed> a, b;
  a.reserve(samples.size());
  for (const std::uint64_t s : samples) {
    if (std::isfinite(values[s])) a.push_back({total_order_key(values[s]), s});
  }
  constexpr unsigned kDigitBits = 11;
  constexpr std::size_t kRadix = std::size_t{1} << kDigitBits;
  b.resize(a.size());
  std::vector<std::size_t> counts(kRadix);
  for (unsigned shift = 0; shift < 64; shift += kDigitBits) {
    std::fill(counts.begin(), counts.end(), 0);
    for (const Keyed& k : a) ++counts[(k.key >> shift) & (kRadix - 1)];
    if (!a.empty() && counts[(a.front().key >> shift) & (kRadix - 1)] == a.size()) continue;
    std::size_t total = 0;
    for (std::size_t& c : counts) {
      const std::size_t here = c;
      c = total;
      total += here;
    }
    for (const Keyed& k : a) b[counts[(k.key >> shift) & (kRadix - 1)]++] = k;
    a.swap(b);
  }
  std::vector<SortedValue> out;
  out.reserve(a.size());
  for (const Keyed& k : a) out.push_back({from_total_order_key(k.key), k.sample});
  return out;
}

}  // namespace quor
