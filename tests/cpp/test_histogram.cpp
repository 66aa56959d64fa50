// The histogram searches against a direct computation: for every candidate
// and fold, gather the fold's usable samples, split them, and score.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <tuple>

#include "cross_validation.hpp"
#include "histogram.hpp"
#include "objective.hpp"

namespace quor {
namespace {

struct FastNode {
  std::vector<std::uint16_t> codes;
  std::uint64_t n_codes = 0;
  std::vector<double> y;
  std::vector<std::uint64_t> labels;
  FoldAssignment folds;
};

FastNode random_node(std::uint64_t seed, std::uint64_t n_classes) {
  std::mt19937_64 rng(seed);
  FastNode node;
  const std::size_t n = 5 + rng() % 300;
  node.n_codes = 1 + rng() % 12;
  for (std::size_t i = 0; i < n; ++i) {
    const auto r = rng() % (node.n_codes + 2);
    // Mostly real codes, some missing, some at or past B.
    node.codes.push_back(r < node.n_codes ? static_cast<std::uint16_t>(r)
                                           : (r == node.n_codes ? kMissingFastCode
                                                                : static_cast<std::uint16_t>(node.n_codes)));
    node.y.push_back(static_cast<double>(rng() % 7) - 2.0 + (rng() % 3 == 0 ? 0.25 : 0.0));
    node.labels.push_back(rng() % (n_classes + 1));
  }
  std::vector<std::uint32_t> run;
  for (std::uint32_t s = 0; s < n; ++s) {
    if (rng() % 5 != 0) run.push_back(s);
  }
  if (run.empty()) run.push_back(0);
  node.folds = assign_folds(run, rng() % 9, rng(), rng() % 2 == 0);
  return node;
}

double two_pass_variance(const std::vector<double>& v) {
  double mean = 0.0;
  for (double x : v) mean += x;
  mean /= static_cast<double>(v.size());
  double ss = 0.0;
  for (double x : v) ss += (x - mean) * (x - mean);
  return ss / static_cast<double>(v.size());
}

struct Side {
  std::vector<std::size_t> left, right;  // positions in the sample list
};

/// The fold's usable positions split by candidate b.
Side split_fold(const FastNode& node, std::size_t fold, std::uint64_t b, bool threshold,
                std::uint64_t n_classes) {
  Side side;
  const auto& f = node.folds;
  for (std::size_t i = 0; i < f.sample_indices.size(); ++i) {
    if (f.fold_ids[i] != fold) continue;
    const auto s = f.sample_indices[i];
    const auto code = node.codes[s];
    if (code == kMissingFastCode || code >= node.n_codes) continue;
    if (n_classes > 0 && node.labels[s] >= n_classes) continue;
    const bool left = threshold ? code <= b : code == b;
    (left ? side.left : side.right).push_back(i);
  }
  return side;
}

std::vector<std::uint64_t> expected_codes(const FastNode& node, bool threshold, std::uint64_t n_classes) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t b = 0; b < node.n_codes; ++b) {
    if (threshold && b + 1 == node.n_codes) continue;
    bool present = false;
    for (const auto s : node.folds.sample_indices) {
      if (node.codes[s] == b && (n_classes == 0 || node.labels[s] < n_classes)) present = true;
    }
    if (present) out.push_back(b);
  }
  return out;
}

class HistogramTest : public ::testing::TestWithParam<std::tuple<bool, std::uint64_t>> {};

TEST_P(HistogramTest, RegressionMatchesDirectVarianceReduction) {
  const auto [threshold, seed] = GetParam();
  const FastNode node = random_node(seed, 0);
  HistogramScratch scratch;
  // Dirty scratch from a larger search must not leak into this one.
  const FastNode other = random_node(seed + 1000, 0);
  score_bins_regression(other.codes, 12, other.y, other.folds.sample_indices, other.folds.fold_ids,
                        other.folds.n_folds, 0, Aggregator::mean(), scratch, threshold);
  const auto records = score_bins_regression(node.codes, node.n_codes, node.y, node.folds.sample_indices,
                                             node.folds.fold_ids, node.folds.n_folds, 7,
                                             Aggregator::mean(), scratch, threshold);
  const auto codes = expected_codes(node, threshold, 0);
  ASSERT_EQ(records.size(), codes.size());
  for (std::size_t r = 0; r < records.size(); ++r) {
    EXPECT_EQ(records[r].code, codes[r]);
    EXPECT_EQ(records[r].feature, 7u);
    EXPECT_EQ(records[r].stats.n_folds, node.folds.n_folds);
    std::vector<double> expected;
    for (std::size_t f = 0; f < node.folds.n_folds; ++f) {
      const Side side = split_fold(node, f, codes[r], threshold, 0);
      if (side.left.empty() || side.right.empty()) continue;
      std::vector<double> all, l, rr;
      for (auto i : side.left) l.push_back(node.y[node.folds.sample_indices[i]]);
      for (auto i : side.right) rr.push_back(node.y[node.folds.sample_indices[i]]);
      all = l;
      all.insert(all.end(), rr.begin(), rr.end());
      const double n = static_cast<double>(all.size());
      expected.push_back(two_pass_variance(all) -
                         (rr.size() * two_pass_variance(rr) + l.size() * two_pass_variance(l)) / n);
    }
    ASSERT_EQ(records[r].stats.scores.size(), expected.size()) << "code " << codes[r];
    for (std::size_t k = 0; k < expected.size(); ++k) {
      EXPECT_NEAR(records[r].stats.scores[k], expected[k], 1e-9);
    }
  }
}

