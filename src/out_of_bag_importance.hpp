#pragma once
/// Out-of-bag importances: each split of a forest's tree measured on the rows
/// the tree did not draw. Every node predicts what its training rows say:
/// the weighted class shares (classification, the objective classifier
/// included) or the weighted mean (regression) of the rows that reached it,
/// its leaves' values weighted by their training weight. An unseen row is
/// scored against a node's prediction by its squared error, for classes the
/// Brier score sum_c (p_c − [y = c])². A split contributes to its feature
/// the weighted loss of the unseen rows that reach it against its own
/// prediction less theirs against its children's, over the unseen weight at
/// the root: negative when its children predict the unseen rows worse than
/// the node itself, as a split on noise does.

#include <cstdint>
#include <functional>
#include <span>

#include "task.hpp"
#include "tree.hpp"

namespace quor {

/// Whether data row `row` goes left at `split`.
using RowGoesLeft = std::function<bool(const Split& split, std::uint32_t row)>;

/// Adds the tree's contribution to every feature to `out` (one value per
/// feature). `rows` are the tree's unseen rows; `targets` (labels below
/// `n_classes`, or values when `n_classes` is 0) and `weights` (empty: every
/// row weighs 1) are indexed by row. Only ratios count, of weights and of
/// squared errors: regression values are multiplied by `value_scale`, a
/// power of two that keeps their squares finite. A tree that is one leaf, or
/// without unseen weight, adds nothing.
void add_out_of_bag_contributions(const Tree& tree, std::span<const std::uint32_t> rows, const Targets& targets,
                                  std::span<const double> weights, std::uint64_t n_classes, double value_scale,
                                  const RowGoesLeft& goes_left, std::span<double> out);

}  // namespace quor
