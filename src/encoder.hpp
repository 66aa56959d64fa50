#pragma once
/// Training columns and the binning rules: the one definition of quantile
/// edges, of a value's bin and of a bin's bounds, and the one-off fast-mode
/// encoding of every feature into 16-bit codes.

#include <cstdint>
#include <algorithm>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "input.hpp"
#include "views.hpp"


namespace quor {

/// The n_bins − 1 quantile edges of the finite values (none when n_bins < 2 or
/// no value is finite): edge j is the sorted value at
/// min(⌊(j + 1)·m / n_bins⌋, m − 1), sorted by the IEEE total order.
std::vector<double> quantile_edges(std::span<const double> values, std::uint64_t n_bins);
/// The same edges for the values of `column` at `samples`; `scratch` is reused
/// and allocates nothing once it is as long as `samples`.
std::vector<double> quantile_edges_at(std::span<const double> column,
                                      std::span<const std::uint64_t> samples, std::uint64_t n_bins,
                                      std::vector<std::uint64_t>& scratch);

/// The sorted position of edge j among m finite values:
/// min(⌊(j + 1)·m / n_bins⌋, m − 1), the product taken exactly in 128 bits.
/// Requires m > 0 and n_bins > 0.
std::uint64_t quantile_position(std::uint64_t j, std::uint64_t m, std::uint64_t n_bins);

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
  /// Number of edges <= x, for a finite x.
  std::uint64_t bin_of(double x) const;
  /// The bounds of bin b, b <= size(), as `bin_bounds` gives them.
  std::pair<std::optional<double>, std::optional<double>> bounds(std::uint64_t b) const;

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

/// Number of edges <= x; nullopt for a non-finite x.
std::optional<std::uint64_t> bin_of(std::span<const double> edges, double x);

/// Bounds of bin b (b <= number of edges): lower = edge b − 1 when b > 0,
/// upper = edge b when b < number of edges. A larger b is an internal error.
std::pair<std::optional<double>, std::optional<double>> bin_bounds(std::span<const double> edges,
                                                                   std::uint64_t b);

/// The fast-mode missing code.
inline constexpr std::uint16_t kMissingFastCode = 0xFFFF;

struct FeatureBins {
  std::vector<double> edges;               // continuous features
  std::vector<std::uint32_t> categories;   // categorical features, strictly ascending
  std::uint64_t n_codes = 0;
  bool is_continuous = true;
  bool has_missing = false;                // some sample has the missing code
};

/// The codes are stored row-major (all features of a sample together), so
/// that a node's histograms for many features fill in one pass that reads
/// each sample's row once. When every feature has at most 255 codes they are
/// stored in one byte each (the byte 0xFF then stands for the missing code),
/// which halves the memory every pass over the samples touches.
struct EncodedFeatures {
  std::vector<std::uint16_t> codes;         // sample_count × n_features, when !narrow
  std::vector<std::uint8_t> narrow_codes;   // sample_count × n_features, when narrow
  bool narrow = false;
  std::uint64_t n_features = 0;
  std::vector<FeatureBins> bins;
  std::uint64_t sample_count = 0;

  std::uint16_t code(std::uint64_t sample, std::uint64_t feature) const {
    if (narrow) {
      const std::uint8_t c = narrow_codes[sample * n_features + feature];
      return c == kNarrowMissingCode ? kMissingFastCode : c;
    }
    return codes[sample * n_features + feature];
  }
  /// Asks the processor to start loading a sample's row of codes.
  void prefetch_row(std::uint64_t sample) const {
    if (sample >= sample_count) return;
    if (narrow) {
      __builtin_prefetch(narrow_codes.data() + sample * n_features);
    } else {
      __builtin_prefetch(codes.data() + sample * n_features);
    }
  }
  /// The codes of one feature, indexed by sample id.
  std::vector<std::uint16_t> feature_codes(std::uint64_t feature) const;

  static constexpr std::uint8_t kNarrowMissingCode = 0xFF;
};

/// Encodes every column (feature order; the first failure ends the call).
/// Throws `ValueError` "feature {f}: {n} continuous bins exceed fast-mode limit"
/// or "feature {f}: {n} categories exceed fast-mode limit".
/// `allow_narrow` false keeps two-byte codes even when one byte would do.
/// With `n_threads` of 2 or more the features' bins and the rows' codes are
/// computed on that many threads; the result is the same.
EncodedFeatures encode_features(std::span<const FeatureColumn> columns, std::uint64_t n_bins,
                                bool allow_narrow = true, std::uint64_t n_threads = 1);

/// The same encoding read straight from a matrix (columns listed in the sorted
/// `categorical` list hold category codes of the values); the matrix is never
/// copied whole, only a few columns at a time while their bins are found.
EncodedFeatures encode_matrix(const MatrixView& x, std::span<const std::uint64_t> categorical,
                              std::uint64_t n_bins, bool allow_narrow = true, std::uint64_t n_threads = 1);

}  // namespace quor
