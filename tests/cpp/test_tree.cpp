#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>
#include <limits>
#include <random>
#include <vector>

#include "floats.hpp"
#include "config.hpp"
#include "errors.hpp"
#include "estimator.hpp"
#include "routing.hpp"
#include "row_walk.hpp"
#include "tree_dump.hpp"
#include "tree.hpp"

namespace quor {
namespace {

using test_floats::kNaN;
using test_floats::kInf;

using quor::testing::FeatureValue;
using quor::testing::leaf_index;
using quor::testing::predict_row;
using quor::testing::Rows;
using quor::testing::rows_from_matrix;

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
// Bounds and categories include the odd ones a dump can hold (NaN, infinite
// and signed-zero bounds, the missing code, the largest code).
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
      const std::uint32_t odd[] = {kMissingCode, 0, kMissingCode - 1};
      split.is_categorical = true;
      split.category = rng() % 4 == 0 ? odd[rng() % 3] : static_cast<std::uint32_t>(rng() % 4);
    } else {
      const auto bound = [&]() -> std::optional<double> {
        const double odd[] = {kNaN, kInf, -kInf, -0.0};
        if (rng() % 3 == 0) return std::nullopt;
        if (rng() % 8 == 0) return odd[rng() % 4];
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
// The nodes a row passes, root first, by the definition.
std::vector<std::int64_t> naive_path(const Tree& t, std::span<const FeatureValue> row) {
  std::vector<std::int64_t> path = {0};
  for (std::size_t i = 0; !t.nodes[i].is_leaf(); path.push_back(static_cast<std::int64_t>(i))) {
    const DecisionNode& n = t.nodes[i];
    i = naive_left(n.split, row[n.split.feature]) ? n.left : n.right;
  }
  return path;
}

// Values with every kind of cell a split treats apart: NaN, infinities, signed
// zeros, halves (where category codes round), the edges of the largest code
// and of the missing code, and the neighbours of a few of them.
std::vector<double> random_cells(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const double largest = static_cast<double>(kMissingCode - 1);
  const double odd[] = {kNaN, kInf, -kInf, -0.0, 0.0, largest - 0.5, largest + 0.5,
                        std::nextafter(largest + 0.5, 0.0), std::nextafter(0.5, 0.0),
                        std::nextafter(2.5, 0.0), std::nextafter(-0.0, -1.0), 1e300};
  std::vector<double> cells(n);
  for (double& v : cells) {
    v = rng() % 6 == 0 ? odd[rng() % std::size(odd)]
                       : static_cast<double>(static_cast<int>(rng() % 13) - 4) / 2.0;
  }
  return cells;
}

// The same rows × cols matrix (given row-major) in another memory layout.
struct Layout {
  std::vector<char> bytes;
  MatrixView view;
};
enum class Order { C, Fortran, Strided, Reversed, Unaligned };

Layout layout(const std::vector<double>& cells, std::size_t rows, std::size_t cols, Order order) {
  constexpr auto kD = static_cast<std::ptrdiff_t>(sizeof(double));
  const auto r = static_cast<std::ptrdiff_t>(rows);
  const auto c = static_cast<std::ptrdiff_t>(cols);
  std::ptrdiff_t offset = 0, rs = c * kD, cs = kD;
  std::size_t size = rows * cols;
  switch (order) {
    case Order::C: break;
    case Order::Fortran: rs = kD; cs = r * kD; break;
    case Order::Strided: rs = 2 * 3 * c * kD; cs = 3 * kD; size *= 6; break;  // every 2nd row, 3rd column
    case Order::Reversed: rs = -kD; cs = -r * kD; offset = (r * c - 1) * kD; break;  // Fortran, both reversed
    case Order::Unaligned: offset = 1; break;
  }
  Layout out;
  out.bytes.resize(size * sizeof(double) + 1);
  char* origin = out.bytes.data() + offset;
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < cols; ++j) {
      std::memcpy(origin + static_cast<std::ptrdiff_t>(i) * rs + static_cast<std::ptrdiff_t>(j) * cs,
                  &cells[i * cols + j], sizeof(double));
    }
  }
  out.view = {origin, rows, cols, rs, cs};
  return out;
}

class RandomTrees : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(RandomTrees, WalksMatchTheRecursiveDefinitions) {
  RandomTree gen;
  for (const bool classification : {false, true}) {
    const Tree tree = gen.make(GetParam(), classification);
    EXPECT_EQ(tree_depth(tree), naive_depth(tree, 0));
    EXPECT_EQ(leaf_count(tree), naive_leaves(tree, 0));
  }
}

// Batch routing against the walk of one row by the split tests of the model
// (and by their definition), in every memory order, on one thread and on two.
TEST_P(RandomTrees, BatchRoutingMatchesTheSplitTestsInEveryLayout) {
  RandomTree gen;
  constexpr std::size_t kRows = 70000, kCols = 4;  // enough rows for two threads
  const std::vector<double> cells = random_cells(kRows * kCols, GetParam());
  const std::vector<std::uint64_t> categorical = {1, 3};
  const Rows rows = rows_from_matrix(layout(cells, kRows, kCols, Order::C).view, categorical);
  for (const bool classification : {false, true}) {
    const Tree tree = gen.make(GetParam(), classification);
    const RoutingTable table(tree, categorical);
    std::vector<std::size_t> expected(kRows);
    for (std::size_t r = 0; r < kRows; ++r) {
      expected[r] = leaf_index(tree, rows.row(r));
      ASSERT_EQ(naive_path(tree, rows.row(r)).back(), static_cast<std::int64_t>(expected[r]));
    }
    for (const Order order : {Order::C, Order::Fortran, Order::Strided, Order::Reversed, Order::Unaligned}) {
      const Layout x = layout(cells, kRows, kCols, order);
      for (const std::uint64_t threads : {1, 2}) {
        SCOPED_TRACE(::testing::Message() << "order " << static_cast<int>(order) << ", threads " << threads);
        std::vector<double> values(kRows);
        std::vector<std::int64_t> classes(kRows), leaves(kRows);
        const std::size_t k = 2;
        std::vector<double> proba(kRows * k, -1.0);
        predict_values(table, x.view, values, {threads});
        predict_classes(table, x.view, classes, {threads});
        predict_probabilities(table, x.view, k, proba, {threads});
        apply_rows(table, x.view, leaves, {threads});
        for (std::size_t r = 0; r < kRows; ++r) {
          const DecisionNode& leaf = tree.nodes[expected[r]];
          ASSERT_EQ(leaves[r], static_cast<std::int64_t>(expected[r]));
          ASSERT_EQ(std::bit_cast<std::uint64_t>(values[r]), std::bit_cast<std::uint64_t>(leaf.value));
          ASSERT_EQ(classes[r], static_cast<std::int64_t>(leaf.predicted_class));
          const auto p = tree.proba(leaf);
          for (std::size_t j = 0; j < k; ++j) ASSERT_EQ(proba[r * k + j], j < p.size() ? p[j] : 0.0);
        }
        if (order != Order::Reversed) continue;
        const DecisionPaths paths = decision_paths(tree, table, x.view, threads);
        ASSERT_EQ(paths.indptr.size(), kRows + 1);
        for (std::size_t r = 0; r < kRows; ++r) {
          const std::vector<std::int64_t> path(paths.indices.begin() + paths.indptr[r],
                                               paths.indices.begin() + paths.indptr[r + 1]);
          ASSERT_EQ(path, naive_path(tree, rows.row(r)));
        }
      }
    }
  }
}

// Rows too short for a split fail as the walk of the first such row does,
// with its message; rows that never reach such a split route.
TEST_P(RandomTrees, ShortRowsFailLikeTheWalkOfTheFirstFailingRow) {
  RandomTree gen;
  constexpr std::size_t kRows = 70000, kCols = 4;
  const std::vector<double> cells = random_cells(kRows * kCols, GetParam() + 50);
  const std::vector<std::uint64_t> categorical = {1};
  const Tree tree = gen.make(GetParam() + 50, false);
  const RoutingTable table(tree, categorical);
  for (const std::size_t n_cols : {0, 1, 2, 3}) {
    // The first n_cols columns of the C-ordered rows.
    const MatrixView x{reinterpret_cast<const char*>(cells.data()), kRows, n_cols,
                       static_cast<std::ptrdiff_t>(kCols * sizeof(double)), sizeof(double)};
    const Rows rows = rows_from_matrix(x, categorical);
    std::string expected = "no error";
    for (std::size_t r = 0; r < kRows && expected == "no error"; ++r) {
      try {
        leaf_index(tree, rows.row(r));
      } catch (const InternalError& e) {
        expected = e.what();
      }
    }
    for (const std::uint64_t threads : {1, 2}) {
      std::vector<double> values(kRows);
      std::string message = "no error";
      try {
        predict_values(table, x, values, {threads});
      } catch (const InternalError& e) {
        message = e.what();
      }
      EXPECT_EQ(message, expected) << n_cols << " columns, " << threads << " threads";
    }
  }
}

// The package's check of x: a batch is refused exactly when a cell (in any
// column, read by the tree or not) is infinite; NaN and sums that overflow
// are no reason. Results of accepted batches are those of unchecked ones.
TEST(BatchRouting, RefusesExactlyTheBatchesWithAnInfiniteCell) {
  RandomTree gen;
  constexpr std::size_t kRows = 70000, kCols = 4;
  std::vector<double> cells = random_cells(kRows * kCols, 77);
  for (double& v : cells) {
    if (std::isinf(v)) v = v > 0 ? kNaN : 1e308;  // 1e308 + 1e308 overflows
  }
  const std::vector<std::uint64_t> categorical = {1};
  const Tree tree = gen.make(77, false);
  const RoutingTable table(tree, categorical);
  std::vector<double> expected(kRows), values(kRows);
  predict_values(table, layout(cells, kRows, kCols, Order::C).view, expected);
  std::mt19937_64 rng(5);
  for (const Order order : {Order::C, Order::Fortran, Order::Strided, Order::Reversed}) {
    for (const std::uint64_t threads : {1, 2}) {
      SCOPED_TRACE(::testing::Message() << "order " << static_cast<int>(order) << ", threads " << threads);
      EXPECT_TRUE(predict_values(table, layout(cells, kRows, kCols, order).view, values, {threads, true}));
      EXPECT_EQ(std::memcmp(values.data(), expected.data(), kRows * sizeof(double)), 0);
      std::vector<double> one_infinite = cells;
      one_infinite[rng() % cells.size()] = rng() % 2 ? kInf : -kInf;
      const Layout x = layout(one_infinite, kRows, kCols, order);
      EXPECT_FALSE(predict_values(table, x.view, values, {threads, true}));
      EXPECT_TRUE(predict_values(table, x.view, values, {threads, false}));
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

TEST(RowWalk, SplitFeaturePastTheRowIsAnInternalError) {
  const Tree t = rebuild_tree(stump_dump(), false);
  const std::vector<FeatureValue> empty;
  EXPECT_THROW(predict_row(t, empty), InternalError);
  const std::vector<FeatureValue> row(1);
  EXPECT_EQ(predict_row(t, row).value, 2.0);  // 0.0 is not below 0.0
}

SettingsOptions options_for(bool regression) {
  SettingsOptions o;
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

TEST(BuildSettings, KeepsOnlyWhatEachOptionNeeds) {
  const Settings r = build_settings<RegressionTask>(options_for(true));
  EXPECT_EQ(std::get<RegressionTask>(r.task).criterion.name(), "mae");
  EXPECT_EQ(r.n_classes(), 0u);
  EXPECT_EQ(r.config.mode, SplitMode::Fast);
  EXPECT_EQ(r.config.split_style, SplitStyle::Bin);
  EXPECT_EQ(r.aggregator.kind(), AggregatorKind::TrimmedMean);
  EXPECT_EQ(r.aggregator.parameter(), 0.1);
  EXPECT_EQ(r.categorical, (std::vector<std::uint64_t>{0, 2, 5}));

  const Settings o = build_settings<ObjectiveTask>(options_for(false));
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
  const Settings& s = e.settings;
  EXPECT_EQ(s.config.max_depth, 8u);
  EXPECT_EQ(s.config.n_bins, 8u);
  EXPECT_EQ(s.config.cv_seed, 42u);
  EXPECT_EQ(s.config.mode, SplitMode::Strict);
  EXPECT_EQ(std::get<ObjectiveTask>(s.task).objective.kind(), ObjectiveKind::Accuracy);
  EXPECT_EQ(e.n_classes(), 3u);
  EXPECT_EQ(s.aggregator.kind(), AggregatorKind::Mean);
  EXPECT_EQ(s.categorical, (std::vector<std::uint64_t>{1, 4}));
  EXPECT_TRUE(e.is_fitted());
}

TEST(FitEstimator, ChecksColumnsAndTargetsBeforeGrowing) {
  Estimator e{build_settings<RegressionTask>(options_for(true)), std::nullopt, {}};
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
