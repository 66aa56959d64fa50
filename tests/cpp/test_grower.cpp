#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <random>
#include <tuple>

#include "columns.hpp"
#include "encoder.hpp"
#include "errors.hpp"
#include "fast_grower.hpp"
#include "settings.hpp"
#include "folds.hpp"
#include "random_data.hpp"
#include "reference.hpp"
#include "same_tree.hpp"
#include "strict_grower.hpp"

namespace quor {
namespace {
using quor::testing::encode_columns;
using quor::testing::fit_fast_columns;

using quor::testing::assign_folds;
using quor::testing::FoldAssignment;

using quor::testing::random_categorical;
using quor::testing::random_continuous;
using quor::testing::random_labels;
using quor::testing::expect_same_tree;
using quor::testing::random_targets;

enum class TaskKind { Regression, Classification, Objective };

struct Problem {
  TreeConfig config;
  std::vector<FeatureColumn> columns;
  Targets targets;
  Task task;
  Aggregator aggregator = Aggregator::mean();

  bool held_out = false;  // measure the splits on held-out folds too

  GrowInput input() const {
    GrowInput in{task, config, aggregator, targets};
    in.options.held_out = held_out;
    return in;
  }
};

Task task_of(TaskKind kind) {
  switch (kind) {
    case TaskKind::Regression: return RegressionTask{Criterion::regression("mse")};
    case TaskKind::Classification: return ClassificationTask{Criterion::classification("entropy"), 3};
    case TaskKind::Objective: return ObjectiveTask{Objective::from_name("f1", AverageMode::Macro, 0, 1.0), 3};
  }
  return RegressionTask{};
}

Problem random_problem(std::uint64_t seed, TaskKind task, std::size_t n) {
  std::mt19937_64 rng(seed);
  Problem p;
  for (int f = 0; f < 5; ++f) {
    p.columns.push_back(f % 3 == 2 ? random_categorical(rng, n, 4) : random_continuous(rng, n, 40));
  }
  // Targets that the features explain in part, so the trees have splits.
  p.targets.values = random_targets(rng, n);
  p.targets.labels = random_labels(rng, n, 3);
  for (std::size_t i = 0; i < n; ++i) {
    const double x = p.columns[0].values[i];
    const double signal = std::isfinite(x) ? x : 5.0;
    p.targets.values[i] = p.targets.values[i] * 0.2 + signal * 3.0 + (p.columns[2].codes[i] % 2) * 4.0;
    if (rng() % 4 != 0) p.targets.labels[i] = signal < -1.0 ? 0 : (signal < 2.0 ? 1 : 2);
  }
  p.config.max_depth = 6;
  p.config.n_bins = 6;
  p.config.cv_folds = 3;
  p.task = task_of(task);
  return p;
}

class ParallelGrowthTest
    : public ::testing::TestWithParam<std::tuple<TaskKind, SplitMode, SplitStyle, std::uint64_t>> {};

TEST_P(ParallelGrowthTest, ParallelTreeEqualsSequentialTree) {
  const auto [task, mode, style, threads] = GetParam();
  Problem p = random_problem(threads * 31 + static_cast<int>(task), task, 400);
  p.config.mode = mode;
  p.config.split_style = style;
  const auto grow = [&] {
    return mode == SplitMode::Strict ? grow_strict(p.input(), p.columns)
                                     : fit_fast_columns(p.input(), p.columns);
  };
  p.config.parallel = false;
  const Tree sequential = grow();
  ASSERT_GT(sequential.nodes.size(), 3u);
  p.config.parallel = true;
  p.config.n_threads = threads;
  for (const std::uint64_t min_samples : {0, 50, 1000}) {
    p.config.parallel_min_samples = min_samples;
    expect_same_tree(grow(), sequential);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tasks, ParallelGrowthTest,
    ::testing::Combine(::testing::Values(TaskKind::Regression, TaskKind::Classification, TaskKind::Objective),
                       ::testing::Values(SplitMode::Strict, SplitMode::Fast),
                       ::testing::Values(SplitStyle::Threshold, SplitStyle::Bin),
                       ::testing::Values(2, 3, 8)));

// One-byte and two-byte code storage grow the same trees.
TEST(FastGrowth, CodeWidthDoesNotChangeTheTree) {
  for (const TaskKind task : {TaskKind::Regression, TaskKind::Classification, TaskKind::Objective}) {
    Problem p = random_problem(77, task, 500);
    p.config.mode = SplitMode::Fast;
    p.config.n_bins = 40;
    const EncodedFeatures narrow = encode_columns(p.columns, p.config.n_bins);
    const EncodedFeatures wide = encode_columns(p.columns, p.config.n_bins, false);
    ASSERT_TRUE(narrow.narrow);
    ASSERT_FALSE(wide.narrow);
    const Tree a = grow_fast(p.input(), narrow);
    ASSERT_GT(a.nodes.size(), 3u);
    expect_same_tree(grow_fast(p.input(), wide), a);
  }
}

// The run [0, 1, 2, 3] with samples 1 and 3 going left becomes [1, 3, 2, 0];
// the right child then draws its folds from the order [2, 0].
TEST(Partition, SwapsLeaveTheRightSideReordered) {
  std::vector<std::uint32_t> run = {0, 1, 2, 3};
  const std::size_t n_left = partition_in_place(run, [](std::uint32_t s) { return s % 2 == 1; });
  EXPECT_EQ(n_left, 2u);
  EXPECT_EQ(run, (std::vector<std::uint32_t>{1, 3, 2, 0}));
  const std::vector<std::uint32_t> right(run.begin() + 2, run.end());
  const FoldAssignment folds = assign_folds(right, 2, 0, false);
  EXPECT_EQ(folds.sample_indices, (std::vector<std::uint32_t>{2, 0}));
  EXPECT_EQ(folds.fold_ids, (std::vector<std::uint8_t>{0, 1}));
}

// One distinct category per sample and mixed labels: every node peels off one
// sample, so the tree is a chain as deep as the data. Growth, depth, leaf
// count and destruction must not recurse.
TEST(DeepTree, ChainOfThousandsOfLevelsInBothModes) {
  const std::size_t n = 3000;
  Problem p;
  FeatureColumn column;
  column.is_categorical = true;
  for (std::uint32_t i = 0; i < n; ++i) {
    column.codes.push_back(i);
    p.targets.labels.push_back((i * 7) % 3 == 0 ? 1 : 0);
  }
  p.columns.push_back(column);
  p.task = ClassificationTask{Criterion::classification("gini"), 2};
  p.config.max_depth.reset();
  p.config.cv_folds = 2;
  for (const SplitMode mode : {SplitMode::Strict, SplitMode::Fast}) {
    p.config.mode = mode;
    const GrowInput in = p.input();
    const Tree tree = mode == SplitMode::Strict ? grow_strict(in, p.columns) : fit_fast_columns(in, p.columns);
    EXPECT_GE(tree_depth(tree), 1000u);
    EXPECT_EQ(tree_depth(tree) + 1, leaf_count(tree));  // a chain
  }
}

TEST(FastEntry, RefusesMaeBeforeEncoding) {
  Problem p = random_problem(5, TaskKind::Regression, 50);
  p.task = RegressionTask{Criterion::regression("mae")};
  p.config.n_bins = 70000;  // would fail encoding; the refusal comes first
  try {
    fit_fast_columns(p.input(), p.columns);
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "this task (e.g. MAE) is not supported in SplitMode::Fast; use Strict");
  }
}

}  // namespace
}  // namespace quor

