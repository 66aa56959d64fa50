#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "config.hpp"
#include "errors.hpp"
#include "estimator.hpp"
#include "tree_dump.hpp"
#include "tree.hpp"

namespace quor {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(CategoryCode, RoundsHalfAwayFromZeroAndSaturates) {
  const std::pair<double, std::uint32_t> cases[] = {
      {0.0, 0},          {-0.0, 0},          {0.49, 0},
      {0.5, 1},          {2.5, 3},           {3.4, 3},
      {1e12, kMissingCode},              {4294967294.0, 4294967294u},
      {4294967294.5, kMissingCode},      {-0.5, kMissingCode},
      {-1e-300, kMissingCode},           {kNaN, kMissingCode},
      {kInf, kMissingCode},              {-kInf, kMissingCode},
  };
  for (const auto& [v, code] : cases) EXPECT_EQ(category_code(v), code) << v;
}

TEST(Quoted, EscapesQuotesBackslashesAndInvisibleCharacters) {
  EXPECT_EQ(quoted("abc"), "\"abc\"");
  EXPECT_EQ(quoted(""), "\"\"");
  EXPECT_EQ(quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quoted("\n\t\r"), "\"\\n\\t\\r\"");
  EXPECT_EQ(quoted(std::string_view("a\0b", 3)), "\"a\\0b\"");
  EXPECT_EQ(quoted("\x01\x7f"), "\"\\u{1}\\u{7f}\"");
  EXPECT_EQ(quoted("\xc3\xa9t\xc3\xa9"), "\"\xc3\xa9t\xc3\xa9\"");  // printable UTF-8 kept
  EXPECT_EQ(quoted("\xe2\x80\x8b"), "\"\\u{200b}\"");                  // zero-width space
  EXPECT_EQ(quoted("\xff"), "\"\\xff\"");                              // not UTF-8
}

// A random tree built in pre-order through the builder, the way the growers
// and the importer build trees. Recursion is fine for these small trees.
struct RandomTree {
  std::mt19937_64 rng;
  TreeBuilder builder;
  std::uint64_t n_features = 4;

  void grow(std::size_t parent, bool is_left, int depth, bool classification) {
    const std::size_t node = builder.begin_node(parent, is_left);
    if (depth == 0 || rng() % 4 == 0) {
      if (classification) {
        std::vector<double> proba(rng() % 4);
        for (double& p : proba) p = static_cast<double>(rng() % 100) / 100.0;
        builder.make_classification_leaf(node, proba, rng() % 3, rng() % 50);
      } else {
        builder.make_regression_leaf(node, static_cast<double>(rng() % 1000) / 7.0, rng() % 50);
      }
      return;
    }
    Split split;
    split.feature = rng() % n_features;
    if (rng() % 3 == 0) {
      split.is_categorical = true;
      split.category = static_cast<std::uint32_t>(rng() % 4);
    } else {
      const auto bound = [&]() -> std::optional<double> {
        if (rng() % 3 == 0) return std::nullopt;
        return static_cast<double>(static_cast<int>(rng() % 9) - 4) / 2.0;
      };
      split.lower = bound();
      split.upper = bound();
    }
    builder.make_split(node, split);
    grow(node, true, depth - 1, classification);
    grow(node, false, depth - 1, classification);
  }

