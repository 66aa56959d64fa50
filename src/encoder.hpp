#pragma once
/// The one-off fast-mode encoding of every feature into 16-bit codes: each
/// feature's bins (quantile edges or sorted categories) and the code matrix.

#include <cstdint>
#include <algorithm>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "binning.hpp"
#include "input.hpp"
#include "views.hpp"


namespace quor {

/// The fast-mode missing code.
inline constexpr std::uint16_t kMissingFastCode = 0xFFFF;
/// The most codes a feature may have in fast mode: bins of a continuous
/// feature, categories of a categorical one (the codes below the missing code).
inline constexpr std::uint64_t kMaxFastCodes = 65535;

struct FeatureBins {
  std::vector<double> edges;               // continuous features
  std::vector<std::uint32_t> categories;   // categorical features, strictly ascending
  std::uint64_t n_codes = 0;
  bool is_continuous = true;
  bool has_missing = false;                // some sample has the missing code
  /// Continuous features, when asked for (note_largest_values): the largest
  /// training value of each code (NaN for a code no sample has); empty
  /// otherwise.
  std::vector<double> largest;
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
  static constexpr std::uint8_t kNarrowMissingCode = 0xFF;
};

/// Encodes every column of a matrix (columns listed in the sorted
/// `categorical` list hold category codes of the values), in feature order:
/// the first failure ends the call. Throws `ValueError` "feature {f}: {n}
/// continuous bins exceed fast-mode limit" or "feature {f}: {n} categories
/// exceed fast-mode limit". The matrix is never copied whole, only a few
/// columns at a time while their bins are found. `allow_narrow` false keeps
/// two-byte codes even when one byte would do. With `n_threads` of 2 or more
/// the features' bins and the rows' codes are computed on that many threads;
/// the result is the same.
EncodedFeatures encode_matrix(const MatrixView& x, std::span<const std::uint64_t> categorical,
                              std::uint64_t n_bins, bool allow_narrow = true, std::uint64_t n_threads = 1);

/// Fills every continuous feature's `largest` from the matrix the codes were
/// made from: one pass over its rows. Where a fast-mode split's bound lies
/// between two codes, the largest value of the lower code and the edge below
/// the upper one (its smallest value) are the values on either side.
void note_largest_values(const MatrixView& x, EncodedFeatures& encoded);

}  // namespace quor