namespace quor {
namespace {

TEST(FastEntry, RefusesMoreSamplesThan32BitIdsCanNumber) {
  EXPECT_NO_THROW(check_sample_limit(4294967295ull));
  try {
    check_sample_limit(4294967296ull);
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(),
                 "a fit in fast mode or of a forest takes at most 4294967295 samples, got 4294967296; fit one "
                 "tree in mode \"strict\"");
  }
}

}  // namespace
}  // namespace quor

namespace quor {
namespace {

// Large nodes share their samples out over the threads (whole folds for the
// regression sums, any share for class counts): the histograms, and so the
// trees, are those of one thread.
TEST(FastGrowth, ThreadsSharingTheSamplesGrowTheSameTree) {
  for (const TaskKind task : {TaskKind::Regression, TaskKind::Classification, TaskKind::Objective}) {
    Problem p = random_problem(91, task, 30000);
    p.config.mode = SplitMode::Fast;
    p.config.max_depth = 4;
    const Tree one = fit_fast_columns(p.input(), p.columns);
    ASSERT_GT(one.nodes.size(), 3u);
    p.config.parallel = true;
    for (const std::uint64_t threads : {2ul, 3ul, 7ul}) {
      p.config.n_threads = threads;
      expect_same_tree(fit_fast_columns(p.input(), p.columns), one);
    }
  }
}

// Fits large enough that threads grow whole subtrees, nodes one at a time
// (children back to the pool) and, first, any node holding more than half of
// the root's samples with every thread inside it: the pieces, put together,
// are the tree of one thread.
class ThreadedGrowthTest : public ::testing::TestWithParam<std::tuple<TaskKind, SplitMode>> {};

TEST_P(ThreadedGrowthTest, SubtreesGrownApartMakeTheSequentialTree) {
  const auto [task, mode] = GetParam();
  Problem p = random_problem(5 + static_cast<int>(task), task, 9000);
  p.config.mode = mode;
  p.config.max_depth = 9;
  p.config.min_samples_leaf = 3;
  p.config.min_impurity_decrease = -std::numeric_limits<double>::infinity();  // big trees for every task
  p.held_out = true;  // each piece's credits go with its nodes
  const auto grow = [&] {
    return mode == SplitMode::Strict ? grow_strict(p.input(), p.columns) : fit_fast_columns(p.input(), p.columns);
  };
  const Tree one = grow();
  ASSERT_GT(one.nodes.size(), 60u);
  ASSERT_TRUE(one.has_credits);
  p.config.parallel = true;
  // A million threads asked for: a fit never runs on more threads than there
  // are features (five here), the most one node's scoring could use.
  for (const std::uint64_t threads : {2ul, 5ul, 1000000ul}) {
    p.config.n_threads = threads;
    expect_same_tree(grow(), one);
  }
}

INSTANTIATE_TEST_SUITE_P(Tasks, ThreadedGrowthTest,
                         ::testing::Combine(::testing::Values(TaskKind::Regression, TaskKind::Classification,
                                                              TaskKind::Objective),
                                            ::testing::Values(SplitMode::Strict, SplitMode::Fast)));

}  // namespace
}  // namespace quor
