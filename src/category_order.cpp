#include "category_order.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <variant>

#include "split.hpp"

namespace quor {

namespace {

std::uint64_t classes_of(const Task& task) {
  if (const auto* c = std::get_if<ClassificationTask>(&task)) return c->n_classes;
  if (const auto* o = std::get_if<ObjectiveTask>(&task)) return o->n_classes;
  return 0;
}

}  // namespace

std::uint64_t n_category_orders(const Task& task) {
  if (std::holds_alternative<RegressionTask>(task)) return 1;
  const std::uint64_t n_classes = classes_of(task);
  return n_classes <= 2 ? 1 : n_classes;
}

bool uses_set_splits(const TreeConfig& config, const Task& task, std::span<const std::uint32_t> categories) {
  if (config.categorical_split != CategoricalSplit::Set || categories.empty()) return false;
  if (categories.back() >= kMaxSetCategories) return false;
  // Candidate codes k·K + j stay below the 32-bit codes that mean something else.
  const std::uint64_t n_orders = n_category_orders(task);
  return n_orders <= (std::uint64_t{1} << 31) / categories.size();
}

CategoryRanker::CategoryRanker(const Task& task, const Targets& targets, std::span<const double> weights,
                               std::span<const std::uint32_t> codes, std::span<const std::uint32_t> categories)
    : targets_(targets),
      weights_(weights),
      codes_(codes),
      regression_(std::holds_alternative<RegressionTask>(task)),
      n_classes_(classes_of(task)),
      n_orders_(n_category_orders(task)),
      n_categories_(categories.size()) {
  index_of_.assign(categories.empty() ? 0 : static_cast<std::size_t>(categories.back()) + 1, 0);
  for (std::size_t i = 0; i < categories.size(); ++i) index_of_[categories[i]] = static_cast<std::uint32_t>(i);
}

void CategoryRanker::reset() {
  weight_.assign(n_categories_, 0.0);
  target_.assign(n_orders_ * n_categories_, 0.0);
  total_target_.assign(n_orders_, 0.0);
  total_weight_ = 0.0;
}

void CategoryRanker::add(std::uint64_t sample) {
  const std::uint32_t code = codes_[sample];
  // Missing samples have no category: they are no part of any order.
  if (code >= index_of_.size()) return;
  const std::size_t i = index_of_[code];
  const double w = weights_.empty() ? 1.0 : weights_[sample];
  total_weight_ += w;
  weight_[i] += w;
  if (regression_) {
    const double t = weights_.empty() ? targets_.values[sample] : w * targets_.values[sample];
    total_target_[0] += t;
    target_[i] += t;
    return;
  }
  const std::uint64_t label = targets_.labels[sample];
  // Two classes: the share of class 1; more: each class's share in its order.
  const std::uint64_t order = n_orders_ == 1 ? (label == 1 ? 0 : n_orders_) : label;
  if (order >= n_orders_) return;
  total_target_[order] += w;
  target_[order * n_categories_ + i] += w;
}

void rank_categories(std::span<const double> weight, std::span<const double> target, double total_weight,
                     double total_target, std::span<std::uint32_t> by_rank, std::span<std::uint32_t> rank,
                     std::vector<double>& statistic) {
  const std::size_t K = weight.size();
  statistic.resize(K);
  std::iota(by_rank.begin(), by_rank.end(), std::uint32_t{0});
  // An empty part (weights are positive) orders nothing: ranks by code.
  if (total_weight > 0.0) {
    const double part = total_target / total_weight;
    for (std::size_t i = 0; i < K; ++i) {
      const double s = weight[i] > 0.0 ? target[i] / weight[i] : part;
      // A NaN (sums beyond double's range) ranks last.
      statistic[i] = std::isnan(s) ? std::numeric_limits<double>::infinity() : s;
    }
    std::stable_sort(by_rank.begin(), by_rank.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return statistic[a] < statistic[b]; });
  }
  for (std::size_t r = 0; r < K; ++r) rank[by_rank[r]] = static_cast<std::uint32_t>(r);
}

void CategoryRanker::finish(std::vector<std::uint32_t>& rank, std::vector<std::uint32_t>& by_rank) {
  const std::size_t K = n_categories_;
  rank.resize(n_orders_ * K);
  by_rank.resize(n_orders_ * K);
  for (std::uint64_t k = 0; k < n_orders_; ++k) {
    rank_categories(weight_, std::span<const double>(target_).subspan(k * K, K), total_weight_, total_target_[k],
                    std::span<std::uint32_t>(by_rank).subspan(k * K, K), std::span<std::uint32_t>(rank).subspan(k * K, K),
                    statistic_);
  }
}

}  // namespace quor
