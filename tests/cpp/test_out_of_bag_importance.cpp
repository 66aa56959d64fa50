#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "out_of_bag_importance.hpp"

namespace quor {
namespace {

// A stump on feature 1 (x < 0.5 left) and three unseen rows, worked by hand
// from the definition; every number is exact in binary.
constexpr std::array<double, 3> kX{0.2, 0.9, 0.1};
const RowGoesLeft kGoesLeft = [](const Split& split, std::uint32_t row) { return split.goes_left(kX[row]); };

Tree stump(bool classification) {
  TreeBuilder builder;
  const std::size_t root = builder.begin_node(TreeBuilder::npos, false);
  Split split;
  split.feature = 1;
  split.upper = 0.5;
  builder.make_split(root, split);
  const std::size_t left = builder.begin_node(root, true);
  const std::size_t right = builder.begin_node(root, false);
  if (classification) {
    builder.make_classification_leaf(left, std::vector<double>{0.75, 0.25}, 0, 4);
    builder.make_classification_leaf(right, std::vector<double>{0.0, 1.0}, 1, 4);
  } else {
    builder.make_regression_leaf(left, 1.0, 3);
    builder.make_regression_leaf(right, 4.0, 1);
  }
  return std::move(builder).finish();
}

TEST(OutOfBagImportance, AStumpByHand) {
  const std::vector<std::uint32_t> rows = {0, 1, 2};
  {
    // Root predicts (3·1 + 1·4) / 4 = 1.75; weighted squared errors 6.25 at
    // the root, 2 + 2 at the leaves; over the unseen weight 4.
    const Tree tree = stump(false);
    const Targets targets{{2.0, 3.0, 0.0}, {}};
    const std::vector<double> weights = {1.0, 2.0, 1.0};
    for (const auto& [scale, expected] : {std::pair{1.0, 0.5625}, std::pair{0.5, 0.140625}}) {
      std::vector<double> out(3, 0.0);
      add_out_of_bag_contributions(tree, rows, targets, weights, 0, scale, kGoesLeft, out);
      EXPECT_EQ(out, (std::vector<double>{0.0, expected, 0.0}));
    }
  }
  {
    // Root predicts (0.375, 0.625); Brier 1.34375 at the root, 1.25 + 0 at
    // the leaves; over 3 rows of weight 1. Contributions add to `out`.
    const Tree tree = stump(true);
    const Targets targets{{}, {0, 1, 1}};
    std::vector<double> out = {0.0, 1.0, 0.0};
    add_out_of_bag_contributions(tree, rows, targets, {}, 2, 1.0, kGoesLeft, out);
    EXPECT_EQ(out, (std::vector<double>{0.0, 1.03125, 0.0}));
    // No unseen row, and a tree that is one leaf, add nothing.
    add_out_of_bag_contributions(tree, {}, targets, {}, 2, 1.0, kGoesLeft, out);
    TreeBuilder leaf;
    leaf.make_classification_leaf(leaf.begin_node(TreeBuilder::npos, false), std::vector<double>{0.5, 0.5}, 0, 3);
    add_out_of_bag_contributions(std::move(leaf).finish(), rows, targets, {}, 2, 1.0, kGoesLeft, out);
    EXPECT_EQ(out, (std::vector<double>{0.0, 1.03125, 0.0}));
  }
}

}  // namespace
}  // namespace quor
