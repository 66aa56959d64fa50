#pragma once
/// Sample weights. A row's weight is one float64, already the product of
/// whatever the caller combines into it (a sample weight, a class weight).
/// What a weight means, once for both growers: every sum over samples that
/// a split's score or a leaf's value reads is a sum of weights (class counts
/// become class weight sums, the regression sums are weighted, a side's share
/// of a fold is a share of weight), while everything that decides which rows
/// go where stays a count of rows: the folds, the quantile bins, the row
/// draws, min_samples_split, min_samples_leaf and the purity test (a node
/// whose rows all have one target is pure whatever their weights). Rows of
/// weight 0 are removed before anything else, so that a zero weight is the
/// row being absent. Every score and value is a ratio of weight sums, so
/// multiplying all weights by a power of two changes nothing; unit weights
/// take the unweighted path, which counts with integers.

#include <cstdint>
#include <span>
#include <vector>

namespace quor {

/// Refuses weights that are not one finite, non-negative value per row, that
/// are all zero, or whose sum is not finite (`ValueError` naming sample_weight).
void check_weights(std::span<const double> weights, std::uint64_t n_rows);

/// Whether every weight is exactly 1: such a fit is the unweighted one.
bool all_unit(std::span<const double> weights);

/// The rows of positive weight, ascending.
std::vector<std::uint64_t> weighted_rows(std::span<const double> weights);

/// The weights a tree of a "balanced_subsample" forest grows with, indexed by
/// row: each drawn row's weight times n_drawn / (n_present · n_drawn_of_its_class),
/// counted over the drawn rows (rows, not weights; n_present is the number of
/// classes among them); rows not drawn keep their weight, which no node reads.
/// Empty `weights` stand for unit weights.
std::vector<double> balanced_subsample_weights(std::span<const double> weights,
                                               std::span<const std::uint64_t> labels, std::uint64_t n_classes,
                                               std::span<const std::uint32_t> rows);

}  // namespace quor
