#include "input.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "config.hpp"
#include "parallel.hpp"

namespace quor {

std::uint32_t category_code(double v) {
  if (!std::isfinite(v) || v < 0.0) return kMissingCode;
  const double rounded = std::round(v);  // halves away from zero
  if (rounded >= static_cast<double>(kMissingCode)) return kMissingCode;
  return static_cast<std::uint32_t>(rounded);
}

std::vector<FeatureColumn> columns_from_matrix(const MatrixView& x,
                                               std::span<const std::uint64_t> categorical,
                                               std::uint64_t n_threads) {
  std::vector<std::size_t> cols(x.n_cols);
  std::iota(cols.begin(), cols.end(), std::size_t{0});
  std::vector<FeatureColumn> columns;
  columns_from_matrix(x, categorical, cols, columns, n_threads);
  return columns;
}

void columns_from_matrix(const MatrixView& x, std::span<const std::uint64_t> categorical,
                         std::span<const std::size_t> cols, std::vector<FeatureColumn>& columns,
                         std::uint64_t n_threads) {
  columns.resize(cols.size());
  for (std::size_t k = 0; k < cols.size(); ++k) {
    FeatureColumn& column = columns[k];
    column.is_categorical = is_categorical(categorical, cols[k]);
    if (column.is_categorical) {
      column.codes.resize(x.n_rows);
    } else {
      column.values.resize(x.n_rows);
    }
  }
  // A block of rows at a time, every column of the block: whatever the
  // matrix's memory order, the block's part of it is read from cache.
  constexpr std::size_t kRowBlock = 256;
  const auto copy_rows = [&](std::size_t begin, std::size_t end) {
    for (std::size_t first = begin; first < end; first += kRowBlock) {
      const std::size_t last = std::min(end, first + kRowBlock);
      for (std::size_t k = 0; k < cols.size(); ++k) {
        FeatureColumn& column = columns[k];
        const std::size_t c = cols[k];
        if (column.is_categorical) {
          for (std::size_t r = first; r < last; ++r) column.codes[r] = category_code(x.at(r, c));
        } else {
          for (std::size_t r = first; r < last; ++r) column.values[r] = x.at(r, c);
        }
      }
    }
  };
  // Threads only for many rows: a small copy costs less than starting them.
  constexpr std::size_t kParallelRows = std::size_t{1} << 16;
  for_row_ranges(x.n_rows, kRowBlock, x.n_rows < kParallelRows ? 1 : n_threads,
                 [&](std::size_t, std::size_t begin, std::size_t end) { copy_rows(begin, end); });
}

}  // namespace quor
