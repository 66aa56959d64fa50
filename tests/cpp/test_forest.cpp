#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <tuple>

#include "errors.hpp"
#include "estimator.hpp"
#include "forest.hpp"
#include "forest_dump.hpp"
#include "fast_grower.hpp"
#include "folds.hpp"
#include "fast_search.hpp"
#include "input.hpp"
#include "interrupt.hpp"
#include "random_data.hpp"
#include "same_tree.hpp"
#include "sampling.hpp"

namespace quor {
namespace {

// ---- draws ----

TEST(ForestDraws, FeaturesAreDistinctAscendingAndAFunctionOfTheKeyAlone) {
  std::vector<std::size_t> a, b;
  std::set<std::vector<std::size_t>> seen;
  for (std::uint64_t key = 0; key < 200; ++key) {
    draw_features(child_node_key(root_node_key(7), key % 2 == 0) ^ key, 30, 5, a);
    draw_features(child_node_key(root_node_key(7), key % 2 == 0) ^ key, 30, 5, b);
    EXPECT_EQ(a, b);
    ASSERT_EQ(a.size(), 5u);
    EXPECT_TRUE(std::is_sorted(a.begin(), a.end()));
    EXPECT_EQ(std::set<std::size_t>(a.begin(), a.end()).size(), 5u);
    EXPECT_LT(a.back(), 30u);
    seen.insert(a);
  }
  EXPECT_GT(seen.size(), 150u);  // different nodes draw differently
  for (const std::uint64_t all : {0, 30, 31}) {
    draw_features(3, 30, all, a);
    ASSERT_EQ(a.size(), 30u);
    for (std::size_t f = 0; f < 30; ++f) EXPECT_EQ(a[f], f);
  }
  EXPECT_NE(child_node_key(5, true), child_node_key(5, false));
}

TEST(ForestDraws, RowsAscendingWithTheRequestedCount) {
  for (const std::uint64_t m : {0, 1, 37, 100, 250}) {
    const std::vector<std::uint32_t> rows = draw_rows(9, 100, m);
    EXPECT_EQ(rows.size(), m == 0 ? 100u : std::min<std::uint64_t>(m, 100));
    EXPECT_TRUE(std::adjacent_find(rows.begin(), rows.end(), std::greater_equal<>()) == rows.end());
    EXPECT_LT(rows.back(), 100u);
  }
  EXPECT_EQ(draw_rows(9, 100, 60), draw_rows(9, 100, 60));
  EXPECT_NE(draw_rows(9, 100, 60), draw_rows(10, 100, 60));
}

/// The folds of the root of a tree, as the fast grower assigns them.
std::map<std::uint32_t, std::set<std::uint8_t>> folds_of_rows(std::uint64_t seed) {
  const std::vector<std::uint32_t> run = draw_rows(seed, 300, 0);
  std::vector<std::uint32_t> positions;
  std::vector<std::uint8_t> fold_ids;
  fold_order(run.size(), 5, 42, true, positions, fold_ids);
  EXPECT_TRUE(std::is_sorted(fold_ids.begin(), fold_ids.end()));  // folds stay contiguous
  std::map<std::uint32_t, std::set<std::uint8_t>> folds;
  for (std::size_t p = 0; p < positions.size(); ++p) folds[run[positions[p]]].insert(fold_ids[p]);
  return folds;
}

TEST(ForestDraws, NoRowOnBothSidesOfAFold) {
  // A row in two folds is trained on by one and held out by the other.
  std::size_t rows_in_two_folds = 0;
  for (std::uint64_t seed = 0; seed < 5; ++seed) {
    for (const auto& [row, folds] : folds_of_rows(seed)) rows_in_two_folds += folds.size() > 1;
  }
  EXPECT_EQ(rows_in_two_folds, 0u);
}

// ---- forests ----

/// n × 5 training data: columns 0, 1, 3, 4 continuous (ties, NaN, ±inf),
/// column 2 categorical; targets explained in part by columns 0 and 2.
struct ForestProblem {
  std::vector<double> x;
  std::size_t n = 0;
  std::size_t d = 5;
  std::vector<double> y;
  std::vector<std::int64_t> labels;

  MatrixView matrix() const {
    return {reinterpret_cast<const char*>(x.data()), n, d, static_cast<std::ptrdiff_t>(d * sizeof(double)),
            sizeof(double)};
  }
};

ForestProblem forest_problem(std::uint64_t seed, std::size_t n) {
  std::mt19937_64 rng(seed);
  ForestProblem p;
  p.n = n;
  std::vector<FeatureColumn> columns;
  for (std::size_t f = 0; f < p.d; ++f) {
    columns.push_back(f == 2 ? testing::random_categorical(rng, n, 4) : testing::random_continuous(rng, n, 40));
  }
  p.x.resize(n * p.d);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t f = 0; f < p.d; ++f) {
      p.x[i * p.d + f] = f == 2 ? (columns[f].codes[i] == kMissingCode ? -1.0 : columns[f].codes[i])
                                : columns[f].values[i];
    }
    const double signal = std::isfinite(columns[0].values[i]) ? columns[0].values[i] : 5.0;
    p.y.push_back(signal * 3.0 + (columns[2].codes[i] % 2) * 4.0 + static_cast<double>(rng() % 7));
    p.labels.push_back(rng() % 4 == 0 ? static_cast<std::int64_t>(rng() % 3) : (signal < -1.0 ? 0 : signal < 2.0 ? 1 : 2));
  }
  return p;
}

