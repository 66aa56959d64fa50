// The strict search computes each candidate's side sums in one pass over the
// slot tables and sorted lists the grower prepares; the oracle here follows
// the definition literally (re-bin each fold against its training values,
// gather each side's targets, call the criterion or the fold gain) and the
// two must agree bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <set>
#include <tuple>

#include "split.hpp"
#include "strict_search.hpp"
#include "random_data.hpp"
#include "reference.hpp"

namespace quor {
namespace {

using quor::testing::bin_of;

using quor::testing::random_categorical;
using quor::testing::random_continuous;
using quor::testing::random_labels;
using quor::testing::random_targets;
using quor::testing::Ids;
using quor::testing::reference_fold_score;

/// The bin (or category code) of each listed sample; bins against the edges
/// of the `edge_samples`' values.
std::vector<std::uint32_t> codes_of(const FeatureColumn& column, const Ids& edge_samples, std::uint64_t n_bins,
                                    const Ids& samples) {
  std::vector<std::uint32_t> codes;
  if (column.is_categorical) {
    for (const auto s : samples) codes.push_back(column.codes[s]);
    return codes;
  }
  std::vector<double> edge_values;
  for (const auto s : edge_samples) edge_values.push_back(column.values[s]);
  const std::vector<double> edges = quantile_edges(edge_values, n_bins);
  for (const auto s : samples) {
    const auto b = bin_of(edges, column.values[s]);
    codes.push_back(b ? static_cast<std::uint32_t>(*b) : kMissingCode);
  }
  return codes;
}

std::vector<std::uint32_t> reference_candidates(const FeatureColumn& column, const Ids& samples,
                                                std::uint64_t n_bins) {
  const auto codes = codes_of(column, samples, n_bins, samples);
  std::set<std::uint32_t> present(codes.begin(), codes.end());
  present.erase(kMissingCode);
  return {present.begin(), present.end()};
}

struct Node {
  TreeConfig config;
  Task task;
  std::vector<FeatureColumn> columns;
  Targets targets;
  Ids samples;
};

/// Where a reference candidate sends missing codes: right, left, or left
/// alone (every other sample right, whatever the candidate).
enum class Missing { Right, Left, Alone };

/// Under learned sides, a side's "mse" sums are those of its finite samples
/// in validation order, plus those of the missing samples in validation
/// order when it takes them; the fold score from those sums.
std::optional<double> learned_variance_score(const Targets& targets, const Ids& valid, const Ids& left,
                                             const Ids& right, const std::set<std::uint64_t>& missing) {
  const auto sums = [&](const Ids& side, bool of_missing) {
    TargetSums out;
    for (const auto s : side) {
      if (missing.count(s) != (of_missing ? 1u : 0u)) continue;
      ++out.n;
      out.sum += targets.values[s];
      out.sq_sum += targets.values[s] * targets.values[s];
    }
    return out;
  };
  const auto side = [&](const Ids& ids) {
    TargetSums finite = sums(ids, false);
    const TargetSums missed = sums(ids, true);
    if (missed.n == 0) return finite;
    return TargetSums{finite.n + missed.n, finite.sum + missed.sum, finite.sq_sum + missed.sq_sum};
  };
  TargetSums whole;
  for (const auto s : valid) {
    ++whole.n;
    whole.sum += targets.values[s];
    whole.sq_sum += targets.values[s] * targets.values[s];
  }
  return variance_decrease(whole, side(left), side(right));
}

/// Fold-score lists per candidate, from the definition: each fold bins its
/// samples against the edges of its training samples and splits both sides
/// by the side rule, missing codes sent as `missing` says; `learned`, the
/// sides' sums are those of learned sides.
std::vector<std::vector<double>> reference_scores(const Node& node, const StrictFolds& folds, std::uint64_t feature,
                                                  std::span<const std::uint32_t> candidates,
                                                  Missing missing = Missing::Right, bool learned = false) {
  const FeatureColumn& column = node.columns[feature];
  const SideTest test = side_test(node.config.split_style, column.is_categorical);
  const auto goes_left = [&](SideTest t, std::uint32_t code, std::uint32_t candidate) {
    if (code == kMissingCode) return missing != Missing::Right;
    return missing != Missing::Alone && quor::goes_left(t, code, candidate);
  };
  std::vector<std::vector<double>> lists(candidates.size());
  for (std::uint64_t f = 0; f < folds.count(); ++f) {
    const Ids valid(folds.valid(f).begin(), folds.valid(f).end());
    Ids train;
    for (const auto s : folds.samples) {
      if (std::find(valid.begin(), valid.end(), s) == valid.end()) train.push_back(s);
    }
    const auto valid_codes = codes_of(column, train, node.config.n_bins, valid);
    const auto train_codes = codes_of(column, train, node.config.n_bins, train);
    for (std::size_t j = 0; j < candidates.size(); ++j) {
      Ids tl, tr, vl, vr;
      for (std::size_t i = 0; i < train.size(); ++i) (goes_left(test, train_codes[i], candidates[j]) ? tl : tr).push_back(train[i]);
      for (std::size_t i = 0; i < valid.size(); ++i) (goes_left(test, valid_codes[i], candidates[j]) ? vl : vr).push_back(valid[i]);
      const auto* regression = std::get_if<RegressionTask>(&node.task);
      if (learned && regression != nullptr && regression->criterion.kind() != CriterionKind::Mae) {
        std::set<std::uint64_t> missed;
        for (std::size_t i = 0; i < valid.size(); ++i) {
          if (valid_codes[i] == kMissingCode) missed.insert(valid[i]);
        }
        if (const auto score = learned_variance_score(node.targets, valid, vl, vr, missed)) lists[j].push_back(*score);
      } else if (const auto score = reference_fold_score(node.task, node.targets, tl, tr, valid, vl, vr)) {
        lists[j].push_back(*score);
      }
    }
  }
  return lists;
}

enum class StrictCase { Mse, Mae, Gini, Entropy, Accuracy, MacroF1, BinaryRecall };

void set_task(StrictCase c, std::uint64_t n_classes, Task& task) {
  switch (c) {
    case StrictCase::Mse: task = RegressionTask{Criterion::regression("mse")}; break;
    case StrictCase::Mae: task = RegressionTask{Criterion::regression("mae")}; break;
    case StrictCase::Gini: task = ClassificationTask{Criterion::classification("gini"), n_classes}; break;
    case StrictCase::Entropy: task = ClassificationTask{Criterion::classification("entropy"), n_classes}; break;
    case StrictCase::Accuracy: task = ObjectiveTask{Objective::accuracy(), n_classes}; break;
    case StrictCase::MacroF1: task = ObjectiveTask{Objective::from_name("f1", AverageMode::Macro, 0, 1.0), n_classes}; break;
    case StrictCase::BinaryRecall:
      task = ObjectiveTask{Objective::from_name("recall", AverageMode::Binary, 1, 1.0), n_classes};
      break;
  }
}

Node random_node(StrictCase c, SplitStyle style, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Node node;
  const std::size_t n_total = 20 + rng() % 150;
  node.config.n_bins = 1 + rng() % 9;
  node.config.split_style = style;
  node.config.cv_folds = rng() % 7;
  node.config.cv_seed = rng();
  node.config.cv_shuffle = rng() % 2 == 0;
  node.columns.push_back(random_continuous(rng, n_total, 2 + static_cast<int>(rng() % 30)));
  node.columns.push_back(random_categorical(rng, n_total, 1 + static_cast<int>(rng() % 6)));
  node.targets.values = random_targets(rng, n_total);
  const std::uint64_t n_classes = 2 + rng() % 3;
  node.targets.labels = random_labels(rng, n_total, n_classes);
  set_task(c, n_classes, node.task);
  // A node's samples: a random subset in a random order.
  for (std::uint64_t s = 0; s < n_total; ++s) {
    if (rng() % 4 != 0) node.samples.push_back(s);
  }
  std::shuffle(node.samples.begin(), node.samples.end(), rng);
  return node;
}

/// Every feature's scored splits, from a context built as the strict grower builds
/// it (its node preparation, its presorted lists), with the worker's buffers
/// and scratch reused from an earlier, larger node.
std::vector<std::vector<ScoredSplit>> search(const Node& node, StrictNodeData& data, EvaluationScratch& scratch) {
  prepare_node(node.task, node.config, node.targets, node.samples, node.targets.values.size(), data);
  std::vector<std::vector<SortedValue>> sorted(node.columns.size());
  for (std::size_t f = 0; f < node.columns.size(); ++f) {
    if (!node.columns[f].is_categorical) sorted[f] = sort_finite_samples(node.columns[f].values, node.samples);
  }
  const Aggregator aggregator = Aggregator::from_name("trimmed_mean", 0.2, 0.0, 0.0);
  const SplitContext context{node.task, node.config, aggregator, node.columns, node.targets, node.samples, sorted, data};
  std::vector<std::vector<ScoredSplit>> out;
  for (std::size_t f = 0; f < node.columns.size(); ++f) out.push_back(evaluate_feature(context, f, scratch));
  return out;
}

/// The scored splits a node with learned missing sides gives, from the
/// definition: every candidate with missing values right, then each with
/// them left, then (continuous features) missing values alone, each only
/// when some node sample of the feature is missing.
std::vector<ScoredSplit> reference_learned(const Node& node, const StrictFolds& folds, std::uint64_t feature,
                                           const Aggregator& aggregator) {
  const FeatureColumn& column = node.columns[feature];
  const auto candidates = reference_candidates(column, node.samples, node.config.n_bins);
  std::vector<ScoredSplit> out;
  if (candidates.empty()) return out;
  bool any_missing = false;
  for (const auto s : node.samples) {
    any_missing |= column.is_categorical ? column.codes[s] == kMissingCode : !std::isfinite(column.values[s]);
  }
  const auto add = [&](Missing missing, std::span<const std::uint32_t> codes, std::uint32_t code_shown) {
    auto lists = reference_scores(node, folds, feature, codes, missing, any_missing);
    for (std::size_t j = 0; j < codes.size(); ++j) {
      out.push_back(make_scored_split(feature, missing == Missing::Alone ? code_shown : codes[j], lists[j],
                                      folds.count(), aggregator));
      out.back().missing_left = missing == Missing::Left;
    }
  };
  add(Missing::Right, candidates, 0);
  if (!any_missing) return out;
  add(Missing::Left, candidates, 0);
  const std::uint32_t any = candidates.front();
  if (!column.is_categorical) add(Missing::Alone, std::span<const std::uint32_t>(&any, 1), kMissingAlone);
  return out;
}

class LearnedMissingTest : public ::testing::TestWithParam<std::tuple<StrictCase, SplitStyle, std::uint64_t>> {};

TEST_P(LearnedMissingTest, MatchesDefinitionBitForBit) {
  const auto [c, style, seed] = GetParam();
  StrictNodeData data;
  EvaluationScratch scratch;
  Node node = random_node(c, style, seed);
  node.config.missing = MissingSide::Learn;
  const auto scored = search(node, data, scratch);
  const Aggregator aggregator = Aggregator::from_name("trimmed_mean", 0.2, 0.0, 0.0);
  for (std::uint64_t feature = 0; feature < node.columns.size(); ++feature) {
    const auto expected = reference_learned(node, data.folds, feature, aggregator);
    const auto& got = scored[feature];
    ASSERT_EQ(got.size(), expected.size()) << "feature " << feature;
    for (std::size_t j = 0; j < got.size(); ++j) {
      EXPECT_EQ(got[j].code, expected[j].code) << j;
      EXPECT_EQ(got[j].missing_left, expected[j].missing_left) << j;
      EXPECT_EQ(got[j].stats.scores, expected[j].stats.scores) << "candidate " << j;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(got[j].score), std::bit_cast<std::uint64_t>(expected[j].score)) << j;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    RandomNodes, LearnedMissingTest,
    ::testing::Combine(::testing::Values(StrictCase::Mse, StrictCase::Mae, StrictCase::Gini, StrictCase::Entropy, StrictCase::Accuracy,
                                         StrictCase::MacroF1, StrictCase::BinaryRecall),
                       ::testing::Values(SplitStyle::Threshold, SplitStyle::Bin),
                       ::testing::Range<std::uint64_t>(1, 9)));

class StrictSearchTest : public ::testing::TestWithParam<std::tuple<StrictCase, SplitStyle, std::uint64_t>> {};

TEST_P(StrictSearchTest, MatchesDefinitionBitForBit) {
  const auto [c, style, seed] = GetParam();
  StrictNodeData data;
  EvaluationScratch scratch;
  search(random_node(c, style, seed + 100), data, scratch);  // leaves the buffers dirty
  const Node node = random_node(c, style, seed);
  const auto scored = search(node, data, scratch);
  const Aggregator aggregator = Aggregator::from_name("trimmed_mean", 0.2, 0.0, 0.0);
  for (std::uint64_t feature = 0; feature < node.columns.size(); ++feature) {
    const auto candidates = reference_candidates(node.columns[feature], node.samples, node.config.n_bins);
    const auto expected = reference_scores(node, data.folds, feature, candidates);
    const auto& got = scored[feature];
    ASSERT_EQ(got.size(), candidates.size());
    for (std::size_t j = 0; j < got.size(); ++j) {
      EXPECT_EQ(got[j].feature, feature);
      EXPECT_EQ(got[j].code, candidates[j]);
      EXPECT_EQ(got[j].stats.n_folds, data.folds.count());
      ASSERT_EQ(got[j].stats.scores.size(), expected[j].size()) << "candidate " << j;
      for (std::size_t k = 0; k < expected[j].size(); ++k) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got[j].stats.scores[k]), std::bit_cast<std::uint64_t>(expected[j][k]))
            << "candidate " << j << " fold score " << k << ": " << got[j].stats.scores[k] << " vs " << expected[j][k];
      }
      const double score = aggregator.aggregate(fold_stats(expected[j], data.folds.count()));
      EXPECT_EQ(std::bit_cast<std::uint64_t>(got[j].score), std::bit_cast<std::uint64_t>(score));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    RandomNodes, StrictSearchTest,
    ::testing::Combine(::testing::Values(StrictCase::Mse, StrictCase::Mae, StrictCase::Gini, StrictCase::Entropy, StrictCase::Accuracy,
                                         StrictCase::MacroF1, StrictCase::BinaryRecall),
                       ::testing::Values(SplitStyle::Threshold, SplitStyle::Bin),
                       ::testing::Range<std::uint64_t>(1, 13)));

TEST(StrictSearch, AllMissingFeatureGivesNoScoredSplits) {
  Node node = random_node(StrictCase::Mse, SplitStyle::Threshold, 99);
  for (auto& v : node.columns[0].values) v = std::numeric_limits<double>::quiet_NaN();
  for (auto& c : node.columns[1].codes) c = kMissingCode;
  StrictNodeData data;
  EvaluationScratch scratch;
  for (const auto& scored : search(node, data, scratch)) EXPECT_TRUE(scored.empty());
}

// Under the threshold test the node's last bin holds every finite value, so
// on the folds it separates exactly the finite values (left) from the missing
// ones (right), and the missing values count in the parent impurity.
TEST(StrictSearch, LastBinSeparatesMissingValuesOnEveryFold) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Node node;
  node.config.n_bins = 2;
  node.config.cv_folds = 2;
  node.config.cv_shuffle = false;  // folds {0,1,2,3} and {4,5,6,7}
  node.task = RegressionTask{Criterion::regression("mse")};
  node.columns = {FeatureColumn{false, {1, 2, nan, 3, 4, nan, 5, 6}, {}}};
  node.targets.values = {0, 0, 100, 0, 0, 100, 0, 0};
  node.samples = {0, 1, 2, 3, 4, 5, 6, 7};
  StrictNodeData data;
  EvaluationScratch scratch;
  const auto scored = search(node, data, scratch)[0];
  ASSERT_EQ(scored.size(), 2u);
  ASSERT_EQ(scored[1].code, 1u);
  // Each fold: targets {0, 0, 100, 0}: variance 1875, both sides pure.
  EXPECT_EQ(scored[1].stats.scores, (std::vector<double>{1875.0, 1875.0}));
  EXPECT_EQ(scored[1].score, 1875.0);
}

}  // namespace
}  // namespace quor
