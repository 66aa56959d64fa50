// The order set splits cut: on the samples that order the categories, the
// best of its prefixes is the best of all two-way groupings of the
// categories, for squared error and for two classes under Gini and entropy.
// The groupings are enumerated one by one and scored from the definition.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>

#include "category_order.hpp"
#include "reference.hpp"

namespace quor {
namespace {

using quor::testing::Ids;
using quor::testing::reference_weighted_impurity;
using quor::testing::side_weight;

enum class OrderCase { Mse, Gini, Entropy };

/// The weighted impurity decrease of sending the samples whose category is
/// in `left` (a mask over the category indices) left.
double decrease(const Task& task, const Targets& targets, const std::vector<double>& weights, const Ids& samples,
                const std::vector<std::uint32_t>& index_of_sample, std::uint64_t left) {
  Ids l, r;
  for (std::size_t i = 0; i < samples.size(); ++i) (((left >> index_of_sample[i]) & 1u) != 0 ? l : r).push_back(samples[i]);
  const double w = side_weight(weights, samples);
  const double wl = side_weight(weights, l);
  return reference_weighted_impurity(task, targets, weights, samples) -
         (wl * reference_weighted_impurity(task, targets, weights, l) +
          (w - wl) * reference_weighted_impurity(task, targets, weights, r)) /
             w;
}

class GroupingTest : public ::testing::TestWithParam<std::tuple<OrderCase, bool, std::uint64_t>> {};

TEST_P(GroupingTest, PrefixesOfTheOrderHoldTheBestGrouping) {
  const auto [c, weighted, seed] = GetParam();
  std::mt19937_64 rng(seed);
  const Task task = c == OrderCase::Mse    ? Task{RegressionTask{Criterion::regression("mse")}}
                    : c == OrderCase::Gini ? Task{ClassificationTask{Criterion::classification("gini"), 2}}
                                      : Task{ClassificationTask{Criterion::classification("entropy"), 2}};
  const std::size_t K = 2 + rng() % 8;
  const std::size_t n = K + rng() % 80;
  std::vector<std::uint32_t> categories(K);
  for (std::size_t i = 0; i < K; ++i) categories[i] = static_cast<std::uint32_t>(i * 3 + rng() % 3);
  // Every category present; each its own level of the target.
  std::vector<std::uint32_t> codes(n);
  std::vector<std::uint32_t> index(n);
  std::vector<double> level(K);
  for (auto& l : level) l = static_cast<double>(rng() % 10) / 10.0;
  Targets targets;
  std::vector<double> weights;
  for (std::size_t s = 0; s < n; ++s) {
    index[s] = static_cast<std::uint32_t>(s < K ? s : rng() % K);
    codes[s] = categories[index[s]];
    targets.values.push_back(static_cast<double>(rng() % 10) * level[index[s]] + static_cast<double>(rng() % 3));
    targets.labels.push_back(static_cast<double>(rng() % 10) < 10.0 * level[index[s]] ? 1 : 0);
    if (weighted) weights.push_back(static_cast<double>(1 + rng() % 16) / 4.0);
  }
  Ids samples(n);
  for (std::size_t s = 0; s < n; ++s) samples[s] = s;

  CategoryRanker ranker(task, targets, weights, codes, categories);
  std::vector<std::uint32_t> rank, by_rank;
  ranker.rank(samples, [](std::uint64_t) { return true; }, rank, by_rank);
  ASSERT_EQ(ranker.n_orders(), 1u);
  double best_prefix = -INFINITY;
  std::uint64_t prefix = 0;
  for (std::size_t j = 0; j + 1 < K; ++j) {
    prefix |= std::uint64_t{1} << by_rank[j];
    best_prefix = std::max(best_prefix, decrease(task, targets, weights, samples, index, prefix));
  }
  double best_any = -INFINITY;
  // Every grouping once: category K - 1 always right.
  for (std::uint64_t left = 1; left < (std::uint64_t{1} << (K - 1)); ++left) {
    best_any = std::max(best_any, decrease(task, targets, weights, samples, index, left));
  }
  EXPECT_GE(best_prefix, best_any - 1e-12 * std::max(1.0, std::fabs(best_any))) << K << " categories";
}

INSTANTIATE_TEST_SUITE_P(RandomData, GroupingTest,
                         ::testing::Combine(::testing::Values(OrderCase::Mse, OrderCase::Gini, OrderCase::Entropy), ::testing::Bool(),
                                            ::testing::Range<std::uint64_t>(1, 41)));

}  // namespace
}  // namespace quor
