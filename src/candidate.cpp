#include "candidate.hpp"

#include <algorithm>
#include <stdexcept>

#include "binning.hpp"
#include "input.hpp"

namespace quor {

std::vector<std::uint32_t> category_candidates(std::span<const std::uint32_t> codes,
                                               std::span<const std::uint64_t> samples) {
  std::vector<std::uint32_t> candidates;
  candidates.reserve(samples.size());
  for (const std::uint64_t s : samples) {
    const std::uint32_t code = codes[s];
    if (code != kMissingCode) candidates.push_back(code);
  }
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  return candidates;
}

std::vector<std::uint32_t> split_candidates_sorted(std::span<const double> sorted_values,
                                                   std::uint64_t n_bins) {
  std::vector<std::uint32_t> candidates;
  if (sorted_values.empty()) return candidates;
  const EdgeRuns edges = EdgeRuns::from_sorted(sorted_values, n_bins);
  // Bins run from 0 to the number of edges and must stay below the 32-bit
  // missing code; only a gigantic n_bins gets here.
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
