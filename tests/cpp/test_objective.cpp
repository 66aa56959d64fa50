// Confusion counts, the metrics under the four averaging modes, the majority
// rule and the fold gain of a split.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <string_view>
#include <cmath>
#include <limits>
#include <random>
#include <type_traits>
#include <vector>

#include "floats.hpp"
#include "errors.hpp"
#include "objective.hpp"
#include "reference.hpp"

namespace quor {
namespace {

using test_floats::bits;

using Counts = std::vector<std::uint64_t>;
const AverageMode kAverages[] = {AverageMode::Binary, AverageMode::Micro, AverageMode::Macro, AverageMode::Weighted};
const char* const kMetrics[] = {"precision", "recall", "f1", "fbeta", "accuracy"};

Objective make(const char* name, AverageMode average, std::uint64_t pos_label = 0, double beta = 1.0) {
  return Objective::from_name(name, average, pos_label, beta);
}

/// One fold's gain of a split by the scorer the searches use: the measure
/// with the split minus the measure of the fold without it, whose training
/// and held-out sides are those of the split's added.
double objective_fold_gain(const Objective& objective, std::uint64_t n_classes, const Counts& train_left,
                           const Counts& train_right, const Counts& valid_left, const Counts& valid_right) {
  Counts train(n_classes), valid(n_classes);
  for (std::uint64_t c = 0; c < n_classes; ++c) {
    train[c] = train_left[c] + train_right[c];
    valid[c] = valid_left[c] + valid_right[c];
  }
  ObjectiveFoldScorer scorer(objective, n_classes);
  return scorer.gain(scorer.unsplit(train, valid), train_left, train_right, valid_left, valid_right);
}

// From a matrix of counts, rows true classes and columns predictions.
ConfusionCounts from_matrix(const std::vector<Counts>& matrix) {
  ConfusionCounts cc(matrix.size());
  for (std::size_t p = 0; p < matrix.size(); ++p) {
    Counts column;
    for (const Counts& row : matrix) column.push_back(row[p]);
    cc.add(p, column);
  }
  return cc;
}

ConfusionCounts random_confusion(std::mt19937_64& rng, std::size_t n_classes) {
  std::vector<Counts> matrix(n_classes, Counts(n_classes));
  for (auto& row : matrix) {
    for (auto& x : row) x = (rng() % 3 == 0) ? 0 : rng() % 20;
  }
  return from_matrix(matrix);
}

TEST(ConfusionCounts, AddAndMajority) {
  ConfusionCounts cc(3);
  cc.add(1, Counts{2, 5, 0});
  EXPECT_TRUE(cc.tp == (Counts{0, 5, 0}) && cc.fp == (Counts{0, 2, 0}) && cc.fn == (Counts{2, 0, 0}));
  EXPECT_TRUE(cc.support == (Counts{2, 5, 0}) && cc.total == 7);
  EXPECT_THROW(cc.add(3, Counts{1, 1, 1}), InternalError);  // prediction past the classes
  EXPECT_THROW(cc.add(0, Counts{1, 1}), InternalError);     // count list too short
  EXPECT_EQ(majority_class(Counts{}), 0u);
  EXPECT_EQ(majority_class(Counts{0, 0, 0}), 0u);
  EXPECT_EQ(majority_class(Counts{1, 4, 4, 2}), 1u);
  EXPECT_EQ(majority_class(Counts{1, 2, 3, 3}), 2u);
}

// tp = [3, 2, 0], fp = [2, 1, 0], fn = [1, 2, 0], support = [4, 4, 0], total 8;
// class 2 is never present nor predicted.
struct MetricCase {
  const char* name;
  AverageMode average;
  std::uint64_t pos_label;
  double beta, expected;
};
class MetricValues : public ::testing::TestWithParam<MetricCase> {};
TEST_P(MetricValues, OnAWorkedConfusion) {
  const MetricCase& c = GetParam();
  const ConfusionCounts cc = from_matrix({{3, 1, 0}, {2, 2, 0}, {0, 0, 0}});
  EXPECT_EQ(bits(make(c.name, c.average, c.pos_label, c.beta).score(cc)), bits(c.expected));
}
INSTANTIATE_TEST_SUITE_P(
    Cases, MetricValues,
    ::testing::Values(
        MetricCase{"precision", AverageMode::Binary, 0, 1, 3.0 / 5.0}, MetricCase{"precision", AverageMode::Binary, 2, 1, 0.0},
        MetricCase{"recall", AverageMode::Binary, 1, 1, 2.0 / 4.0}, MetricCase{"f1", AverageMode::Binary, 0, 1, 6.0 / 9.0},
        MetricCase{"precision", AverageMode::Macro, 0, 1, (3.0 / 5.0 + 2.0 / 3.0 + 0.0) / 3.0},  // class 2 counts 0
        MetricCase{"f1", AverageMode::Weighted, 0, 1, (4.0 * (6.0 / 9.0) + 4.0 * (4.0 / 7.0) + 0.0) / 8.0},
        MetricCase{"precision", AverageMode::Micro, 0, 1, 5.0 / 8.0},
        MetricCase{"fbeta", AverageMode::Binary, 1, 2.0, 5.0 * 2.0 / (1.0 + (4.0 * 2.0 + 5.0 * 2.0))},
        MetricCase{"fbeta", AverageMode::Micro, 0, 0.5, 1.25 * 5.0 / (3.0 + (0.25 * 3.0 + 1.25 * 5.0))},
        MetricCase{"fbeta", AverageMode::Binary, 0, std::numeric_limits<double>::quiet_NaN(), 0.0},
        MetricCase{"accuracy", AverageMode::Macro, 7, 1, 5.0 / 8.0}));

TEST(Objective, IdentitiesOnRandomConfusions) {
  std::mt19937_64 rng(2);
  for (int round = 0; round < 200; ++round) {
    const std::size_t n_classes = 1 + rng() % 5;
    const ConfusionCounts cc = random_confusion(rng, n_classes);
    // Every miss is one false positive and one false negative, so micro = accuracy.
    for (const char* name : {"precision", "recall", "f1"}) EXPECT_EQ(make(name, AverageMode::Micro).score(cc), Objective::accuracy().score(cc));
    for (const AverageMode average : kAverages) {
      const std::uint64_t pos = rng() % n_classes;
      EXPECT_EQ(bits(make("fbeta", average, pos, 1.0).score(cc)), bits(make("f1", average, pos).score(cc)));
      EXPECT_EQ(bits(make("fbeta", average, pos, 0.0).score(cc)), bits(make("precision", average, pos).score(cc)));
    }
    for (const char* name : {"precision", "recall", "f1", "fbeta"}) {  // pos_label outside the classes
      EXPECT_EQ(make(name, AverageMode::Binary, n_classes).score(cc), 0.0);
      EXPECT_EQ(make(name, AverageMode::Binary, std::numeric_limits<std::uint64_t>::max()).score(cc), 0.0);
    }
  }
}

TEST(Objective, FBetaDenominatorInWrittenOrder) {
  // With beta² ≈ 0.1 the two groupings of the denominator round differently.
  const double beta = std::sqrt(0.1), b2 = beta * beta;
  int differences = 0;
  for (std::uint64_t tp = 1; tp < 30; ++tp) {
    for (std::uint64_t fp = 0; fp < 30; ++fp) {
      for (std::uint64_t fn = 0; fn < 30; ++fn) {
        const double written = double(fp) + (b2 * double(fn) + (1.0 + b2) * double(tp));
        if (written == (double(fp) + b2 * double(fn)) + (1.0 + b2) * double(tp)) continue;
        ++differences;
        const ConfusionCounts cc = from_matrix({{tp, fn}, {fp, 0}});
        ASSERT_EQ(bits(make("fbeta", AverageMode::Binary, 0, beta).score(cc)), bits((1.0 + b2) * double(tp) / written));
      }
    }
  }
  EXPECT_GT(differences, 0);
}

TEST(Objective, ZeroDivisionsGiveZero) {
  for (const char* name : kMetrics) {
    for (const AverageMode average : kAverages) EXPECT_EQ(make(name, average, 1, 2.0).score(ConfusionCounts(3)), 0.0) << name;
  }
  EXPECT_EQ(make("f1", AverageMode::Macro).score(ConfusionCounts(0)), 0.0);
  // All predicted as 0: class 1's precision is 0 (not NaN) and pulls the macro average down.
  const ConfusionCounts all_zero = from_matrix({{4, 0}, {2, 0}});
  EXPECT_EQ(make("precision", AverageMode::Macro).score(all_zero), (4.0 / 6.0) / 2.0);
  EXPECT_EQ(make("recall", AverageMode::Binary, 1).score(all_zero), 0.0);
}

TEST(FoldGain, Cases) {
  const Objective acc = Objective::accuracy();
  // Children predict 0 and 1 and are always right; the node's classes tie, so it predicts 0.
  EXPECT_EQ(objective_fold_gain(acc, 2, Counts{2, 0}, Counts{0, 2}, Counts{2, 0}, Counts{0, 2}), 0.5);
  EXPECT_EQ(objective_fold_gain(acc, 2, Counts{2, 0}, Counts{0, 2}, Counts{0, 2}, Counts{2, 0}), -0.5);
  EXPECT_EQ(objective_fold_gain(acc, 2, Counts{2, 0}, Counts{0, 2}, Counts{3, 0}, Counts{0, 1}), 0.25);  // node right 3 in 4
  EXPECT_EQ(objective_fold_gain(acc, 2, Counts{1, 1}, Counts{0, 5}, Counts{2, 1}, Counts{0, 1}), 0.25);  // tied left side → 0
  for (const char* name : {"precision", "recall", "f1", "fbeta"}) {
    EXPECT_EQ(objective_fold_gain(make(name, AverageMode::Binary, 3), 3, Counts{5, 0, 1}, Counts{0, 4, 1}, Counts{3, 1, 0}, Counts{0, 2, 2}), 0.0);
  }
  // The node predicts the majority of both training sides added: [3, 0, 4] → 2, [3, 4, 0] → 1, together → 0.
  const Counts tl{3, 0, 4}, tr{3, 4, 0}, vl{1, 2, 3}, vr{2, 2, 1};
  ConfusionCounts split(3), node(3);
  split.add(2, vl), split.add(1, vr), node.add(0, Counts{3, 4, 4});
  for (const AverageMode average : kAverages) {
    const Objective f1 = make("f1", average, 2);
    EXPECT_EQ(bits(objective_fold_gain(f1, 3, tl, tr, vl, vr)), bits(f1.score(split) - f1.score(node)));
  }
  // Children that predict the node's class gain nothing under every metric.
  std::mt19937_64 rng(5);
  for (int round = 0; round < 50; ++round) {
    const Counts l{rng() % 5, 10 + rng() % 5, rng() % 5}, r{rng() % 5, 10 + rng() % 5, rng() % 5};
    const Counts v1{rng() % 6, rng() % 6, 1 + rng() % 6}, v2{1 + rng() % 6, rng() % 6, rng() % 6};
    for (const char* name : kMetrics) {
      for (const AverageMode average : kAverages) EXPECT_EQ(objective_fold_gain(make(name, average, 1, 0.7), 3, l, r, v1, v2), 0.0);
    }
  }
}

}  // namespace
}  // namespace quor

