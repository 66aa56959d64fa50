// Confusion counts, the five metrics under four averaging modes, the majority
// rule and the fold gain of a split.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "errors.hpp"
#include "objective.hpp"

namespace quor {
namespace {

using Counts = std::vector<std::uint64_t>;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

Objective make(const char* name, AverageMode average, std::uint64_t pos_label = 0, double beta = 1.0) {
  return Objective::from_name(name, average, pos_label, beta);
}

// A confusion built from a (true class, predicted class) matrix.
ConfusionCounts from_matrix(const std::vector<Counts>& matrix) {
  ConfusionCounts cc(matrix.size());
  std::vector<Counts> by_prediction(matrix.size(), Counts(matrix.size(), 0));
  for (std::size_t t = 0; t < matrix.size(); ++t) {
    for (std::size_t p = 0; p < matrix.size(); ++p) by_prediction[p][t] = matrix[t][p];
  }
  for (std::size_t p = 0; p < matrix.size(); ++p) cc.add(p, by_prediction[p]);
  return cc;
}

ConfusionCounts random_confusion(std::mt19937_64& rng, std::size_t n_classes) {
  std::vector<Counts> matrix(n_classes, Counts(n_classes));
  for (auto& row : matrix) {
    for (auto& x : row) x = (rng() % 3 == 0) ? 0 : rng() % 20;
  }
  return from_matrix(matrix);
}

const AverageMode kAverages[] = {AverageMode::Binary, AverageMode::Micro, AverageMode::Macro, AverageMode::Weighted};

TEST(ConfusionCounts, AddKeepsTheInvariants) {
  std::mt19937_64 rng(1);
  for (int round = 0; round < 50; ++round) {
    const std::size_t n_classes = 1 + rng() % 6;
    const ConfusionCounts cc = random_confusion(rng, n_classes);
    std::uint64_t support = 0, tp = 0, fp = 0, fn = 0;
    for (std::size_t c = 0; c < n_classes; ++c) {
      support += cc.support[c];
      tp += cc.tp[c];
      fp += cc.fp[c];
      fn += cc.fn[c];
      EXPECT_EQ(cc.tp[c] + cc.fn[c], cc.support[c]);
    }
    EXPECT_EQ(support, cc.total);
    EXPECT_EQ(tp + fn, cc.total);
    EXPECT_EQ(fp, fn);
  }
}

TEST(ConfusionCounts, AddOnOneClassAndBadInput) {
  ConfusionCounts cc(3);
  cc.add(1, Counts{2, 5, 0});
  EXPECT_EQ(cc.tp, (Counts{0, 5, 0}));
  EXPECT_EQ(cc.fp, (Counts{0, 2, 0}));
  EXPECT_EQ(cc.fn, (Counts{2, 0, 0}));
  EXPECT_EQ(cc.support, (Counts{2, 5, 0}));
  EXPECT_EQ(cc.total, 7u);
  EXPECT_THROW(cc.add(3, Counts{1, 1, 1}), InternalError);  // prediction past the classes
  EXPECT_THROW(cc.add(0, Counts{1, 1}), InternalError);     // count list too short
}

TEST(MajorityClass, TiesGoLow) {
  EXPECT_EQ(majority_class(Counts{}), 0u);
  EXPECT_EQ(majority_class(Counts{0, 0, 0}), 0u);
  EXPECT_EQ(majority_class(Counts{1, 4, 4, 2}), 1u);
  EXPECT_EQ(majority_class(Counts{1, 2, 3, 3}), 2u);
  EXPECT_EQ(majority_class(Counts{5}), 0u);
}

// Hand-worked confusion, 3 classes; rows are true classes, columns predictions:
//   class 0: 3 right, 1 predicted as 1
//   class 1: 2 right, 2 predicted as 0
//   class 2: never present, never predicted
// tp = [3, 2, 0], fp = [2, 1, 0], fn = [1, 2, 0], support = [4, 4, 0], total 8.
ConfusionCounts worked() { return from_matrix({{3, 1, 0}, {2, 2, 0}, {0, 0, 0}}); }

struct MetricCase {
  const char* name;
  AverageMode average;
  std::uint64_t pos_label;
  double beta;
  double expected;
};

class MetricValues : public testing::TestWithParam<MetricCase> {};

TEST_P(MetricValues, OnWorkedConfusion) {
  const MetricCase& c = GetParam();
  EXPECT_EQ(bits(make(c.name, c.average, c.pos_label, c.beta).score(worked())), bits(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetricValues,
    testing::Values(
        MetricCase{"precision", AverageMode::Binary, 0, 1, 3.0 / 5.0},
        MetricCase{"precision", AverageMode::Binary, 1, 1, 2.0 / 3.0},
        MetricCase{"precision", AverageMode::Binary, 2, 1, 0.0},  // 0 / 0
        MetricCase{"recall", AverageMode::Binary, 1, 1, 2.0 / 4.0},
        MetricCase{"f1", AverageMode::Binary, 0, 1, 6.0 / 9.0},
        MetricCase{"precision", AverageMode::Macro, 0, 1, (-0.0 + 3.0 / 5.0 + 2.0 / 3.0 + 0.0) / 3.0},
        MetricCase{"recall", AverageMode::Macro, 0, 1, (3.0 / 4.0 + 2.0 / 4.0 + 0.0) / 3.0},
        MetricCase{"f1", AverageMode::Weighted, 0, 1, (4.0 * (6.0 / 9.0) + 4.0 * (4.0 / 7.0) + 0.0 * 0.0) / 8.0},
        MetricCase{"precision", AverageMode::Micro, 0, 1, 5.0 / 8.0},
        MetricCase{"fbeta", AverageMode::Binary, 1, 2.0, 5.0 * 2.0 / (1.0 + (4.0 * 2.0 + 5.0 * 2.0))},
        MetricCase{"fbeta", AverageMode::Micro, 0, 0.5, 1.25 * 5.0 / (3.0 + (0.25 * 3.0 + 1.25 * 5.0))},
        MetricCase{"fbeta", AverageMode::Binary, 0, std::numeric_limits<double>::quiet_NaN(), 0.0},
        MetricCase{"accuracy", AverageMode::Macro, 7, 1, 5.0 / 8.0}));

TEST(Objective, MicroAveragesEqualAccuracy) {
  std::mt19937_64 rng(2);
  const Objective accuracy = Objective::accuracy();
  for (int round = 0; round < 200; ++round) {
    const ConfusionCounts cc = random_confusion(rng, 1 + rng() % 5);
    const double a = accuracy.score(cc);
    for (const char* name : {"precision", "recall", "f1"}) {
      EXPECT_EQ(make(name, AverageMode::Micro).score(cc), a) << name;
    }
  }
}

TEST(Objective, FBetaOneIsF1AndFBetaZeroIsPrecision) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 200; ++round) {
    const std::size_t n_classes = 1 + rng() % 5;
    const ConfusionCounts cc = random_confusion(rng, n_classes);
    for (const AverageMode average : kAverages) {
      const std::uint64_t pos = rng() % n_classes;
      EXPECT_EQ(bits(make("fbeta", average, pos, 1.0).score(cc)), bits(make("f1", average, pos).score(cc)));
      EXPECT_EQ(bits(make("fbeta", average, pos, 0.0).score(cc)), bits(make("precision", average, pos).score(cc)));
    }
  }
}

TEST(Objective, FBetaDenominatorInWrittenOrder) {
  // With beta² = 0.1 the two groupings of fp + beta²·fn + (1 + beta²)·tp
  // round differently; the score must use fp + (beta²·fn + (1 + beta²)·tp).
  const double beta = std::sqrt(0.1);
  const double b2 = beta * beta;
  bool seen_difference = false;
  for (std::uint64_t tp = 1; tp < 30; ++tp) {
    for (std::uint64_t fp = 0; fp < 30; ++fp) {
      for (std::uint64_t fn = 0; fn < 30; ++fn) {
        const double written = double(fp) + (b2 * double(fn) + (1.0 + b2) * double(tp));
        const double other = (double(fp) + b2 * double(fn)) + (1.0 + b2) * double(tp);
        if (written == other) continue;
        seen_difference = true;
        // Class 0 of a two-class confusion: fp samples of class 1 predicted 0, fn of class 0 predicted 1.
        const ConfusionCounts cc = from_matrix({{tp, fn}, {fp, 0}});
        ASSERT_EQ(bits(make("fbeta", AverageMode::Binary, 0, beta).score(cc)),
                  bits((1.0 + b2) * double(tp) / written));
      }
    }
  }
  EXPECT_TRUE(seen_difference);
}

TEST(Objective, ZeroDivisionsGiveZero) {
  const ConfusionCounts empty(3);
  for (const char* name : {"precision", "recall", "f1", "fbeta", "accuracy"}) {
    for (const AverageMode average : kAverages) {
      EXPECT_EQ(make(name, average, 1, 2.0).score(empty), 0.0) << name;
    }
  }
  const ConfusionCounts no_classes(0);
  EXPECT_EQ(make("f1", AverageMode::Macro).score(no_classes), 0.0);
  // Everything predicted as class 0: class 1 has no prediction, so its
  // precision is 0 (not NaN) and pulls the macro average down.
  const ConfusionCounts all_zero = from_matrix({{4, 0}, {2, 0}});
  EXPECT_EQ(make("precision", AverageMode::Macro).score(all_zero), (4.0 / 6.0) / 2.0);
  EXPECT_EQ(make("recall", AverageMode::Binary, 1).score(all_zero), 0.0);
}

TEST(Objective, BinaryWithPositiveLabelOutsideTheClasses) {
  std::mt19937_64 rng(4);
  const ConfusionCounts cc = random_confusion(rng, 3);
  for (const char* name : {"precision", "recall", "f1", "fbeta"}) {
    EXPECT_EQ(make(name, AverageMode::Binary, 3).score(cc), 0.0);
    EXPECT_EQ(make(name, AverageMode::Binary, std::numeric_limits<std::uint64_t>::max()).score(cc), 0.0);
    EXPECT_EQ(objective_fold_gain(make(name, AverageMode::Binary, 3), 3, Counts{5, 0, 1}, Counts{0, 4, 1},
                                  Counts{3, 1, 0}, Counts{0, 2, 2}),
              0.0);
  }
}

TEST(FoldGain, TwoPerfectChildrenAgainstATiedNode) {
  // Training sides [2, 0] and [0, 2]: children predict 0 and 1; the node's
  // classes tie, so it predicts 0 and is right half the time.
  const double gain = objective_fold_gain(Objective::accuracy(), 2, Counts{2, 0}, Counts{0, 2}, Counts{2, 0}, Counts{0, 2});
  EXPECT_EQ(gain, 0.5);
  // Mirror the held-out sides: the children are always wrong, the node still half right.
  EXPECT_EQ(objective_fold_gain(Objective::accuracy(), 2, Counts{2, 0}, Counts{0, 2}, Counts{0, 2}, Counts{2, 0}), -0.5);
  // Held-out classes out of balance: the tied node must predict class 0
  // (right 3 times in 4), not class 1.
  EXPECT_EQ(objective_fold_gain(Objective::accuracy(), 2, Counts{2, 0}, Counts{0, 2}, Counts{3, 0}, Counts{0, 1}), 0.25);
  // A tied training side predicts its lower class too: left ties 0/1 → 0.
  EXPECT_EQ(objective_fold_gain(Objective::accuracy(), 2, Counts{1, 1}, Counts{0, 5}, Counts{2, 1}, Counts{0, 1}), 0.25);
}

TEST(FoldGain, ChildrenAgreeingWithTheNodeGainNothing) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 100; ++round) {
    // Class 1 dominates both training sides, so both children and the node predict 1.
    const Counts tl{rng() % 5, 10 + rng() % 5, rng() % 5};
    const Counts tr{rng() % 5, 10 + rng() % 5, rng() % 5};
    const Counts vl{rng() % 6, rng() % 6, 1 + rng() % 6};
    const Counts vr{1 + rng() % 6, rng() % 6, rng() % 6};
    for (const char* name : {"precision", "recall", "f1", "fbeta", "accuracy"}) {
      for (const AverageMode average : kAverages) {
        EXPECT_EQ(objective_fold_gain(make(name, average, 1, 0.7), 3, tl, tr, vl, vr), 0.0);
      }
    }
  }
}

// The gain is the split's confusion scored minus the unsplit one's, where the
// node predicts the majority of the training sides added together (which can
// differ from both children's majorities).
TEST(FoldGain, NodePredictsTheMajorityOfBothSides) {
  // Left trains [3, 0, 4] → 2; right [3, 4, 0] → 1; together [6, 4, 4] → 0.
  const Counts tl{3, 0, 4}, tr{3, 4, 0}, vl{1, 2, 3}, vr{2, 2, 1};
  ConfusionCounts split(3), node(3);
  split.add(2, vl);
  split.add(1, vr);
  node.add(0, Counts{3, 4, 4});
  for (const AverageMode average : kAverages) {
    const Objective f1 = make("f1", average, 2);
    EXPECT_EQ(bits(objective_fold_gain(f1, 3, tl, tr, vl, vr)), bits(f1.score(split) - f1.score(node)));
  }
}

}  // namespace
}  // namespace quor
