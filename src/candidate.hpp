#pragma once
/// The split candidates of one feature at one node: the category codes
/// present, or the bins of the node's own quantile edges that its finite
/// values occupy.

#include <cstdint>
#include <span>
#include <vector>

namespace quor {

/// Ascending distinct category codes of the node's samples, missing skipped.
std::vector<std::uint32_t> category_candidates(std::span<const std::uint32_t> codes,
                                               std::span<const std::uint64_t> samples);

/// Ascending distinct bins that the node's finite values, sorted ascending by
/// the IEEE total order, occupy against their own quantile edges with n_bins
/// bins.
std::vector<std::uint32_t> split_candidates_sorted(std::span<const double> sorted_values,
                                                   std::uint64_t n_bins);

}  // namespace quor