namespace quor {
namespace {

// Class counts, or class weight sums in quarters (whose sums are exact, so
// that the labels chosen from them cannot depend on the order of additions).
template <class N>
std::vector<N> random_counts(std::mt19937_64& rng, std::size_t n_classes) {
  std::vector<N> counts(n_classes);
  for (auto& x : counts) {
    const std::uint64_t n = rng() % 3 == 0 ? 0 : rng() % 9;
    if constexpr (std::is_same_v<N, double>) {
      x = static_cast<double>(n * (1 + rng() % 8)) / 4.0;
    } else {
      x = n;
    }
  }
  return counts;
}

template <class N>
class MetricLabels : public ::testing::Test {};
using CountTypes = ::testing::Types<std::uint64_t, double>;
TYPED_TEST_SUITE(MetricLabels, CountTypes);

// Under the metric rule the scorer's side labels are the best of every pair
// of classes on the training counts (the first best in class order), the
// unsplit node's the best single class, and the gain is measured with them.
TYPED_TEST(MetricLabels, FoldGainsMatchEveryLabellingTried) {
  using N = TypeParam;
  using V = std::vector<N>;
  std::mt19937_64 rng(11);
  for (const char* metric : kMetrics) {
    for (const AverageMode average : kAverages) {
      for (int trial = 0; trial < 150; ++trial) {
        const std::size_t k = 2 + rng() % 3;
        const Objective objective = make(metric, average, rng() % k, 0.5 + static_cast<double>(rng() % 3));
        const V tl = random_counts<N>(rng, k), tr = random_counts<N>(rng, k);
        const V vl = random_counts<N>(rng, k), vr = random_counts<N>(rng, k);
        V t(k), v(k);
        for (std::size_t c = 0; c < k; ++c) {
          t[c] = tl[c] + tr[c];
          v[c] = vl[c] + vr[c];
        }
        const auto [pl, pr] = testing::reference_metric_labels(objective, k, tl, tr, false);
        const std::uint64_t p0 = testing::reference_metric_labels(objective, k, t, V(k, 0), true).first;
        BasicConfusion<N> with_split(k), without_split(k);
        with_split.add(pl, std::span<const N>(vl));
        with_split.add(pr, std::span<const N>(vr));
        without_split.add(p0, std::span<const N>(v));
        ObjectiveFoldScorer scorer(objective, k, LabelRule::Metric);
        const double unsplit = scorer.unsplit<N>(t, v);
        EXPECT_EQ(bits(unsplit), bits(objective.score(without_split))) << metric;
        EXPECT_EQ(bits(scorer.gain<N>(unsplit, tl, tr, vl, vr)), bits(objective.score(with_split) - unsplit)) << metric;
        BasicConfusion<N> scratch(k);
        const SideLabels chosen = metric_side_labels(objective, scratch, std::span<const N>(tl), std::span<const N>(tr));
        EXPECT_EQ(chosen.left, pl);
        EXPECT_EQ(chosen.right, pr);
      }
    }
  }
}

// With two classes the leaves' labelling reaches the best of all 2^L
// labellings for a binary-averaged metric and for accuracy; with more, it
// never scores below the majority labelling, and changing any single leaf's
// label does not raise it.
TYPED_TEST(MetricLabels, LeafLabelsAreBestOrLocallyBest) {
  using N = TypeParam;
  std::mt19937_64 rng(5);
  for (const char* metric : kMetrics) {
    for (const AverageMode average : kAverages) {
      for (int trial = 0; trial < 40; ++trial) {
        const std::size_t k = trial % 2 == 0 ? 2 : 3;
        const std::size_t n_leaves = 1 + rng() % 7;
        const Objective objective = make(metric, average, 1 % k, 1.0 + static_cast<double>(rng() % 2));
        std::vector<N> flat;
        for (std::size_t l = 0; l < n_leaves; ++l) {
          for (const auto x : random_counts<N>(rng, k)) flat.push_back(x);
        }
        const std::span<const N> leaves(flat);
        const auto score = [&](const std::vector<std::uint64_t>& labels) {
          BasicConfusion<N> counts(k);
          for (std::size_t l = 0; l < n_leaves; ++l) counts.add(labels[l], leaves.subspan(l * k, k));
          return objective.score(counts);
        };
        const std::vector<std::uint64_t> labels = metric_leaf_labels(objective, k, leaves);
        ASSERT_EQ(labels.size(), n_leaves);
        const double got = score(labels);
        std::vector<std::uint64_t> majority(n_leaves);
        for (std::size_t l = 0; l < n_leaves; ++l) majority[l] = majority_class(leaves.subspan(l * k, k));
        EXPECT_GE(got, score(majority));
        for (std::size_t l = 0; l < n_leaves; ++l) {
          for (std::uint64_t c = 0; c < k; ++c) {
            std::vector<std::uint64_t> moved = labels;
            moved[l] = c;
            EXPECT_LE(score(moved), got) << metric;
          }
        }
        const bool exact = k == 2 && (average == AverageMode::Binary || std::string_view(metric) == "accuracy");
        if (!exact) continue;
        double best = 0.0;
        for (std::uint64_t mask = 0; mask < (1u << n_leaves); ++mask) {
          std::vector<std::uint64_t> all(n_leaves);
          for (std::size_t l = 0; l < n_leaves; ++l) all[l] = (mask >> l) & 1;
          best = std::max(best, score(all));
        }
        EXPECT_EQ(bits(got), bits(best)) << metric;
      }
    }
  }
}

}  // namespace
}  // namespace quor
