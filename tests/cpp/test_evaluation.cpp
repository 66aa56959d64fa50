// The strict evaluation computes each candidate's side sums in one pass; the
// oracle here follows the definition literally (re-bin each fold against its
// training values, gather each side's targets, call the criterion) and the two
// must agree bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <tuple>

#include "candidate.hpp"
#include "cross_validation.hpp"
#include "objective.hpp"
#include "random_data.hpp"

namespace quor {
namespace {

using quor::testing::random_categorical;
using quor::testing::random_continuous;
using quor::testing::random_labels;
using quor::testing::random_targets;

struct Fold {
  std::vector<std::uint64_t> train_indices, valid_indices;
};

std::vector<std::uint32_t> fold_codes(const FeatureColumn& column, const Fold& fold,
                                      std::uint64_t n_bins, std::span<const std::uint64_t> samples) {
  std::vector<std::uint32_t> codes;
  if (column.is_categorical) {
    for (const auto s : samples) codes.push_back(column.codes[s]);
    return codes;
  }
  std::vector<double> train_values;
  for (const auto s : fold.train_indices) train_values.push_back(column.values[s]);
  const std::vector<double> edges = quantile_edges(train_values, n_bins);
  for (const auto s : samples) {
    const auto b = bin_of(edges, column.values[s]);
    codes.push_back(b ? static_cast<std::uint32_t>(*b) : kMissingCode);
  }
  return codes;
}

std::vector<std::uint64_t> class_counts(std::span<const std::uint64_t> labels, std::uint64_t n_classes) {
  std::vector<std::uint64_t> counts(n_classes, 0);
  for (const auto c : labels) {
    if (c < n_classes) ++counts[c];
  }
  return counts;
}

std::uint64_t sum(std::span<const std::uint64_t> v) {
  std::uint64_t s = 0;
  for (const auto x : v) s += x;
  return s;
}

/// Fold-score lists per candidate, computed from the definition.
std::vector<std::vector<double>> reference_scores(const SplitContext& ctx, std::uint64_t feature,
                                                  std::span<const std::uint32_t> candidates) {
  const FeatureColumn& column = ctx.features[feature];
  const SideTest test = side_test(ctx.config->split_style, column.is_categorical);
  std::vector<std::vector<double>> lists(candidates.size());
  for (std::uint64_t f = 0; f < ctx.folds->count(); ++f) {
    Fold fold;
    const auto v = ctx.folds->valid(f);
    fold.valid_indices.assign(v.begin(), v.end());
    for (const auto s : ctx.folds->samples) {
      if (std::find(v.begin(), v.end(), s) == v.end()) fold.train_indices.push_back(s);
    }
    if (fold.valid_indices.empty()) continue;
    const auto valid_codes = fold_codes(column, fold, ctx.config->n_bins, fold.valid_indices);
    if (ctx.objective != nullptr) {
      if (fold.train_indices.empty()) continue;
      const auto train_codes = fold_codes(column, fold, ctx.config->n_bins, fold.train_indices);
      const std::uint64_t nc = ctx.objective->n_classes;
      for (std::size_t j = 0; j < candidates.size(); ++j) {
        std::vector<std::uint64_t> tl, tr, vl, vr;
        for (std::size_t i = 0; i < fold.train_indices.size(); ++i) {
          (goes_left(test, train_codes[i], candidates[j]) ? tl : tr).push_back(ctx.labels[fold.train_indices[i]]);
        }
        for (std::size_t i = 0; i < fold.valid_indices.size(); ++i) {
          (goes_left(test, valid_codes[i], candidates[j]) ? vl : vr).push_back(ctx.labels[fold.valid_indices[i]]);
        }
        const auto ctl = class_counts(tl, nc), ctr = class_counts(tr, nc);
        const auto cvl = class_counts(vl, nc), cvr = class_counts(vr, nc);
        if (sum(cvl) == 0 || sum(cvr) == 0 || sum(ctl) == 0 || sum(ctr) == 0) continue;
        lists[j].push_back(objective_fold_gain(ctx.objective->objective, nc, ctl, ctr, cvl, cvr));
      }
      continue;
    }
    const bool regression = ctx.criterion->is_regression();
    std::vector<double> all_y;
    std::vector<std::uint64_t> all_labels;
    for (const auto s : fold.valid_indices) {
      if (regression) all_y.push_back(ctx.y[s]); else all_labels.push_back(ctx.labels[s]);
    }
    const double parent = regression ? ctx.criterion->impurity(all_y) : ctx.criterion->impurity(all_labels);
    const double n = static_cast<double>(fold.valid_indices.size());
    for (std::size_t j = 0; j < candidates.size(); ++j) {
      std::vector<double> ly, ry;
      std::vector<std::uint64_t> ll, rl;
      for (std::size_t i = 0; i < fold.valid_indices.size(); ++i) {
        const bool left = goes_left(test, valid_codes[i], candidates[j]);
        if (regression) (left ? ly : ry).push_back(all_y[i]);
        else (left ? ll : rl).push_back(all_labels[i]);
      }
      const std::size_t nl = regression ? ly.size() : ll.size();
      const std::size_t nr = regression ? ry.size() : rl.size();
      if (nl == 0 || nr == 0) continue;
      const double il = regression ? ctx.criterion->impurity(ly) : ctx.criterion->impurity(ll);
      const double ir = regression ? ctx.criterion->impurity(ry) : ctx.criterion->impurity(rl);
      lists[j].push_back(parent - (static_cast<double>(nr) * ir + static_cast<double>(nl) * il) / n);
    }
  }
  return lists;
}

enum class Task { Mse, Mae, Gini, Entropy, Accuracy, MacroF1, BinaryRecall };

struct Fixture {
  TreeConfig config;
  std::vector<FeatureColumn> columns;
  std::vector<double> y;
  std::vector<std::uint64_t> labels;
  std::vector<std::uint64_t> samples;
  StrictFolds folds;
  Criterion criterion = Criterion::mse();
  std::optional<ObjectiveTask> objective;
  Aggregator aggregator = Aggregator::from_name("trimmed_mean", 0.2, 0.0, 0.0);
  SplitContext context;
};

void build(Fixture& fx, Task task, SplitStyle style, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const std::size_t n_total = 20 + rng() % 150;
  fx.config.n_bins = 1 + rng() % 9;
  fx.config.split_style = style;
  fx.columns.push_back(random_continuous(rng, n_total, 2 + static_cast<int>(rng() % 30)));
  fx.columns.push_back(random_categorical(rng, n_total, 1 + static_cast<int>(rng() % 6)));
  fx.y = random_targets(rng, n_total);
  const std::uint64_t n_classes = 2 + rng() % 3;
  fx.labels = random_labels(rng, n_total, n_classes);
  // A node's samples: a random subset in a random order.
  for (std::uint64_t s = 0; s < n_total; ++s) {
    if (rng() % 4 != 0) fx.samples.push_back(s);
  }
  std::shuffle(fx.samples.begin(), fx.samples.end(), rng);
  fx.folds = make_folds(fx.samples, rng() % 7, rng(), rng() % 2 == 0);
  switch (task) {
    case Task::Mse: fx.criterion = Criterion::regression("mse"); break;
    case Task::Mae: fx.criterion = Criterion::regression("mae"); break;
    case Task::Gini: fx.criterion = Criterion::classification("gini", n_classes); break;
    case Task::Entropy: fx.criterion = Criterion::classification("entropy", n_classes); break;
    case Task::Accuracy:
      fx.objective = ObjectiveTask{Objective::accuracy(), n_classes, Criterion::gini(n_classes)};
      break;
    case Task::MacroF1:
      fx.objective = ObjectiveTask{Objective::from_name("f1", AverageMode::Macro, 0, 1.0), n_classes,
                                   Criterion::gini(n_classes)};
      break;
    case Task::BinaryRecall:
      fx.objective = ObjectiveTask{Objective::from_name("recall", AverageMode::Binary, 1, 1.0),
                                   n_classes, Criterion::gini(n_classes)};
      break;
  }
  SplitContext& ctx = fx.context;
  ctx.config = &fx.config;
  ctx.features = fx.columns;
  ctx.criterion = &fx.criterion;
  ctx.objective = fx.objective ? &*fx.objective : nullptr;
  ctx.y = fx.y;
  ctx.labels = fx.labels;
  ctx.samples = fx.samples;
  ctx.folds = &fx.folds;
  ctx.aggregator = &fx.aggregator;
}

class EvaluateFeatureTest
    : public ::testing::TestWithParam<std::tuple<Task, SplitStyle, std::uint64_t>> {};

TEST_P(EvaluateFeatureTest, MatchesDefinitionBitForBit) {
  const auto [task, style, seed] = GetParam();
  Fixture fx;
  build(fx, task, style, seed);
  for (std::uint64_t feature = 0; feature < fx.columns.size(); ++feature) {
    const auto candidates = split_candidates(fx.columns[feature], fx.samples, fx.config.n_bins);
    const auto expected = reference_scores(fx.context, feature, candidates);
    const auto records = evaluate_feature(fx.context, feature);
    ASSERT_EQ(records.size(), candidates.size());
    for (std::size_t j = 0; j < records.size(); ++j) {
      EXPECT_EQ(records[j].feature, feature);
      EXPECT_EQ(records[j].code, candidates[j]);
      EXPECT_EQ(records[j].stats.n_folds, fx.folds.count());
      ASSERT_EQ(records[j].stats.scores.size(), expected[j].size()) << "candidate " << j;
      for (std::size_t k = 0; k < expected[j].size(); ++k) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(records[j].stats.scores[k]),
                  std::bit_cast<std::uint64_t>(expected[j][k]))
            << "candidate " << j << " fold score " << k << ": " << records[j].stats.scores[k]
            << " vs " << expected[j][k];
      }
      const double score = fx.aggregator.aggregate(fold_stats(expected[j], fx.folds.count()));
      EXPECT_EQ(std::bit_cast<std::uint64_t>(records[j].score), std::bit_cast<std::uint64_t>(score));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    RandomNodes, EvaluateFeatureTest,
    ::testing::Combine(::testing::Values(Task::Mse, Task::Mae, Task::Gini, Task::Entropy,
                                         Task::Accuracy, Task::MacroF1, Task::BinaryRecall),
                       ::testing::Values(SplitStyle::Threshold, SplitStyle::Bin),
                       ::testing::Range<std::uint64_t>(1, 13)));

TEST(EvaluateFeature, AllMissingFeatureGivesNoRecords) {
  Fixture fx;
  build(fx, Task::Mse, SplitStyle::Threshold, 99);
  for (auto& v : fx.columns[0].values) v = std::numeric_limits<double>::quiet_NaN();
  for (auto& c : fx.columns[1].codes) c = kMissingCode;
  EXPECT_TRUE(evaluate_feature(fx.context, 0).empty());
  EXPECT_TRUE(evaluate_feature(fx.context, 1).empty());
}

// Under the threshold test the node's last bin holds every finite value, so
// on the folds it separates exactly the finite values (left) from the missing
// ones (right), and the missing values count in the parent impurity.
TEST(EvaluateFeature, LastBinSeparatesMissingValuesOnEveryFold) {
  TreeConfig config;
  config.n_bins = 2;
  FeatureColumn column;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  column.values = {1, 2, nan, 3, 4, nan, 5, 6};
  std::vector<double> y = {0, 0, 100, 0, 0, 100, 0, 0};
  std::vector<std::uint64_t> samples = {0, 1, 2, 3, 4, 5, 6, 7};
  const auto folds = make_folds(samples, 2, 0, false);  // {0,1,2,3} and {4,5,6,7}
  const Criterion criterion = Criterion::regression("mse");
  const Aggregator aggregator = Aggregator::mean();
  std::vector<FeatureColumn> columns = {column};
  SplitContext ctx{&config, columns, &criterion, nullptr, y, {}, samples, &folds, &aggregator};
  const auto records = evaluate_feature(ctx, 0);
  ASSERT_EQ(records.size(), 2u);
  ASSERT_EQ(records[1].code, 1u);
  // Each fold: targets {0, 0, 100, 0}: variance 1875, both sides pure.
  ASSERT_EQ(records[1].stats.scores.size(), 2u);
  EXPECT_EQ(records[1].stats.scores[0], 1875.0);
  EXPECT_EQ(records[1].stats.scores[1], 1875.0);
  EXPECT_EQ(records[1].score, 1875.0);
}

}  // namespace
}  // namespace quor
