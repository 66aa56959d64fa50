#pragma once
/// The binning rules, the only place that knows what a bin is: quantile edges
/// of a set of values, the bin of a finite value (the number of edges <= it)
/// and the bounds of a bin, in the forms the searches need (edge runs, a
/// cursor for ascending values, a table binner for many values, the edges of
/// a matrix's columns without copying them).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "ordering.hpp"
#include "views.hpp"

namespace quor {

/// The n_bins − 1 quantile edges of the finite values (none when n_bins < 2 or
/// no value is finite): edge j is the sorted value at
/// min(⌊(j + 1)·m / n_bins⌋, m − 1), sorted by the IEEE total order.
std::vector<double> quantile_edges(std::span<const double> values, std::uint64_t n_bins);
/// The sorted position of edge j among m finite values:
/// min(⌊(j + 1)·m / n_bins⌋, m − 1), the product taken exactly in 128 bits.
/// Requires m > 0 and n_bins > 0.
std::uint64_t quantile_position(std::uint64_t j, std::uint64_t m, std::uint64_t n_bins);

/// A bin's bounds: lower (inclusive) and upper (exclusive), absent at the ends.
using BinBounds = std::pair<std::optional<double>, std::optional<double>>;

/// The quantile edges of a sorted set of values kept as runs: consecutive
/// edges taken from the same sorted position share one entry. However large
/// n_bins is, there are at most as many runs as values, so a node with few
/// samples never holds n_bins − 1 edges. Binning and bounds are those of the
/// full edge list.
class EdgeRuns {
 public:
  EdgeRuns() = default;

  /// Runs of the edges of m finite values with n_bins bins, where
  /// value_at_rank(r) is the r-th smallest value by the IEEE total order.
  /// Only ranks that some edge takes are asked for, in ascending order.
  template <class ValueAtRank>
  static EdgeRuns build(std::uint64_t m, std::uint64_t n_bins, ValueAtRank&& value_at_rank);
  /// From finite values sorted ascending by the total order.
  static EdgeRuns from_sorted(std::span<const double> sorted_values, std::uint64_t n_bins) {
    return build(sorted_values.size(), n_bins, [&](std::uint64_t r) { return sorted_values[r]; });
  }

  /// The number of edges (n_bins − 1, or 0 without values or with n_bins < 2).
  std::uint64_t size() const { return ends_.empty() ? 0 : ends_.back(); }
  std::size_t n_runs() const { return values_.size(); }
  double run_value(std::size_t k) const { return values_[k]; }
  /// The number of edges in runs 0 … k.
  std::uint64_t run_end(std::size_t k) const { return ends_[k]; }
  /// Edge j, j < size().
  double at(std::uint64_t j) const;
  /// The bounds of bin b, b <= size(), as `bin_bounds` gives them.
  BinBounds bounds(std::uint64_t b) const;

 private:
  std::vector<double> values_;
  std::vector<std::uint64_t> ends_;
};

/// The last j whose edge takes rank p: edges j have rank ⌊(j + 1)·m / n_bins⌋.
std::uint64_t last_edge_of_rank(std::uint64_t p, std::uint64_t m, std::uint64_t n_bins);

template <class ValueAtRank>
EdgeRuns EdgeRuns::build(std::uint64_t m, std::uint64_t n_bins, ValueAtRank&& value_at_rank) {
  EdgeRuns runs;
  if (n_bins < 2 || m == 0) return runs;
  const std::uint64_t n_edges = n_bins - 1;
  // Each step takes every edge of one rank, so there are at most
  // min(n_edges, m) steps.
  for (std::uint64_t j = 0; j < n_edges;) {
    const std::uint64_t rank = quantile_position(j, m, n_bins);
    const std::uint64_t last = std::min(last_edge_of_rank(rank, m, n_bins), n_edges - 1);
    runs.values_.push_back(value_at_rank(rank));
    runs.ends_.push_back(last + 1);
    j = last + 1;
  }
  return runs;
}

/// Bounds of bin b (b <= number of edges): lower = edge b − 1 when b > 0,
/// upper = edge b when b < number of edges. A larger b is an internal error.
BinBounds bin_bounds(std::span<const double> edges, std::uint64_t b);

/// The bins of finite values met in ascending order, against edge runs: the
/// cursor only moves forward, so a walk over m sorted values costs m plus the
/// runs, with no search.
class BinCursor {
 public:
  explicit BinCursor(const EdgeRuns& edges) : edges_(&edges) {}
  /// The number of edges <= x; x must not be below the previous call's x.
  std::uint64_t bin(double x) {
    while (run_ < edges_->n_runs() && edges_->run_value(run_) <= x) ++run_;
    return run_ == 0 ? 0 : edges_->run_end(run_ - 1);
  }

