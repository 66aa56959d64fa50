#include "candidate.hpp"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace quor {

std::vector<std::uint32_t> split_candidates(const FeatureColumn& column,
                                            std::span<const std::uint64_t> samples,
                                            std::uint64_t n_bins) {
  std::vector<std::uint32_t> candidates;
  if (column.is_categorical) {
    candidates.reserve(samples.size());
    for (const std::uint64_t s : samples) {
      const std::uint32_t code = column.codes[s];
      if (code != kMissingCode) candidates.push_back(code);
    }
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    return candidates;
  }

  std::vector<std::uint64_t> scratch;
  const std::vector<double> edges = quantile_edges_at(column.values, samples, n_bins, scratch);
  // Bins run from 0 to the number of edges and must stay below the 32-bit
  // missing code; only a gigantic n_bins with as many edges in memory gets here.
  if (edges.size() >= kMissingCode) throw std::length_error("too many bins for 32-bit candidates");
  // One flag per bin: a bitmap is no larger than the edges already built.
  std::vector<bool> occupied(edges.size() + 1, false);
  std::size_t n_occupied = 0;
  for (const std::uint64_t s : samples) {
    const std::optional<std::uint64_t> b = bin_of(edges, column.values[s]);
    if (b && !occupied[*b]) {
      occupied[*b] = true;
      ++n_occupied;
    }
  }
  candidates.reserve(n_occupied);
  for (std::size_t b = 0; b < occupied.size(); ++b) {
    if (occupied[b]) candidates.push_back(static_cast<std::uint32_t>(b));
  }
  return candidates;
}

std::vector<std::uint32_t> split_candidates_sorted(std::span<const double> sorted_values,
                                                   std::uint64_t n_bins) {
  std::vector<std::uint32_t> candidates;
  if (sorted_values.empty()) return candidates;
  const EdgeRuns edges = EdgeRuns::from_sorted(sorted_values, n_bins);
  if (edges.size() >= kMissingCode) throw std::length_error("too many bins for 32-bit candidates");
  // Values ascend, so bins do too: each new bin met is the next candidate.
  BinCursor cursor(edges);
  for (const double x : sorted_values) {
    const std::uint64_t bin = cursor.bin(x);
    if (candidates.empty() || candidates.back() != bin) candidates.push_back(static_cast<std::uint32_t>(bin));
  }
  return candidates;
}

}  // namespace quor
