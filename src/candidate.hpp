#pragma once
/// Split candidates of one feature at one node, and the side rule that sends a
/// binned or coded sample left or right of a candidate.

#include <cstdint>
#include <span>
#include <vector>

#include "config.hpp"
#include "encoder.hpp"

namespace quor {

enum class SideTest { Threshold, Equality };

/// Equality for categorical features and for the "bin" style, else threshold.
inline SideTest side_test(SplitStyle style, bool is_categorical) {
  return (is_categorical || style == SplitStyle::Bin) ? SideTest::Equality : SideTest::Threshold;
}

/// Threshold: left when b is not missing and b <= candidate. Equality: left when
/// b == candidate. Missing values (kMissingCode) always go right.
inline bool goes_left(SideTest test, std::uint32_t b, std::uint32_t candidate) {
  return test == SideTest::Threshold ? (b != kMissingCode && b <= candidate) : (b == candidate);
}

/// Ascending distinct candidates: the category codes present (missing skipped),
/// or the bins that the node's finite values occupy against the node's own
/// quantile edges.
std::vector<std::uint32_t> split_candidates(const FeatureColumn& column,
                                            std::span<const std::uint64_t> samples,
                                            std::uint64_t n_bins);

/// The candidates of a continuous feature from the node's finite values
/// sorted ascending by the IEEE total order: the same list as
/// `split_candidates`, in one walk.
std::vector<std::uint32_t> split_candidates_sorted(std::span<const double> sorted_values,
                                                   std::uint64_t n_bins);

}  // namespace quor