  Tree make(std::uint64_t seed, bool classification) {
    rng.seed(seed);
    builder = TreeBuilder();
    grow(TreeBuilder::npos, false, 7, classification);
    return std::move(builder).finish();
  }
};

std::uint64_t naive_depth(const Tree& t, std::size_t i) {
  const DecisionNode& n = t.nodes[i];
  return n.is_leaf() ? 0 : 1 + std::max(naive_depth(t, n.left), naive_depth(t, n.right));
}
std::uint64_t naive_leaves(const Tree& t, std::size_t i) {
  const DecisionNode& n = t.nodes[i];
  return n.is_leaf() ? 1 : naive_leaves(t, n.left) + naive_leaves(t, n.right);
}
// The split test written out from its definition.
bool naive_left(const Split& s, const FeatureValue& c) {
  if (s.is_categorical) return c.is_categorical && c.code == s.category;
  const double x = c.value;
  return !c.is_categorical && !std::isnan(x) && !std::isinf(x) && (!s.lower || x >= *s.lower) &&
         (!s.upper || x < *s.upper);
}
std::size_t naive_leaf(const Tree& t, std::size_t i, std::span<const FeatureValue> row) {
  const DecisionNode& n = t.nodes[i];
  if (n.is_leaf()) return i;
  return naive_leaf(t, naive_left(n.split, row[n.split.feature]) ? n.left : n.right, row);
}

// A column-major matrix with some values read backwards (negative row stride).
struct Matrix {
  std::vector<double> data;
  MatrixView view;
  Matrix(std::size_t rows, std::size_t cols, std::uint64_t seed) : data(rows * cols) {
    std::mt19937_64 rng(seed);
    const double specials[] = {kNaN, kInf, -kInf, -0.0};
    for (double& v : data) {
      v = rng() % 10 == 0 ? specials[rng() % 4] : static_cast<double>(static_cast<int>(rng() % 13) - 4) / 2.0;
    }
    view = {reinterpret_cast<const char*>(data.data() + (rows - 1)), rows, cols,
            -static_cast<std::ptrdiff_t>(sizeof(double)),
            static_cast<std::ptrdiff_t>(rows * sizeof(double))};
  }
};

class RandomTrees : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(RandomTrees, WalksMatchTheRecursiveDefinitions) {
  RandomTree gen;
  for (const bool classification : {false, true}) {
    const Tree tree = gen.make(GetParam(), classification);
    EXPECT_EQ(tree_depth(tree), naive_depth(tree, 0));
    EXPECT_EQ(leaf_count(tree), naive_leaves(tree, 0));

    // More rows than one block of prediction, routed by the naive walk.
    const std::vector<std::uint64_t> categorical = {1, 3};
    const Matrix m(9000, 4, GetParam());
    const Rows rows = rows_from_matrix(m.view, categorical);
    std::vector<double> values(m.view.n_rows);
    std::vector<std::int64_t> classes(m.view.n_rows);
    const std::size_t k = 2;
    std::vector<double> proba(m.view.n_rows * k, 0.0);
    predict_values(tree, m.view, categorical, values);
    predict_classes(tree, m.view, categorical, classes);
    predict_probabilities(tree, m.view, categorical, k, proba);
    for (std::size_t r = 0; r < rows.n_rows; ++r) {
      ASSERT_EQ(rows.row(r)[1].code, category_code(m.view.at(r, 1)));
      const DecisionNode& leaf = tree.nodes[naive_leaf(tree, 0, rows.row(r))];
      ASSERT_EQ(&predict_row(tree, rows.row(r)), &leaf);
      ASSERT_EQ(std::bit_cast<std::uint64_t>(values[r]), std::bit_cast<std::uint64_t>(leaf.value));
      ASSERT_EQ(classes[r], static_cast<std::int64_t>(leaf.predicted_class));
      const auto p = tree.proba(leaf);
      for (std::size_t j = 0; j < k; ++j) ASSERT_EQ(proba[r * k + j], j < p.size() ? p[j] : 0.0);
    }
  }
}

TreeDump dump_of(const std::vector<FlatNode>& flat, bool classification) {
  TreeDump d;
  d.proba_offsets.push_back(0);
  for (const FlatNode& n : flat) {
    d.is_leaf.push_back(n.is_leaf);
    d.children_left.push_back(n.children_left);
    d.children_right.push_back(n.children_right);
    d.feature.push_back(n.feature);
    d.is_categorical.push_back(n.is_categorical);
    d.lower.push_back(n.lower);
    d.upper.push_back(n.upper);
    d.category.push_back(n.category);
    d.n_samples.push_back(n.n_samples);
    d.value.push_back(n.value);
    d.predicted_class.push_back(classification ? n.predicted_class : -1);
    d.probas.insert(d.probas.end(), n.proba.begin(), n.proba.end());
    d.proba_offsets.push_back(d.probas.size());
  }
  return d;
}

TEST_P(RandomTrees, FlattenAndRebuildRoundTrip) {
  RandomTree gen;
  for (const bool classification : {false, true}) {
    const Tree tree = gen.make(GetParam() + 100, classification);
    const std::vector<FlatNode> flat = flatten_tree(tree);
    ASSERT_EQ(flat.size(), tree.nodes.size());
    for (std::size_t i = 0; i < flat.size(); ++i) {
      if (flat[i].is_leaf) continue;
      EXPECT_EQ(flat[i].children_left, static_cast<std::int64_t>(i + 1));  // pre-order
      EXPECT_EQ(flat[i].n_samples, flat[static_cast<std::size_t>(flat[i].children_left)].n_samples +
                                       flat[static_cast<std::size_t>(flat[i].children_right)].n_samples);
    }
    const Tree rebuilt = rebuild_tree(dump_of(flat, classification), classification);
    const std::vector<FlatNode> again = flatten_tree(rebuilt);
    ASSERT_EQ(again.size(), flat.size());
    for (std::size_t i = 0; i < flat.size(); ++i) {
      const FlatNode& a = flat[i];
      const FlatNode& b = again[i];
      EXPECT_EQ(a.is_leaf, b.is_leaf);
      EXPECT_EQ(a.children_left, b.children_left);
      EXPECT_EQ(a.children_right, b.children_right);
      EXPECT_EQ(a.feature, b.feature);
      EXPECT_EQ(a.category, b.category);
      EXPECT_EQ(a.n_samples, b.n_samples);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(a.lower), std::bit_cast<std::uint64_t>(b.lower));
      EXPECT_EQ(std::bit_cast<std::uint64_t>(a.upper), std::bit_cast<std::uint64_t>(b.upper));
      if (a.is_leaf && classification) {
        EXPECT_EQ(a.predicted_class, b.predicted_class);
        EXPECT_TRUE(std::equal(a.proba.begin(), a.proba.end(), b.proba.begin(), b.proba.end()));
      } else if (a.is_leaf) {
        EXPECT_EQ(a.value, b.value);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomTrees, ::testing::Range<std::uint64_t>(1, 9));

// Root split on feature 0 with leaves 1 and 2; `edit` breaks it.
TreeDump stump_dump() {
  TreeDump d;
  d.is_leaf = {0, 1, 1};
  d.children_left = {1, -1, -1};
  d.children_right = {2, -1, -1};
  d.feature = {0, -1, -1};
  d.is_categorical = {0, 0, 0};
  d.lower = {-kInf, kNaN, kNaN};
  d.upper = {0.0, kNaN, kNaN};
  d.category = {-1, -1, -1};
  d.n_samples = {0, 1, 2};
  d.value = {kNaN, 1.0, 2.0};
  return d;
}

TEST(RebuildTree, RefusesNodesReachedTwiceAndBadIndices) {
  TreeDump cycle = stump_dump();
  cycle.children_right[0] = 0;
  EXPECT_THROW(rebuild_tree(cycle, false), ValueError);
  TreeDump shared = stump_dump();
  shared.children_right[0] = 1;
  EXPECT_THROW(rebuild_tree(shared, false), ValueError);
  for (const std::int64_t bad : {std::int64_t{-1}, std::int64_t{3}, std::numeric_limits<std::int64_t>::min()}) {
    TreeDump d = stump_dump();
    d.children_left[0] = bad;
    EXPECT_THROW(rebuild_tree(d, false), InternalError) << bad;
  }
  TreeDump short_values = stump_dump();
  short_values.value.pop_back();
  EXPECT_THROW(rebuild_tree(short_values, false), InternalError);
  // Bounds at infinity are absent bounds.
  const Tree t = rebuild_tree(stump_dump(), false);
  EXPECT_FALSE(t.root().split.lower.has_value());
  EXPECT_EQ(t.root().split.upper, 0.0);
  EXPECT_TRUE(std::isnan(t.root().split.score));  // a rebuilt split's score is unknown
}

TEST(PredictRow, SplitFeaturePastTheRowIsAnInternalError) {
  const Tree t = rebuild_tree(stump_dump(), false);
  const std::vector<FeatureValue> empty;
  EXPECT_THROW(predict_row(t, empty), InternalError);
  const std::vector<FeatureValue> row(1);
  EXPECT_EQ(predict_row(t, row).value, 2.0);  // 0.0 is not below 0.0
}

EstimatorOptions options_for(bool regression) {
  EstimatorOptions o;
  o.criterion = regression ? "mae" : "entropy";
  o.objective = "fbeta";
  o.average = "macro";
  o.pos_label = 3;
  o.beta = 0.5;
  o.n_classes = 4;
  o.mode = "fast";
  o.split_style = "bin_membership";
  o.aggregator = "trimmed_mean";
  o.agg_frac = 0.1;
  o.agg_eps = 7.0;
  o.agg_lambda = 9.0;
  o.categorical = {5, 2, 5, 0};
  return o;
}

TEST(BuildEstimator, KeepsOnlyWhatEachOptionNeeds) {
  const Estimator r = build_estimator<RegressionTask>(options_for(true));
  EXPECT_EQ(std::get<RegressionTask>(r.task).criterion.name(), "mae");
  EXPECT_EQ(r.n_classes(), 0u);
  EXPECT_EQ(r.config.mode, SplitMode::Fast);
  EXPECT_EQ(r.config.split_style, SplitStyle::Bin);
  EXPECT_EQ(r.aggregator.kind(), AggregatorKind::TrimmedMean);
  EXPECT_EQ(r.aggregator.parameter(), 0.1);
  EXPECT_EQ(r.categorical, (std::vector<std::uint64_t>{0, 2, 5}));
  EXPECT_FALSE(r.is_fitted());

  const Estimator o = build_estimator<ObjectiveTask>(options_for(false));
  const ObjectiveTask& task = std::get<ObjectiveTask>(o.task);
  EXPECT_EQ(task.objective.kind(), ObjectiveKind::FBeta);
  EXPECT_EQ(task.objective.beta(), 0.5);
  EXPECT_EQ(task.objective.pos_label(), 3u);
  EXPECT_EQ(o.n_classes(), 4u);
  EXPECT_TRUE(o.is_classifier());
}

TEST(RebuiltEstimator, UsesThePlaceholderSettings) {
  const std::vector<std::uint64_t> categorical = {4, 1, 4};
  const Estimator e = rebuilt_estimator<ObjectiveTask>(3, categorical, rebuild_tree(stump_dump(), false));
  EXPECT_EQ(e.config.max_depth, 8u);
  EXPECT_EQ(e.config.n_bins, 8u);
  EXPECT_EQ(e.config.cv_seed, 42u);
  EXPECT_EQ(e.config.mode, SplitMode::Strict);
  EXPECT_EQ(std::get<ObjectiveTask>(e.task).objective.kind(), ObjectiveKind::Accuracy);
  EXPECT_EQ(e.n_classes(), 3u);
  EXPECT_EQ(e.aggregator.kind(), AggregatorKind::Mean);
  EXPECT_EQ(e.categorical, (std::vector<std::uint64_t>{1, 4}));
  EXPECT_TRUE(e.is_fitted());
}

TEST(FitEstimator, ChecksColumnsAndTargetsBeforeGrowing) {
  Estimator e = build_estimator<RegressionTask>(options_for(true));
  const auto message = [&](std::vector<FeatureColumn> columns, std::size_t n_targets) {
    Targets t;
    t.values.assign(n_targets, 0.0);
    try {
      fit_estimator(e, std::move(columns), std::move(t));
    } catch (const ValueError& err) {
      return std::string(err.what());
    }
    return std::string("no error");
  };
  FeatureColumn three{false, {1, 2, 3}, {}};
  FeatureColumn two_codes{true, {}, {1, 2}};
  EXPECT_EQ(message({}, 3), "need at least one feature column");
  EXPECT_EQ(message({three, three, two_codes}, 3), "column 2 has length 2 but expected 3");
  EXPECT_EQ(message({two_codes, three}, 3), "column 1 has length 3 but expected 2");
  EXPECT_EQ(message({three}, 4), "targets length 4 does not match 3 samples");
  EXPECT_EQ(message({FeatureColumn{}}, 0), "need at least one sample");
  EXPECT_FALSE(e.is_fitted());
}

}  // namespace
}  // namespace quor