TEST_P(HistogramTest, ClassificationMatchesCriterionOnGatheredLabels) {
  const auto [threshold, seed] = GetParam();
  const std::uint64_t n_classes = 2 + seed % 3;
  const FastNode node = random_node(seed, n_classes);
  for (const auto kind : {CriterionKind::Gini, CriterionKind::Entropy}) {
    const Criterion criterion =
        Criterion::classification(kind == CriterionKind::Gini ? "gini" : "entropy", n_classes);
    HistogramScratch scratch;
    const auto records = score_bins_classification(
        node.codes, node.n_codes, node.labels, n_classes, kind, node.folds.sample_indices,
        node.folds.fold_ids, node.folds.n_folds, 3, Aggregator::mean(), scratch, threshold);
    const auto codes = expected_codes(node, threshold, n_classes);
    ASSERT_EQ(records.size(), codes.size());
    for (std::size_t r = 0; r < records.size(); ++r) {
      EXPECT_EQ(records[r].code, codes[r]);
      std::vector<double> expected;
      for (std::size_t f = 0; f < node.folds.n_folds; ++f) {
        const Side side = split_fold(node, f, codes[r], threshold, n_classes);
        if (side.left.empty() || side.right.empty()) continue;
        std::vector<std::uint64_t> all, l, rr;
        for (auto i : side.left) l.push_back(node.labels[node.folds.sample_indices[i]]);
        for (auto i : side.right) rr.push_back(node.labels[node.folds.sample_indices[i]]);
        all = l;
        all.insert(all.end(), rr.begin(), rr.end());
        const double n = static_cast<double>(all.size());
        expected.push_back(criterion.impurity(all) -
                           (static_cast<double>(rr.size()) * criterion.impurity(rr) +
                            static_cast<double>(l.size()) * criterion.impurity(l)) / n);
      }
      ASSERT_EQ(records[r].stats.scores.size(), expected.size());
      for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(records[r].stats.scores[k]),
                  std::bit_cast<std::uint64_t>(expected[k]));
      }
    }
  }
}

