#pragma once
// Training columns handed to the fast-mode entry points, which read a matrix:
// the columns laid out as one (column-major, category codes as numbers and a
// missing code as NaN), so that a test written with columns encodes and
// grows through the production path.

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "encoder.hpp"
#include "fast_grower.hpp"
#include "input.hpp"
#include "views.hpp"

namespace quor::testing {

/// A column-major matrix of the columns, and the list of the categorical ones.
struct ColumnMatrix {
  std::vector<double> cells;
  std::size_t n_rows = 0;
  std::size_t n_cols = 0;
  std::vector<std::uint64_t> categorical;

  explicit ColumnMatrix(std::span<const FeatureColumn> columns)
      : n_rows(columns.empty() ? 0 : columns.front().size()), n_cols(columns.size()) {
    cells.reserve(n_rows * n_cols);
    for (std::size_t f = 0; f < n_cols; ++f) {
      const FeatureColumn& column = columns[f];
      if (column.is_categorical) categorical.push_back(f);
      for (std::size_t s = 0; s < n_rows; ++s) {
        cells.push_back(!column.is_categorical ? column.values[s]
                        : column.codes[s] == kMissingCode ? std::numeric_limits<double>::quiet_NaN()
                                                          : static_cast<double>(column.codes[s]));
      }
    }
  }

  MatrixView view() const {
    return MatrixView{reinterpret_cast<const char*>(cells.data()), n_rows, n_cols, sizeof(double),
                      static_cast<std::ptrdiff_t>(n_rows * sizeof(double))};
  }
};

/// The columns encoded as fast mode encodes its input.
inline EncodedFeatures encode_columns(std::span<const FeatureColumn> columns, std::uint64_t n_bins,
                                      bool allow_narrow = true, std::uint64_t n_threads = 1) {
  const ColumnMatrix matrix(columns);
  return encode_matrix(matrix.view(), matrix.categorical, n_bins, allow_narrow, n_threads);
}

/// A fast-mode tree grown on the columns through the fast-mode entry.
inline Tree fit_fast_columns(const GrowInput& input, std::span<const FeatureColumn> columns) {
  const ColumnMatrix matrix(columns);
  return fit_fast(input, matrix.view(), matrix.categorical);
}

}  // namespace quor::testing