 private:
  const EdgeRuns* edges_;
  std::size_t run_ = 0;
};

/// The bins of many finite values against fixed edges. For many
/// values a table over the top 16 bits of each value's order key gives the
/// number of edges in lower buckets, and only edges sharing the value's bucket
/// are compared; for a few values building that table costs more than it
/// saves, and a binary search over all edges is used instead.
class EdgeBinner {
 public:
  EdgeBinner(std::span<const double> edges, std::size_t n_values) : edges_(edges) {
    if (n_values < kTableMinValues || few()) return;
    below_.assign(kBuckets + 1, 0);
    for (const double e : edges) ++below_[(value_order_key(e) >> kBucketShift) + 1];
    for (std::size_t b = 0; b < kBuckets; ++b) below_[b + 1] += below_[b];
    // Edges followed by +inf, so that a bucket's few edges are counted with a
    // fixed number of comparisons: edges past the bucket are above the value.
    padded_.assign(edges.begin(), edges.end());
    padded_.resize(edges.size() + kWindow, std::numeric_limits<double>::infinity());
  }

  /// Whether bin_few serves: few edges, searched without branches.
  bool few() const { return edges_.size() <= kFewEdges; }

  /// The count of edges <= x without branches; for few().
  std::uint16_t bin_few(double x) const {
    return static_cast<std::uint16_t>(count_not_above(edges_.data(), edges_.size(), x));
  }

  std::uint16_t bin(double x) const {
    if (below_.empty()) {
      return static_cast<std::uint16_t>(std::upper_bound(edges_.begin(), edges_.end(), x) - edges_.begin());
    }
    const std::size_t bucket = static_cast<std::size_t>(value_order_key(x) >> kBucketShift);
    const std::uint32_t lo = below_[bucket];
    const std::uint32_t hi = below_[bucket + 1];
    if (hi - lo <= kWindow) {
      const double* window = padded_.data() + lo;
      std::uint32_t count = 0;
      for (std::size_t k = 0; k < kWindow; ++k) count += window[k] <= x ? 1u : 0u;
      return static_cast<std::uint16_t>(lo + count);
    }
    return static_cast<std::uint16_t>(std::upper_bound(edges_.begin() + lo, edges_.begin() + hi, x) -
                                      edges_.begin());
  }

 private:
  static constexpr unsigned kBucketShift = 48;
  static constexpr std::size_t kBuckets = std::size_t{1} << 16;
  static constexpr std::size_t kTableMinValues = std::size_t{1} << 15;
  static constexpr std::size_t kFewEdges = 255;
  static constexpr std::size_t kWindow = 8;
  std::span<const double> edges_;
  std::vector<std::uint32_t> below_;
  std::vector<double> padded_;
};

/// The quantile edges of one matrix column and its number of finite values.
struct ColumnEdges {
  std::vector<double> edges;
  std::uint64_t n_finite = 0;
};

/// Whether `matrix_column_edges` serves a matrix of `n_rows` rows: enough rows
/// to repay its bucket tables, few enough for 32-bit write places.
bool column_edges_in_place(std::size_t n_rows);

/// The quantile edges (n_bins >= 2) of the matrix columns `features`, in
/// list order, found without copying the columns, on up to `n_threads`
/// threads: the same edges as `quantile_edges` of each column.
std::vector<ColumnEdges> matrix_column_edges(const MatrixView& x, std::span<const std::size_t> features,
                                             std::uint64_t n_bins, std::uint64_t n_threads);

}  // namespace quor