TEST_P(HistogramTest, ObjectiveTrainsOnOtherFoldsAndScoresHeldOutFold) {
  const auto [threshold, seed] = GetParam();
  const std::uint64_t n_classes = 2 + seed % 3;
  const FastNode node = random_node(seed, n_classes);
  const ObjectiveTask task{Objective::from_name("f1", AverageMode::Weighted, 0, 1.0), n_classes,
                           Criterion::gini(n_classes)};
  const auto records = score_bins_objective(task, node.codes, node.n_codes, node.labels,
                                            node.folds.sample_indices, node.folds.fold_ids,
                                            node.folds.n_folds, 1, Aggregator::mean(), threshold);
  const auto codes = expected_codes(node, threshold, n_classes);
  ASSERT_EQ(records.size(), codes.size());
  for (std::size_t r = 0; r < records.size(); ++r) {
    std::vector<double> expected;
    for (std::size_t f = 0; f < node.folds.n_folds; ++f) {
      std::vector<std::uint64_t> tl(n_classes), tr(n_classes), vl(n_classes), vr(n_classes);
      for (std::size_t g = 0; g < node.folds.n_folds; ++g) {
        const Side side = split_fold(node, g, codes[r], threshold, n_classes);
        auto& left = g == f ? vl : tl;
        auto& right = g == f ? vr : tr;
        for (auto i : side.left) ++left[node.labels[node.folds.sample_indices[i]]];
        for (auto i : side.right) ++right[node.labels[node.folds.sample_indices[i]]];
      }
      const auto total = [](const std::vector<std::uint64_t>& v) {
        std::uint64_t t = 0;
        for (auto x : v) t += x;
        return t;
      };
      if (total(vl) == 0 || total(vr) == 0 || total(tl) == 0 || total(tr) == 0) continue;
      expected.push_back(objective_fold_gain(task.objective, n_classes, tl, tr, vl, vr));
    }
    ASSERT_EQ(records[r].stats.scores.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) {
      EXPECT_EQ(records[r].stats.scores[k], expected[k]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(RandomNodes, HistogramTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Range<std::uint64_t>(1, 16)));

// One fold, codes 0 and 1 holding targets {1, 1} and {3, 3}: the parent
// variance is 20/4 − 2² = 1 and both sides are pure, so b = 0 scores 1.0.
TEST(Histogram, WorkedRegressionFold) {
  const std::vector<std::uint16_t> codes = {0, 0, 1, 1};
  const std::vector<double> y = {1.0, 1.0, 3.0, 3.0};
  const std::vector<std::uint32_t> samples = {0, 1, 2, 3};
  const std::vector<std::uint8_t> folds = {0, 0, 0, 0};
  HistogramScratch scratch;
  const auto records = score_bins_regression(codes, 2, y, samples, folds, 1, 0, Aggregator::mean(),
                                             scratch, true);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].code, 0u);
  EXPECT_EQ(records[0].stats.scores, std::vector<double>{1.0});
}

// Accuracy, B = 2: a held-out fold with two samples of class 0 at code 0 and
// two of class 1 at code 1, trained on the same pattern: children are always
// right (1.0), the unsplit node predicts class 0 and is right half the time.
TEST(Histogram, WorkedObjectiveFold) {
  const std::vector<std::uint16_t> codes = {0, 0, 1, 1, 0, 0, 1, 1};
  const std::vector<std::uint64_t> labels = {0, 0, 1, 1, 0, 0, 1, 1};
  const std::vector<std::uint32_t> samples = {0, 1, 2, 3, 4, 5, 6, 7};
  const std::vector<std::uint8_t> folds = {0, 0, 0, 0, 1, 1, 1, 1};
  const ObjectiveTask task{Objective::accuracy(), 2, Criterion::gini(2)};
  const auto records = score_bins_objective(task, codes, 2, labels, samples, folds, 2, 0,
                                            Aggregator::mean(), true);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].stats.scores, (std::vector<double>{0.5, 0.5}));
}

TEST(Histogram, DegenerateShapes) {
  const std::vector<std::uint16_t> codes = {0, 0, 0};
  const std::vector<double> y = {1.0, 2.0, 3.0};
  const std::vector<std::uint64_t> labels = {0, 1, 0};
  const std::vector<std::uint32_t> samples = {0, 1, 2};
  const std::vector<std::uint8_t> folds = {0, 0, 1};
  HistogramScratch scratch;
  const auto agg = Aggregator::mean();
  // K = 0 or B = 0: nothing.
  EXPECT_TRUE(score_bins_regression(codes, 0, y, samples, folds, 2, 0, agg, scratch, true).empty());
  EXPECT_TRUE(score_bins_regression(codes, 1, y, samples, folds, 0, 0, agg, scratch, false).empty());
  // B = 1: no threshold candidate; one membership candidate that no fold scores.
  EXPECT_TRUE(score_bins_regression(codes, 1, y, samples, folds, 2, 0, agg, scratch, true).empty());
  const auto membership = score_bins_regression(codes, 1, y, samples, folds, 2, 0, agg, scratch, false);
  ASSERT_EQ(membership.size(), 1u);
  EXPECT_TRUE(membership[0].stats.scores.empty());
  EXPECT_EQ(membership[0].score, -std::numeric_limits<double>::infinity());
  const auto classes =
      score_bins_classification(codes, 1, labels, 2, CriterionKind::Gini, samples, folds, 2, 0, agg,
                                scratch, false);
  ASSERT_EQ(classes.size(), 1u);
  EXPECT_TRUE(classes[0].stats.scores.empty());
  // K = 1: every training side is empty, so the objective scores nothing.
  const ObjectiveTask task{Objective::accuracy(), 2, Criterion::gini(2)};
  const std::vector<std::uint16_t> two_codes = {0, 1, 0};
  const std::vector<std::uint8_t> one_fold = {0, 0, 0};
  const auto objective = score_bins_objective(task, two_codes, 2, labels, samples, one_fold, 1, 0, agg, true);
  ASSERT_EQ(objective.size(), 1u);
  EXPECT_TRUE(objective[0].stats.scores.empty());
}

}  // namespace
}  // namespace quor