/// The three tasks of the raw classes.
enum class EstimatorKind { Regressor, Classifier, ObjectiveClassifier };

Settings forest_settings(EstimatorKind kind, SplitMode mode) {
  SettingsOptions options;
  options.n_classes = 3;
  options.criterion = kind == EstimatorKind::Regressor ? "mse" : "gini";
  options.objective = "f1";
  options.average = "macro";
  options.mode = mode == SplitMode::Fast ? "fast" : "strict";
  options.split_style = "threshold";
  options.aggregator = "mean";
  options.config.n_bins = 16;
  options.config.cv_folds = 3;
  options.categorical = {2};
  switch (kind) {
    case EstimatorKind::Regressor: return build_settings<RegressionTask>(options);
    case EstimatorKind::Classifier: return build_settings<ClassificationTask>(options);
    case EstimatorKind::ObjectiveClassifier: break;
  }
  return build_settings<ObjectiveTask>(options);
}

Targets targets_of(const ForestProblem& p, EstimatorKind kind) {
  if (kind == EstimatorKind::Regressor) {
    return regression_targets(VectorView<double>{reinterpret_cast<const char*>(p.y.data()), p.n});
  }
  return classification_targets(VectorView<std::int64_t>{reinterpret_cast<const char*>(p.labels.data()), p.n});
}

using testing::expect_same_tree;

bool same_bits(std::span<const double> a, std::span<const double> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](double u, double v) { return std::bit_cast<std::uint64_t>(u) == std::bit_cast<std::uint64_t>(v); });
}

class ForestThreadsTest : public ::testing::TestWithParam<std::tuple<EstimatorKind, SplitMode>> {};

