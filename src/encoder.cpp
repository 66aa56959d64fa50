#include "encoder.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "criterion.hpp"
#include "errors.hpp"

namespace quor {

std::uint64_t quantile_position(std::uint64_t j, std::uint64_t m, std::uint64_t n_bins) {
  const unsigned __int128 q = (static_cast<unsigned __int128>(j) + 1) * m / n_bins;
  return q < m ? static_cast<std::uint64_t>(q) : m - 1;
}

namespace {

// First j in [lo, hi) with pred(j) true, for a predicate that is false then true.
template <class Pred>
std::uint64_t first_true(std::uint64_t lo, std::uint64_t hi, Pred pred) {
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (pred(mid)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

// Below this many keys per requested edge a plain sort of the range is
// faster than selecting the edges one by one (measured on random doubles).
constexpr std::uint64_t kKeysPerEdgeForSelection = 32;

// Puts at the position of every edge j in [j_lo, j_hi) the key a full sort
// would put there. On entry keys[lo, hi) holds exactly the keys of sorted
// ranks lo .. hi − 1 (in some order) and those positions lie in [lo, hi).
// Each step settles the middle requested edge with nth_element and splits the
// rest around it; the recursion halves the edge range, so its depth is at
// most 64. Keys are distinct bit patterns or equal ones, so the selected
// values are exactly those of a full sort.
void select_positions(std::uint64_t* keys, std::uint64_t lo, std::uint64_t hi, std::uint64_t j_lo,
                      std::uint64_t j_hi, std::uint64_t m, std::uint64_t n_bins) {
  while (j_lo < j_hi && hi - lo > 1) {
    if ((hi - lo) / kKeysPerEdgeForSelection <= j_hi - j_lo) {
      std::sort(keys + lo, keys + hi);
      return;
    }
    const std::uint64_t j_mid = j_lo + (j_hi - j_lo) / 2;
    const std::uint64_t p = quantile_position(j_mid, m, n_bins);
    std::nth_element(keys + lo, keys + p, keys + hi);
    // Positions are non-decreasing in j; edges sharing position p are settled.
    const std::uint64_t left_end =
        first_true(j_lo, j_mid, [&](std::uint64_t j) { return quantile_position(j, m, n_bins) >= p; });
    const std::uint64_t right_begin = first_true(
        j_mid + 1, j_hi, [&](std::uint64_t j) { return quantile_position(j, m, n_bins) > p; });
    select_positions(keys, lo, p, j_lo, left_end, m, n_bins);
    lo = p + 1;
    j_lo = right_begin;
  }
}

// Edges from the total-order keys of the finite values (reordered in place).
std::vector<double> edges_from_keys(std::span<std::uint64_t> keys, std::uint64_t n_bins) {
  const std::uint64_t m = keys.size();
  if (n_bins < 2 || m == 0) return {};
  const std::uint64_t n_edges = n_bins - 1;
  std::vector<double> edges;
  if (n_edges > edges.max_size()) throw std::length_error("too many quantile edges");
  edges.reserve(n_edges);

  select_positions(keys.data(), 0, m, 0, n_edges, m, n_bins);

  // (j + 1)·m = q·n_bins + r, advanced by m per edge without any product:
  // q grows by m / n_bins and r by m mod n_bins, with a carry when r wraps.
  // Since j + 1 < n_bins, q stays below m and never needs the cap at m − 1.
  const std::uint64_t q_step = m / n_bins;
  const std::uint64_t r_step = m % n_bins;
  std::uint64_t q = q_step;
  std::uint64_t r = r_step;
  for (std::uint64_t j = 0; j < n_edges; ++j) {
    edges.push_back(from_total_order_key(keys[std::min(q, m - 1)]));
    q += q_step;
    if (r >= n_bins - r_step) {
      r -= n_bins - r_step;
      ++q;
    } else {
      r += r_step;
    }
  }
  return edges;
}

}  // namespace

std::vector<double> quantile_edges(std::span<const double> values, std::uint64_t n_bins) {
  if (n_bins < 2) return {};
  std::vector<std::uint64_t> keys;
  keys.reserve(values.size());
  for (const double x : values) {
    if (std::isfinite(x)) keys.push_back(total_order_key(x));
  }
  return edges_from_keys(keys, n_bins);
}

std::vector<double> quantile_edges_at(std::span<const double> column,
                                      std::span<const std::uint64_t> samples, std::uint64_t n_bins,
                                      std::vector<std::uint64_t>& scratch) {
  if (n_bins < 2) return {};
  scratch.resize(samples.size());
  std::size_t m = 0;
  for (const std::uint64_t s : samples) {
    const double x = column[s];
    if (std::isfinite(x)) scratch[m++] = total_order_key(x);
  }
  return edges_from_keys(std::span<std::uint64_t>(scratch.data(), m), n_bins);
}

std::vector<double> quantile_edges_sorted(std::span<const double> sorted_values, std::uint64_t n_bins) {
  const std::uint64_t m = sorted_values.size();
  if (n_bins < 2 || m == 0) return {};
  std::vector<double> edges;
  if (n_bins - 1 > edges.max_size()) throw std::length_error("too many quantile edges");
  edges.reserve(n_bins - 1);
  for (std::uint64_t j = 0; j + 1 < n_bins; ++j) {
    edges.push_back(sorted_values[quantile_position(j, m, n_bins)]);
  }
  return edges;
}

std::optional<std::uint64_t> bin_of(std::span<const double> edges, double x) {
  if (!std::isfinite(x)) return std::nullopt;
  return static_cast<std::uint64_t>(std::upper_bound(edges.begin(), edges.end(), x) - edges.begin());
}

std::pair<std::optional<double>, std::optional<double>> bin_bounds(std::span<const double> edges,
                                                                   std::uint64_t b) {
  check_index(b, edges.size() + 1, "bin bounds");
  std::optional<double> lower;
  std::optional<double> upper;
  if (b > 0) lower = edges[b - 1];
  if (b < edges.size()) upper = edges[b];
  return {lower, upper};
}

namespace {

constexpr std::uint64_t kMaxFastCodes = 65535;

// Each encoder writes feature f's codes into the row-major matrix.
struct CodeWriter {
  std::uint16_t* first;
  std::size_t stride;
  void set(std::size_t sample, std::uint16_t code) const { first[sample * stride] = code; }
};

void encode_continuous(std::size_t f, const std::vector<double>& values, std::uint64_t n_bins,
                       const CodeWriter& out, FeatureBins& bins) {
  // The edge count is known before the edges are computed: n_bins − 1 once any
  // value is finite. Checking it first lets a huge n_bins fail without
  // allocating its edges.
  const bool any_finite =
      std::any_of(values.begin(), values.end(), [](double x) { return std::isfinite(x); });
  const std::uint64_t n_edges = (n_bins >= 2 && any_finite) ? n_bins - 1 : 0;
  if (n_edges > kMaxFastCodes - 1) {
    throw ValueError("feature " + std::to_string(f) + ": " + std::to_string(n_edges + 1) +
                     " continuous bins exceed fast-mode limit");
  }
  bins.edges = quantile_edges(values, n_bins);
  bins.n_codes = bins.edges.size() + 1;
  bins.is_continuous = true;
  const double* edges = bins.edges.data();
  const std::size_t n = bins.edges.size();
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double x = values[i];
    if (!std::isfinite(x)) {
      out.set(i, kMissingCode);
      bins.has_missing = true;
      continue;
    }
    // The number of edges <= x, by a binary search whose steps are selects
    // rather than branches (values arrive in no particular order).
    const double* first = edges;
    std::size_t len = n;
    while (len > 0) {
      const std::size_t half = len / 2;
      const bool above = first[half] <= x;
      first = above ? first + half + 1 : first;
      len = above ? len - half - 1 : half;
    }
    const std::size_t lo = static_cast<std::size_t>(first - edges);
    out.set(i, static_cast<std::uint16_t>(lo));
  }
}

void encode_categorical(std::size_t f, const std::vector<std::uint32_t>& column,
                        std::vector<std::uint32_t>& scratch, const CodeWriter& out,
                        FeatureBins& bins) {
  constexpr std::uint32_t kMissingCategory = 0xFFFFFFFFu;
  scratch.clear();
  for (const std::uint32_t c : column) {
    if (c != kMissingCategory) scratch.push_back(c);
  }
  std::sort(scratch.begin(), scratch.end());
  scratch.erase(std::unique(scratch.begin(), scratch.end()), scratch.end());
  if (scratch.size() > kMaxFastCodes) {
    throw ValueError("feature " + std::to_string(f) + ": " + std::to_string(scratch.size()) +
                     " categories exceed fast-mode limit");
  }
  bins.categories.assign(scratch.begin(), scratch.end());
  bins.n_codes = bins.categories.size();
  bins.is_continuous = false;
  const auto first = bins.categories.begin();
  const auto last = bins.categories.end();
  for (std::size_t i = 0; i < column.size(); ++i) {
    const std::uint32_t c = column[i];
    if (c == kMissingCategory) {
      out.set(i, kMissingCode);
      bins.has_missing = true;
    } else {
      out.set(i, static_cast<std::uint16_t>(std::lower_bound(first, last, c) - first));
    }
  }
}

}  // namespace

std::vector<std::uint16_t> EncodedFeatures::feature_codes(std::uint64_t feature) const {
  std::vector<std::uint16_t> out(sample_count);
  for (std::uint64_t s = 0; s < sample_count; ++s) out[s] = code(s, feature);
  return out;
}

EncodedFeatures encode_features(std::span<const FeatureColumn> columns, std::uint64_t n_bins) {
  EncodedFeatures out;
  out.n_features = columns.size();
  out.bins.resize(columns.size());
  out.sample_count = columns.empty() ? 0 : columns.front().size();
  for (const FeatureColumn& column : columns) {
    if (column.size() != out.sample_count) throw InternalError("encoded columns differ in length");
  }
  out.codes.resize(out.sample_count * out.n_features);
  std::vector<std::uint32_t> scratch;  // distinct categories, reused across features
  for (std::size_t f = 0; f < columns.size(); ++f) {
    const FeatureColumn& column = columns[f];
    const CodeWriter writer{out.codes.data() + f, out.n_features};
    if (column.is_categorical) {
      encode_categorical(f, column.codes, scratch, writer, out.bins[f]);
    } else {
      encode_continuous(f, column.values, n_bins, writer, out.bins[f]);
    }
  }
  return out;
}

}  // namespace quor
