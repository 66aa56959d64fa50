#pragma once
/// Renumbering a small node's codes. A node much smaller than its features'
/// code counts leaves most cells of its histograms empty, yet every fold's
/// scan passes them; renumbered, each feature's codes present in the node
/// become 0 … m − 1 in ascending order (and, under the threshold test, the
/// feature's last code is kept as an empty end, so that the candidates stay
/// those of the original codes). The histograms then have m cells a fold
/// instead of B; they hold the same sums in the same order, and a skipped code
/// adds nothing to a running side, so the scores are the same, and the
/// candidates go back to their original codes (FeatureSpec::original_codes).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "histogram.hpp"

namespace quor {

/// The largest node whose codes are renumbered: its renumbered codes, and the
/// missing code 0xFF above them, fit in a byte.
inline constexpr std::size_t kCompactMaxSamples = 254;

/// A node's renumbered codes and each feature's original codes, reused from
/// node to node.
struct CompactCodes {
  std::vector<std::uint8_t> codes;         // a row of one-byte codes per position in the node's list
  std::vector<std::uint32_t> rows;         // 0 … n − 1
  std::vector<std::uint32_t> original;     // per feature: its codes in the node, ascending
  std::vector<std::size_t> offsets;        // per feature + 1: where its codes start
  std::vector<FeatureSpec> specs;
  std::vector<std::size_t> columns;
  std::vector<std::uint32_t> raw;          // the node's codes, feature by feature
  std::vector<std::uint64_t> present;      // a bit per code present
  std::vector<std::uint8_t> renumbered;    // a present code's new number
};

/// Whether a node of `n` samples can be renumbered: at most
/// kCompactMaxSamples samples, and some feature.
bool can_compact(std::span<const FeatureSpec> specs, std::size_t n);

/// Whether a node of `n` samples and `K` folds is renumbered: when it can be
/// and has fewer samples than a fold has cells on average over the features,
/// so that most cells, which every fold's scan passes, are empty.
bool compacts(std::span<const FeatureSpec> specs, std::size_t n, std::size_t K);

/// Renumbers the codes of the node's `samples` (at most kCompactMaxSamples)
/// into `out`: a row of one-byte codes per position in the node's list, 0xFF
/// for a missing code, and each feature's FeatureSpec with its new code count
/// and its original codes in ascending order.
template <class Code>
void compact_node(const Code* codes, std::size_t stride, std::span<const std::uint32_t> samples,
                  std::span<const std::size_t> columns, std::span<const FeatureSpec> specs, CompactCodes& out);

extern template void compact_node(const std::uint8_t*, std::size_t, std::span<const std::uint32_t>,
                                  std::span<const std::size_t>, std::span<const FeatureSpec>, CompactCodes&);
extern template void compact_node(const std::uint16_t*, std::size_t, std::span<const std::uint32_t>,
                                  std::span<const std::size_t>, std::span<const FeatureSpec>, CompactCodes&);

}  // namespace quor