TEST_P(ForestThreadsTest, SameForestOnAnyNumberOfThreads) {
  const auto [kind, mode] = GetParam();
  const ForestProblem p = forest_problem(3, 300);
  const Settings settings = forest_settings(kind, mode);
  const ForestData data = prepare_forest_data(settings, p.matrix(), targets_of(p, kind), 2);
  ForestOptions options;
  options.max_features = 2;
  options.max_samples = 220;
  options.oob = true;
  const std::vector<std::uint64_t> seeds = {11, 12, 13, 14, 15, 16, 17};
  const Forest one = grow_forest(settings, data, seeds, options, 1);
  const std::size_t k = settings.is_classifier() ? 3 : 0;
  // Prediction rows: the training rows many times over, enough for threads.
  ForestProblem many = p;
  for (int copy = 0; copy < 40; ++copy) many.x.insert(many.x.end(), p.x.begin(), p.x.end());
  many.n = many.x.size() / p.d;
  std::vector<double> expected(many.n * std::max<std::size_t>(k, 1));
  predict_forest(one.trees, many.matrix(), k, expected, 1);
  for (const std::uint64_t threads : {2, 3, 16}) {
    const Forest other = grow_forest(settings, data, seeds, options, threads);
    ASSERT_EQ(other.trees.size(), seeds.size());
    for (std::size_t t = 0; t < seeds.size(); ++t) expect_same_tree(unpack_tree(one.trees[t], settings.categorical), unpack_tree(other.trees[t], settings.categorical));
    EXPECT_TRUE(same_bits(one.oob_prediction, other.oob_prediction));
    std::vector<double> predicted(expected.size());
    predict_forest(other.trees, many.matrix(), k, predicted, threads);
    EXPECT_TRUE(same_bits(expected, predicted));
  }
  // Every tree is the one-tree forest of its seed, and its out-of-bag rows
  // are those the tree's draw left out.
  const Forest first = grow_forest(settings, data, std::span(seeds).first(1), options, 1);
  expect_same_tree(unpack_tree(first.trees[0], settings.categorical), unpack_tree(one.trees[0], settings.categorical));
  const std::size_t width = std::max<std::size_t>(k, 1);
  std::vector<double> tree_prediction(p.n * width);
  predict_forest(first.trees, p.matrix(), k, tree_prediction, 1);
  std::vector<std::uint8_t> in_bag(p.n, 0);
  for (const std::uint32_t r : draw_rows(seeds[0], p.n, options.max_samples)) in_bag[r] = 1;
  for (std::size_t r = 0; r < p.n; ++r) {
    for (std::size_t c = 0; c < width; ++c) {
      const double oob = first.oob_prediction[r * width + c];
      if (in_bag[r]) {
        EXPECT_TRUE(std::isnan(oob)) << r;
      } else {
        // Out-of-bag rows are routed from the encoded data, so a fast-mode
        // row must reach the leaf its raw values reach.
        EXPECT_EQ(oob, tree_prediction[r * width + c]) << r;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ForestThreadsTest,
    ::testing::Combine(::testing::Values(EstimatorKind::Regressor, EstimatorKind::Classifier,
                                         EstimatorKind::ObjectiveClassifier),
                       ::testing::Values(SplitMode::Strict, SplitMode::Fast)));

// ---- weights ----

/// The tree with every leaf's weight multiplied by `factor`.
Tree scaled_weights(Tree tree, double factor) {
  for (DecisionNode& node : tree.nodes) node.weight *= factor;
  return tree;
}

/// The trees of two forests, the second's weights divided by `factor`.
void expect_same_forest(const Forest& a, const Forest& b, const Settings& settings, double factor = 1.0) {
  ASSERT_EQ(a.trees.size(), b.trees.size());
  for (std::size_t t = 0; t < a.trees.size(); ++t) {
    expect_same_tree(unpack_tree(a.trees[t], settings.categorical),
                     scaled_weights(unpack_tree(b.trees[t], settings.categorical), 1.0 / factor));
  }
}

/// The settings of `kind` with each criterion its task can have.
std::vector<Settings> weighted_settings(EstimatorKind kind, SplitMode mode) {
  Settings settings = forest_settings(kind, mode);
  std::vector<Settings> out = {settings};
  if (kind == EstimatorKind::Classifier) {
    settings.task = ClassificationTask{Criterion::classification("entropy"), 3};
    out.push_back(settings);
  } else if (kind == EstimatorKind::Regressor && mode == SplitMode::Strict) {
    settings.task = RegressionTask{Criterion::regression("mae")};
    out.push_back(settings);
  }
  return out;
}

class ForestWeightsTest : public ::testing::TestWithParam<std::tuple<EstimatorKind, SplitMode>> {};

// Unit weights are no weights, zero weights are rows left out, and weights
// times a power of two are the same weights: bit for bit, with row draws,
// feature draws and out-of-bag predictions, and with the balancing of each
// tree's drawn classes.
TEST_P(ForestWeightsTest, UnitZeroAndScaledWeights) {
  const auto [kind, mode] = GetParam();
  const ForestProblem p = forest_problem(4, 260);
  std::mt19937_64 rng(17);
  std::vector<double> weights(p.n), with_zeros(p.n);
  for (std::size_t i = 0; i < p.n; ++i) {
    weights[i] = 0.05 + static_cast<double>(rng() % 1000) / 333.0;  // inexact sums: the order matters
    with_zeros[i] = rng() % 4 == 0 ? 0.0 : weights[i];
  }
  ForestProblem kept = p;
  kept.x.clear();
  kept.y.clear();
  kept.labels.clear();
  std::vector<double> kept_weights;
  for (std::size_t i = 0; i < p.n; ++i) {
    if (with_zeros[i] == 0.0) continue;
    kept.x.insert(kept.x.end(), p.x.begin() + i * p.d, p.x.begin() + (i + 1) * p.d);
    kept.y.push_back(p.y[i]);
    kept.labels.push_back(p.labels[i]);
    kept_weights.push_back(with_zeros[i]);
  }
  kept.n = kept.y.size();
  const std::vector<std::uint64_t> seeds = {3, 4, 5};
  for (const Settings& settings : weighted_settings(kind, mode)) {
    for (const bool balanced : {false, true}) {
      if (balanced && kind == EstimatorKind::Regressor) continue;
      ForestOptions options;
      options.max_features = 3;
      options.max_samples = 190;
      options.oob = true;
      options.balanced_subsample = balanced;
      const auto grow = [&](const ForestProblem& q, std::span<const double> w) {
        return grow_forest(settings, prepare_forest_data(settings, q.matrix(), targets_of(q, kind), 1, w), seeds,
                           options, 2);
      };
      const Forest plain = grow(p, {});
      // Unit weights, on the API path and forced through the weighted code.
      const std::vector<double> ones(p.n, 1.0);
      expect_same_forest(plain, grow(p, ones), settings);
      ForestData unit = prepare_forest_data(settings, p.matrix(), targets_of(p, kind), 1);
      unit.weights = ones;
      const Forest forced = grow_forest(settings, unit, seeds, options, 1);
      expect_same_forest(plain, forced, settings);
      EXPECT_TRUE(same_bits(plain.oob_prediction, forced.oob_prediction));
      // Weights times 4.
      const Forest weighted = grow(p, weights);
      std::vector<double> times_four = weights;
      for (double& w : times_four) w *= 4.0;
      expect_same_forest(weighted, grow(p, times_four), settings, 4.0);
      // Rows of weight 0 are rows left out; no tree predicts them out of bag.
      const Forest zeros = grow(p, with_zeros);
      const Forest removed = grow(kept, kept_weights);
      expect_same_forest(removed, zeros, settings);
      const std::size_t width = settings.is_classifier() ? 3 : 1;
      std::vector<double> kept_oob;
      for (std::size_t i = 0; i < p.n; ++i) {
        const auto row = std::span(zeros.oob_prediction).subspan(i * width, width);
        if (with_zeros[i] == 0.0) {
          EXPECT_TRUE(std::all_of(row.begin(), row.end(), [](double v) { return std::isnan(v); }));
        } else {
          kept_oob.insert(kept_oob.end(), row.begin(), row.end());
        }
      }
      EXPECT_TRUE(same_bits(kept_oob, removed.oob_prediction));
    }
  }
}

// A tree of a "balanced_subsample" forest on every row is the tree of its
// rows weighted by n / (n_classes_present · n_of_the_row's_class).
TEST(ForestWeights, BalancedSubsampleOfEveryRowIsTheBalancedWeight) {
  const ForestProblem p = forest_problem(6, 200);
  for (const SplitMode mode : {SplitMode::Strict, SplitMode::Fast}) {
    const Settings settings = forest_settings(EstimatorKind::Classifier, mode);
    std::vector<double> counts(3, 0.0), weights(p.n);
    for (const std::int64_t label : p.labels) ++counts[static_cast<std::size_t>(label)];
    const double present = static_cast<double>(std::count_if(counts.begin(), counts.end(), [](double c) { return c > 0; }));
    for (std::size_t i = 0; i < p.n; ++i) {
      weights[i] = 0.5 * (static_cast<double>(p.n) / (present * counts[static_cast<std::size_t>(p.labels[i])]));
    }
    const std::vector<double> halves(p.n, 0.5);
    ForestOptions balanced;
    balanced.balanced_subsample = true;
    const std::uint64_t seed = 8;
    const auto grow = [&](std::span<const double> w, const ForestOptions& options) {
      return grow_forest(settings,
                         prepare_forest_data(settings, p.matrix(), targets_of(p, EstimatorKind::Classifier), 1, w),
                         std::span(&seed, 1), options, 1);
    };
    const Forest expected = grow(weights, ForestOptions{});
    expect_same_forest(expected, grow(halves, balanced), settings);
    EXPECT_GT(unpack_tree(expected.trees[0], settings.categorical).nodes.size(), 1u);
  }
  const Settings regression = forest_settings(EstimatorKind::Regressor, SplitMode::Fast);
  ForestOptions balanced;
  balanced.balanced_subsample = true;
  EXPECT_THROW(grow_forest(regression,
                           prepare_forest_data(regression, p.matrix(), targets_of(p, EstimatorKind::Regressor), 1),
                           std::vector<std::uint64_t>{1}, balanced, 1),
               ValueError);
}

// min_weight_fraction_leaf: no leaf of a grown tree holds less than the
// fraction of the tree's weight, and a fraction of 0 changes nothing.
TEST(ForestWeights, NoLeafLighterThanMinWeightFractionLeaf) {
  const ForestProblem p = forest_problem(9, 300);
  std::vector<double> weights(p.n);
  for (std::size_t i = 0; i < p.n; ++i) weights[i] = 0.25 * static_cast<double>(1 + i % 9);
  double total = 0.0;
  for (const double w : weights) total += w;
  for (const SplitMode mode : {SplitMode::Strict, SplitMode::Fast}) {
    Settings settings = forest_settings(EstimatorKind::Regressor, mode);
    const ForestData data = prepare_forest_data(settings, p.matrix(), targets_of(p, EstimatorKind::Regressor), 1,
                                                weights);
    const std::uint64_t seed = 2;
    const Tree free = unpack_tree(grow_forest(settings, data, std::span(&seed, 1), ForestOptions{}, 1).trees[0],
                                  settings.categorical);
    settings.config.min_weight_fraction_leaf = 0.1;
    const Tree limited = unpack_tree(grow_forest(settings, data, std::span(&seed, 1), ForestOptions{}, 1).trees[0],
                                     settings.categorical);
    double lightest_free = total;
    for (const DecisionNode& node : free.nodes) {
      if (node.is_leaf()) lightest_free = std::min(lightest_free, node.weight);
    }
    EXPECT_LT(lightest_free, 0.1 * total);  // the limit binds
    for (const DecisionNode& node : limited.nodes) {
      if (node.is_leaf()) {
        EXPECT_GE(node.weight, 0.1 * total);
      }
    }
    EXPECT_GT(limited.nodes.size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ForestWeightsTest,
    ::testing::Combine(::testing::Values(EstimatorKind::Regressor, EstimatorKind::Classifier,
                                         EstimatorKind::ObjectiveClassifier),
                       ::testing::Values(SplitMode::Strict, SplitMode::Fast)));

TEST(ForestGrowth, EveryRowAndEveryFeatureIsTheSingleTree) {
  for (const SplitMode mode : {SplitMode::Strict, SplitMode::Fast}) {
    const ForestProblem p = forest_problem(5, 250);
    Estimator single{forest_settings(EstimatorKind::Classifier, mode), std::nullopt, {}};
    const Settings settings = single.settings;
    fit_estimator(single, p.matrix(), targets_of(p, EstimatorKind::Classifier));
    const ForestData data = prepare_forest_data(settings, p.matrix(), targets_of(p, EstimatorKind::Classifier), 1);
    const std::uint64_t seed = 99;
    const Forest forest = grow_forest(settings, data, std::span(&seed, 1), ForestOptions{}, 1);
    // The forest's tree also carries its held-out credits, the raw class's not.
    Tree grown = unpack_tree(forest.trees[0], settings.categorical);
    EXPECT_TRUE(grown.has_credits);
    EXPECT_FALSE(single.tree->has_credits);
    grown.has_credits = false;
    for (DecisionNode& node : grown.nodes) node.credit_size = 0;
    expect_same_tree(grown, *single.tree);
  }
}

/// The rows of every node of a tree, routed by its stored splits.
std::vector<std::vector<std::uint64_t>> rows_per_node(const Tree& tree, const std::vector<FeatureColumn>& columns,
                                                      std::size_t n) {
  std::vector<std::vector<std::uint64_t>> rows(tree.nodes.size());
  for (std::uint64_t s = 0; s < n; ++s) {
    for (std::size_t at = 0;;) {
      rows[at].push_back(s);
      const DecisionNode& node = tree.nodes[at];
      if (node.is_leaf()) break;
      at = node.split.goes_left(columns[node.split.feature], s) ? node.left : node.right;
    }
  }
  return rows;
}

// Bounds at midpoints: the same tree as at the bins' edges but for the bounds,
// each halfway between the node's finite values on either side of the edge.
// Fast mode reads the gap from its bins: exact when every value has a bin of
// its own (more bins than rows), between the two values otherwise.
TEST(ForestGrowth, MidpointBoundsLieHalfwayBetweenTheNodesValues) {
  const ForestProblem p = forest_problem(8, 250);
  for (const EstimatorKind kind : {EstimatorKind::Regressor, EstimatorKind::Classifier}) {
    for (const auto& [mode, n_bins] : {std::pair{SplitMode::Strict, 16}, std::pair{SplitMode::Fast, 16},
                                       std::pair{SplitMode::Fast, 1000}}) {
      SCOPED_TRACE(::testing::Message() << "kind " << static_cast<int>(kind) << " bins " << n_bins);
      Settings settings = forest_settings(kind, mode);
      settings.config.n_bins = n_bins;
      settings.config.missing = MissingSide::Learn;
      settings.config.split_style = n_bins == 16 && mode == SplitMode::Fast ? SplitStyle::Bin : SplitStyle::Threshold;
      const auto grow = [&](ThresholdPlacement placement) {
        settings.config.threshold_placement = placement;
        const ForestData data = prepare_forest_data(settings, p.matrix(), targets_of(p, kind), 1);
        const std::uint64_t seed = 3;
        return unpack_tree(grow_forest(settings, data, std::span(&seed, 1), ForestOptions{}, 1).trees[0],
                           settings.categorical);
      };
      const Tree at_edges = grow(ThresholdPlacement::Edge);
      Tree halfway = grow(ThresholdPlacement::Midpoint);
      const std::vector<FeatureColumn> columns = columns_from_matrix(p.matrix(), settings.categorical, 1);
      const std::vector<std::vector<std::uint64_t>> rows = rows_per_node(at_edges, columns, p.n);
      ASSERT_EQ(at_edges.nodes.size(), halfway.nodes.size());
      std::size_t moved = 0;
      for (std::size_t i = 0; i < halfway.nodes.size(); ++i) {
        Split& split = halfway.nodes[i].split;
        const Split& edge = at_edges.nodes[i].split;
        if (halfway.nodes[i].is_leaf() || split.is_categorical) continue;
        for (const auto& [bound, edge_bound] : {std::pair{&split.lower, &edge.lower}, std::pair{&split.upper, &edge.upper}}) {
          ASSERT_EQ(bound->has_value(), edge_bound->has_value());
          if (!*bound) continue;
          double below = -std::numeric_limits<double>::infinity();
          double above = std::numeric_limits<double>::infinity();
          for (const std::uint64_t s : rows[i]) {
            const double v = columns[split.feature].values[s];
            if (!std::isfinite(v)) continue;
            if (v < **edge_bound) {
              below = std::max(below, v);
            } else {
              above = std::min(above, v);
            }
          }
          if (!std::isfinite(below) || !std::isfinite(above)) continue;
          EXPECT_GT(**bound, below);
          EXPECT_LE(**bound, above);
          if (mode == SplitMode::Strict || n_bins == 1000) {
            EXPECT_EQ(**bound, below / 2 + above / 2);
          }
          moved += **bound != **edge_bound;
          **bound = **edge_bound;  // the rest of the tree must be the same
        }
      }
      EXPECT_GT(moved, 0u);
      expect_same_tree(halfway, at_edges);
    }
  }
}

/// Replays the growth of a tree grown from `seed` on all n rows: the fast
/// grower's run of samples, partitioned in place as it does, and each node's
/// key. Calls `visit(index, samples, key)` at every split, before its
/// samples are partitioned; nodes come in pre-order (left child first).
template <class Visit>
void replay_forest_splits(const Tree& tree, const std::vector<FeatureColumn>& columns, std::size_t n,
                          std::uint64_t seed, Visit visit) {
  std::vector<std::uint32_t> run(n);
  std::iota(run.begin(), run.end(), std::uint32_t{0});
  struct Pending {
    std::size_t index, begin, end;
    std::uint64_t key;
  };
  std::vector<Pending> stack = {{0, 0, n, root_node_key(seed)}};
  while (!stack.empty()) {
    const Pending at = stack.back();
    stack.pop_back();
    const DecisionNode& node = tree.nodes[at.index];
    if (node.is_leaf()) continue;
    const std::span<std::uint32_t> samples = std::span(run).subspan(at.begin, at.end - at.begin);
    visit(at.index, std::span<const std::uint32_t>(samples), at.key);
    const FeatureColumn& column = columns[node.split.feature];
    const std::size_t n_left =
        partition_in_place(samples, [&](std::uint32_t s) { return node.split.goes_left(column, s); });
    stack.push_back({node.right, at.begin + n_left, at.end, child_node_key(at.key, false)});
    stack.push_back({node.left, at.begin, at.begin + n_left, child_node_key(at.key, true)});
  }
}

// A node splits on the feature it drew, unless that feature gives no finite
// score there: then it searches the others. The tree's growth is replayed
// node by node (the fast grower's runs, partitioned in place as it does), and
// at a node that split on a feature it did not draw, the drawn feature alone
// must have no best split.
TEST(ForestGrowth, EveryNodeSplitsOnAFeatureItDrewUnlessThatOneDoesNotScore) {
  const ForestProblem p = forest_problem(8, 400);
  const Settings settings = forest_settings(EstimatorKind::Regressor, SplitMode::Fast);
  const ForestData data = prepare_forest_data(settings, p.matrix(), targets_of(p, EstimatorKind::Regressor), 1);
  ForestOptions options;
  options.max_features = 1;
  const std::uint64_t seed = 21;
  const Tree tree = unpack_tree(grow_forest(settings, data, std::span(&seed, 1), options, 1).trees[0], settings.categorical);
  const std::vector<FeatureColumn> columns = columns_from_matrix(p.matrix(), settings.categorical);
  const EncodedFeatures& encoded = *data.encoded;
  std::vector<std::size_t> drawn;
  std::vector<double> run_values;
  NodeTargets targets;
  HistogramScratch scratch;
  std::size_t on_drawn = 0, on_others = 0;
  replay_forest_splits(tree, columns, p.n, seed, [&](std::size_t index, std::span<const std::uint32_t> samples,
                                                     std::uint64_t key) {
    draw_features(key, p.d, 1, drawn);
    if (tree.nodes[index].split.feature == drawn[0]) {
      ++on_drawn;
      return;
    }
    ++on_others;
    run_values.clear();
    for (const std::uint32_t s : samples) run_values.push_back(data.targets.values[s]);
    targets.prepare(settings.task, settings.config, samples, run_values, {});
    const FeatureSpec spec = feature_spec(encoded, drawn[0], settings.config.split_style);
    EXPECT_FALSE(best_of_block(settings.task, code_rows(encoded), drawn, std::span(&spec, 1), targets,
                               settings.aggregator, scratch))
        << "node " << index;
  });
  EXPECT_GT(on_drawn, 5u);
  EXPECT_GT(on_others, 0u);
}

// Drawn thresholds: replaying a tree grown with one threshold per node and
// feature, every split on a continuous feature sends left exactly the codes
// up to the one candidate its node drew (the candidates being the codes the
// node's rows hold, but the feature's last); the draw is the tree's own on
// any number of threads, and drawing as many as there are is no draw.
TEST(ForestGrowth, DrawnThresholdsAreTheNodesDraws) {
  for (const EstimatorKind kind : {EstimatorKind::Regressor, EstimatorKind::Classifier, EstimatorKind::ObjectiveClassifier}) {
    const ForestProblem p = forest_problem(12, 500);
    const Settings settings = forest_settings(kind, SplitMode::Fast);
    const ForestData data = prepare_forest_data(settings, p.matrix(), targets_of(p, kind), 1);
    const std::vector<std::uint64_t> seeds = {31, 32, 33};
    ForestOptions options;
    options.max_thresholds = 1;
    const Forest forest = grow_forest(settings, data, seeds, options, 1);
    const Forest threaded = grow_forest(settings, data, seeds, options, 3);
    const EncodedFeatures& encoded = *data.encoded;
    const std::vector<FeatureColumn> columns = columns_from_matrix(p.matrix(), settings.categorical);
    std::size_t checked = 0;
    for (std::size_t t = 0; t < seeds.size(); ++t) {
      const Tree tree = unpack_tree(forest.trees[t], settings.categorical);
      expect_same_tree(tree, unpack_tree(threaded.trees[t], settings.categorical));
      std::vector<std::size_t> drawn;
      replay_forest_splits(tree, columns, p.n, seeds[t], [&](std::size_t index,
                                                             std::span<const std::uint32_t> samples,
                                                             std::uint64_t key) {
        const Split& split = tree.nodes[index].split;
        const std::uint64_t f = split.feature;
        if (!encoded.bins[f].is_continuous) return;
        const std::uint64_t B = feature_spec(encoded, f, settings.config.split_style).n_codes;
        std::set<std::uint32_t> held;
        std::uint32_t last_left = 0;
        for (const std::uint32_t s : samples) {
          const std::uint32_t code = encoded.code(s, f);
          if (code >= B) continue;  // missing
          if (code + 1 < B) held.insert(code);
          if (split.goes_left(columns[f], s)) last_left = std::max(last_left, code);
        }
        const std::vector<std::uint32_t> candidates(held.begin(), held.end());
        draw_subset(threshold_key(key, f), candidates.size(), 1, drawn);
        ASSERT_EQ(drawn.size(), 1u);
        EXPECT_EQ(last_left, candidates[drawn[0]]) << "tree " << t << ", node " << index;
        ++checked;
      });
    }
    EXPECT_GT(checked, 10u);
    ForestOptions every, many;
    many.max_thresholds = 1000;
    const Forest all = grow_forest(settings, data, seeds, every, 1);
    const Forest undrawn = grow_forest(settings, data, seeds, many, 1);
    for (std::size_t t = 0; t < seeds.size(); ++t) {
      expect_same_tree(unpack_tree(all.trees[t], settings.categorical), unpack_tree(undrawn.trees[t], settings.categorical));
    }
  }
  const ForestProblem p = forest_problem(2, 50);
  const Settings strict = forest_settings(EstimatorKind::Regressor, SplitMode::Strict);
  const ForestData data = prepare_forest_data(strict, p.matrix(), targets_of(p, EstimatorKind::Regressor), 1);
  ForestOptions options;
  options.max_thresholds = 2;
  const std::uint64_t seed = 1;
  EXPECT_THROW(grow_forest(strict, data, std::span(&seed, 1), options, 1), ValueError);
}

TEST(ForestGrowth, AForestNeedsATree) {
  const ForestProblem p = forest_problem(2, 50);
  const Settings settings = forest_settings(EstimatorKind::Regressor, SplitMode::Strict);
  const ForestData data = prepare_forest_data(settings, p.matrix(), targets_of(p, EstimatorKind::Regressor), 1);
  EXPECT_THROW(grow_forest(settings, data, {}, ForestOptions{}, 1), ValueError);
}

TEST(ForestInterrupt, AStopAskedForByThePollEndsTheFitOnEveryThread) {
  const ForestProblem p = forest_problem(4, 2000);
  const Settings settings = forest_settings(EstimatorKind::Classifier, SplitMode::Fast);
  const ForestData data = prepare_forest_data(settings, p.matrix(), targets_of(p, EstimatorKind::Classifier), 1);
  const std::vector<std::uint64_t> seeds(400, 5);
  for (const std::uint64_t threads : {1, 2}) {
    int polls = 0;
    Interrupt interrupt([&] { return ++polls == 3; }, std::chrono::milliseconds(0));
    std::atomic<std::uint64_t> done{0};
    EXPECT_THROW(grow_forest(settings, data, seeds, ForestOptions{}, threads, &interrupt, &done), Interrupted);
    EXPECT_EQ(polls, 3);
    EXPECT_LT(done.load(), seeds.size());
  }
  // Without a stop the fit ends normally, however often the poll runs.
  Interrupt never([] { return false; }, std::chrono::milliseconds(0));
  EXPECT_EQ(grow_forest(settings, data, std::span(seeds).first(3), ForestOptions{}, 2, &never).trees.size(), 3u);
}

// ---- packed trees ----

// A packed tree unpacks to the tree it was packed from, node for node and bit
// for bit, and knows its depth and its leaves: trees of every task and mode,
// with category splits and scores.
TEST(PackedTree, UnpacksToTheTreeItWasPackedFrom) {
  const ForestProblem p = forest_problem(7, 300);
  std::size_t category_splits = 0;
  for (const EstimatorKind kind :
       {EstimatorKind::Regressor, EstimatorKind::Classifier, EstimatorKind::ObjectiveClassifier}) {
    for (const SplitMode mode : {SplitMode::Strict, SplitMode::Fast}) {
      Estimator fitted{forest_settings(kind, mode), std::nullopt, {}};
      fit_estimator(fitted, p.matrix(), targets_of(p, kind));
      const Tree& tree = *fitted.tree;
      ASSERT_GT(tree.nodes.size(), 4u);
      for (const DecisionNode& node : tree.nodes) category_splits += !node.is_leaf() && node.split.is_categorical;
      const PackedTree packed = pack_tree(tree, fitted.settings.categorical);
      expect_same_tree(unpack_tree(packed, fitted.settings.categorical), tree);
      EXPECT_EQ(tree_depth(packed), tree_depth(tree));
      EXPECT_EQ(packed.table.n_leaves(), leaf_count(tree));
      EXPECT_EQ(packed.n_nodes(), tree.nodes.size());
    }
  }
  EXPECT_GT(category_splits, 0u);
}

// ---- dumps ----

TEST(ForestDump, RebuildsTheTreesWithTheirSplitScores) {
  const ForestProblem p = forest_problem(6, 300);
  for (const EstimatorKind kind : {EstimatorKind::Regressor, EstimatorKind::Classifier}) {
    const Settings settings = forest_settings(kind, SplitMode::Fast);
    const ForestData data = prepare_forest_data(settings, p.matrix(), targets_of(p, kind), 1);
    ForestOptions options;
    options.max_features = 3;
    options.max_samples = 200;
    const std::vector<std::uint64_t> seeds = {1, 2, 3};
    const Forest forest = grow_forest(settings, data, seeds, options, 2);
    const std::uint64_t n_classes = settings.is_classifier() ? 3 : 0;
    const ForestDump dump = dump_forest(forest.trees, settings.categorical, n_classes);
    const std::vector<PackedTree> rebuilt = rebuild_forest(dump, n_classes, settings.categorical);
    ASSERT_EQ(rebuilt.size(), forest.trees.size());
    for (std::size_t t = 0; t < rebuilt.size(); ++t) {
      expect_same_tree(unpack_tree(rebuilt[t], settings.categorical),
                       unpack_tree(forest.trees[t], settings.categorical));
    }

    ForestDump broken = dump;
    broken.node_offsets.back() -= 1;
    EXPECT_THROW(rebuild_forest(broken, n_classes, settings.categorical), ValueError);
    broken = dump;
    broken.children_left[0] = static_cast<std::int32_t>(dump.node_offsets[1]);  // into the next tree
    EXPECT_THROW(rebuild_forest(broken, n_classes, settings.categorical), ValueError);
    broken = dump;
    std::swap(broken.children_left[0], broken.children_right[0]);  // a tree, but not in pre-order
    EXPECT_THROW(rebuild_forest(broken, n_classes, settings.categorical), ValueError);
    broken = dump;
    broken.split_score.pop_back();
    EXPECT_THROW(rebuild_forest(broken, n_classes, settings.categorical), ValueError);
    // Leaf flags of 2 with no leaf payload: counted as no leaves, they once
    // sent the rebuild past the leaf arrays.
    broken = dump;
    for (std::uint8_t& flag : broken.is_leaf) flag = static_cast<std::uint8_t>(flag * 2);
    broken.leaf_value.clear();
    broken.leaf_class.clear();
    broken.leaf_proba.clear();
    EXPECT_THROW(rebuild_forest(broken, n_classes, settings.categorical), ValueError);
    // A category split on a column the settings do not call categorical.
    broken = dump;
    const auto split = static_cast<std::size_t>(std::find(broken.is_leaf.begin(), broken.is_leaf.end(), 0) -
                                                broken.is_leaf.begin());
    broken.is_categorical[split] = 1;
    broken.feature[split] = 0;
    EXPECT_THROW(rebuild_forest(broken, n_classes, settings.categorical), ValueError);

    // Held-out credits: each broken one way a file could be.
    ASSERT_EQ(dump.held_out_count.size(), dump.is_leaf.size());
    ASSERT_FALSE(dump.held_out_feature.empty());
    const auto leaf = static_cast<std::size_t>(std::find(dump.is_leaf.begin(), dump.is_leaf.end(), 1) -
                                               dump.is_leaf.begin());
    const std::vector<std::function<void(ForestDump&)>> breaks = {
        [](ForestDump& d) { d.held_out_count.pop_back(); },
        [](ForestDump& d) { d.held_out_feature.pop_back(); },
        [](ForestDump& d) { d.held_out_score.push_back(0.0); },
        [](ForestDump& d) { d.held_out_count.clear(); },  // credits without their counts
        [&](ForestDump& d) {  // a leaf with a credit
          d.held_out_count[leaf] = 1;
          d.held_out_feature.push_back(0);
          d.held_out_score.push_back(0.0);
        },
        [&](ForestDump& d) { d.held_out_count[split] = -1; },
        [](ForestDump& d) { d.held_out_feature[0] = -1; },
        [](ForestDump& d) { d.held_out_score[0] = std::numeric_limits<double>::quiet_NaN(); },
        [](ForestDump& d) { d.held_out_score[0] = -std::numeric_limits<double>::infinity(); },
        [&](ForestDump& d) {  // a feature credited twice by one node
          const std::size_t first = static_cast<std::size_t>(
              std::accumulate(d.held_out_count.begin(), d.held_out_count.begin() + static_cast<std::ptrdiff_t>(split), 0));
          ASSERT_GT(d.held_out_count[split], 0);
          d.held_out_count[split] += 1;
          d.held_out_feature.insert(d.held_out_feature.begin() + static_cast<std::ptrdiff_t>(first),
                                    d.held_out_feature[first]);
          d.held_out_score.insert(d.held_out_score.begin() + static_cast<std::ptrdiff_t>(first), 0.0);
        },
    };
    for (std::size_t b = 0; b < breaks.size(); ++b) {
      broken = dump;
      breaks[b](broken);
      EXPECT_THROW(rebuild_forest(broken, n_classes, settings.categorical), ValueError) << "break " << b;
    }
    // Dumps written before the credits: the same trees, without them.
    broken = dump;
    broken.held_out_count.clear();
    broken.held_out_feature.clear();
    broken.held_out_score.clear();
    for (const PackedTree& tree : rebuild_forest(broken, n_classes, settings.categorical)) {
      EXPECT_FALSE(tree.has_credits);
    }
  }
}

}  // namespace
}  // namespace quor
