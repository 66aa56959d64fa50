#pragma once
/// Input conversion: the training columns the core reads, copied out of a
/// caller's matrix, with the category code of a float for the columns listed
/// as categorical.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "views.hpp"

namespace quor {

/// The code of a missing value: a missing category code, and a missing bin
/// wherever strict mode stores bins.
inline constexpr std::uint32_t kMissingCode = 0xFFFFFFFFu;

/// Category code of a float: finite v >= 0 (-0.0 included) rounds half away
/// from zero, saturating at the missing code; anything else is missing.
std::uint32_t category_code(double v);

/// The training values of one feature, indexed by sample id.
struct FeatureColumn {
  bool is_categorical = false;
  std::vector<double> values;         // continuous: NaN and ±∞ are missing
  std::vector<std::uint32_t> codes;   // categorical: kMissingCode is missing

  std::size_t size() const { return is_categorical ? codes.size() : values.size(); }
};

/// One training column per matrix column, in order; columns in the sorted
/// `categorical` list hold category codes, the others the values unchanged.
/// Copied on `n_threads` threads when it is 2 or more.
std::vector<FeatureColumn> columns_from_matrix(const MatrixView& x,
                                               std::span<const std::uint64_t> categorical,
                                               std::uint64_t n_threads = 1);
/// The matrix columns listed in `cols` into `columns` (one each, in list
/// order), reusing their buffers; with `n_threads` of 2 or more, each thread
/// copies its own range of rows.
void columns_from_matrix(const MatrixView& x, std::span<const std::uint64_t> categorical,
                         std::span<const std::size_t> cols, std::vector<FeatureColumn>& columns,
                         std::uint64_t n_threads);

}  // namespace quor
