#pragma once
// The walk of one row through a tree by its stored split tests, node by node:
// the oracle that batch routing is checked against, by the tests and by the
// fuzz targets. A row's cells are read from a matrix as a model reads them:
// category codes in the categorical columns, values in the others.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "config.hpp"
#include "errors.hpp"
#include "input.hpp"
#include "split.hpp"
#include "tree.hpp"
#include "views.hpp"

namespace quor::testing {

/// One cell of a row.
struct FeatureValue {
  double value = 0.0;          // continuous cells
  std::uint32_t code = 0;      // categorical cells
  bool is_categorical = false;
};

/// Rows of a matrix, `n_cols` cells per row, row-major.
struct Rows {
  std::size_t n_rows = 0;
  std::size_t n_cols = 0;
  std::vector<FeatureValue> cells;
  std::span<const FeatureValue> row(std::size_t r) const { return {cells.data() + r * n_cols, n_cols}; }
};

/// Every row of the matrix; columns in the sorted `categorical` list hold the
/// category codes of their values.
inline Rows rows_from_matrix(const MatrixView& matrix, std::span<const std::uint64_t> categorical) {
  Rows rows;
  rows.n_rows = matrix.n_rows;
  rows.n_cols = matrix.n_cols;
  rows.cells.resize(rows.n_rows * rows.n_cols);
  FeatureValue* cell = rows.cells.data();
  for (std::size_t r = 0; r < matrix.n_rows; ++r) {
    for (std::size_t c = 0; c < matrix.n_cols; ++c, ++cell) {
      const double v = matrix.at(r, c);
      if (is_categorical(categorical, c)) {
        cell->is_categorical = true;
        cell->code = category_code(v);
      } else {
        cell->value = v;
      }
    }
  }
  return rows;
}

/// Whether a cell goes left of a stored split, by the split's own tests.
inline bool goes_left(const Split& split, const FeatureValue& cell) {
  return cell.is_categorical ? split.goes_left_category(cell.code) : split.goes_left(cell.value);
}

/// The index in `Tree::nodes` (the pre-order of the export) of the leaf a row
/// reaches. A split feature past the row's end is an internal error.
inline std::size_t leaf_index(const Tree& tree, std::span<const FeatureValue> row) {
  std::size_t index = 0;
  check_index(index, tree.nodes.size(), "tree nodes");
  while (!tree.nodes[index].is_leaf()) {
    const Split& split = tree.nodes[index].split;
    check_index(split.feature, row.size(), "row");
    index = goes_left(split, row[split.feature]) ? tree.nodes[index].left : tree.nodes[index].right;
    check_index(index, tree.nodes.size(), "tree nodes");
  }
  return index;
}

/// The leaf a row reaches.
inline const DecisionNode& predict_row(const Tree& tree, std::span<const FeatureValue> row) {
  return tree.nodes[leaf_index(tree, row)];
}

}  // namespace quor::testing
