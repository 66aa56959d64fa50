#pragma once
/// The order in which a set split cuts a categorical feature's categories.
///
/// A set split sends the t lowest categories of an order left. The order
/// ranks a node's categories by a statistic of the target over some of its
/// samples (a fold's training part while scoring, the whole node when the
/// winner is stored): the mean target for regression; for two classes the
/// share of class 1; for more classes there is one order per class, by that
/// class's share, each with its own candidates (ordering by any one statistic
/// loses groupings that only another class separates).
///
/// A category absent from the part (a rare category that fell entirely into
/// the held-out fold) has no statistic of its own: it takes the part's own,
/// the statistic of all its samples that have a category, and so sits where
/// the part's average is, rather than at an end of the order. Samples with a
/// missing value take no part in any order. Present categories keep their
/// plain statistic: on the samples that order them, the t lowest are then
/// exactly the sides among which the best two-way grouping lies, for squared
/// error and for two classes under Gini and entropy (the grouping property
/// the search relies on; it does not hold for "mae", ordered by the mean
/// all the same).
/// Equal statistics rank by category code.

#include <cstdint>
#include <span>
#include <vector>

#include "config.hpp"
#include "task.hpp"

namespace quor {

/// A node splits a categorical feature by sets only when it has at least
/// this many rows per category it holds (counted in rows, as folds and bins
/// are); a smaller node splits it by one category. In a node of few rows per
/// category each fold's order is ranked mostly by single rows, and the best
/// of its many prefixes scores above zero on the held-out rows by chance
/// alone: deep nodes then split on noise (at 1 000 categories of 6 rows each
/// the regression tree's held-out R² fell from 0.63 to 0.44 without this
/// rule, and rose to 0.63, the one-category tree's, with it).
inline constexpr std::uint64_t kRowsPerSetCategory = 4;

/// Whether a node of `n_rows` rows holding `n_categories` categories of a
/// feature that uses_set_splits splits it by sets.
inline bool enough_rows_for_sets(std::uint64_t n_rows, std::uint64_t n_categories) {
  return n_categories > 0 && n_rows / kRowsPerSetCategory >= n_categories;
}

/// The orders a task's set splits use: one for regression and two classes,
/// one per class otherwise.
std::uint64_t n_category_orders(const Task& task);

/// Whether a categorical feature whose node holds `categories` (ascending
/// distinct codes) splits by sets under `config`: when set splits are asked
/// for, every code fits a set's bitset and every order's candidates have a
/// 32-bit code. Otherwise it splits by one category.
bool uses_set_splits(const TreeConfig& config, const Task& task, std::span<const std::uint32_t> categories);

/// The rule itself, on one order's sums over a part: K categories' weight
/// and target sums and the part's totals. by_rank[r] is the category of
/// rank r, rank[i] category i's rank; `statistic` is scratch.
void rank_categories(std::span<const double> weight, std::span<const double> target, double total_weight,
                     double total_target, std::span<std::uint32_t> by_rank, std::span<std::uint32_t> rank,
                     std::vector<double>& statistic);

/// Ranks the categories of one node by the orders' statistics over parts of
/// its samples. Built once per node and feature; its buffers are reused from
/// part to part.
class CategoryRanker {
 public:
  /// `categories`: the node's categories, ascending distinct codes below
  /// kMaxSetCategories; `codes`, the targets and `weights` (empty:
  /// unweighted) are indexed by sample id.
  CategoryRanker(const Task& task, const Targets& targets, std::span<const double> weights,
                 std::span<const std::uint32_t> codes, std::span<const std::uint32_t> categories);

  std::uint64_t n_orders() const { return n_orders_; }
  std::size_t n_categories() const { return n_categories_; }
  /// The index (into the categories) of code `code`, which must be one of them.
  std::uint32_t index_of(std::uint32_t code) const { return index_of_[code]; }

  /// Ranks the categories by each order's statistic over the samples of
  /// `samples` (in that order) for which take(sample) holds: on return
  /// rank[k·K + i] is category i's rank in order k, and by_rank[k·K + r] the
  /// category of rank r (K categories).
  template <class Take>
  void rank(std::span<const std::uint64_t> samples, const Take& take, std::vector<std::uint32_t>& rank,
            std::vector<std::uint32_t>& by_rank) {
    reset();
    for (const std::uint64_t s : samples) {
      if (take(s)) add(s);
    }
    finish(rank, by_rank);
  }

 private:
  void reset();
  void add(std::uint64_t sample);
  void finish(std::vector<std::uint32_t>& rank, std::vector<std::uint32_t>& by_rank);

  const Targets& targets_;
  std::span<const double> weights_;
  std::span<const std::uint32_t> codes_;
  bool regression_ = false;
  std::uint64_t n_classes_ = 0;
  std::uint64_t n_orders_ = 1;
  std::size_t n_categories_ = 0;
  std::vector<std::uint32_t> index_of_;  // by code, up to the largest category
  // Sums of the part: per category its weight, per order and category its
  // target sum; the part's totals.
  std::vector<double> weight_;
  std::vector<double> target_;  // order-major
  std::vector<double> total_target_;
  double total_weight_ = 0.0;
  std::vector<double> statistic_;
};

}  // namespace quor
