#pragma once
// Two trees compared node by node, floats bit for bit (split scores included),
// the held-out credits exactly or to a given tolerance.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "tree.hpp"

namespace quor::testing {

inline void expect_same_tree(const Tree& a, const Tree& b, double credit_tolerance = 0.0) {
  ASSERT_EQ(a.nodes.size(), b.nodes.size());
  EXPECT_EQ(a.has_credits, b.has_credits);
  for (std::size_t i = 0; i < a.nodes.size(); ++i) {
    const DecisionNode& x = a.nodes[i];
    const DecisionNode& y = b.nodes[i];
    ASSERT_EQ(x.is_leaf(), y.is_leaf()) << "node " << i;
    if (x.is_leaf()) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(x.value), std::bit_cast<std::uint64_t>(y.value)) << "node " << i;
      EXPECT_EQ(x.n_samples, y.n_samples);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(x.weight), std::bit_cast<std::uint64_t>(y.weight)) << "node " << i;
      EXPECT_EQ(x.predicted_class, y.predicted_class);
      const auto pa = a.proba(x), pb = b.proba(y);
      EXPECT_TRUE(std::equal(pa.begin(), pa.end(), pb.begin(), pb.end())) << "node " << i;
    } else {
      EXPECT_EQ(x.split.feature, y.split.feature) << "node " << i;
      EXPECT_EQ(x.split.is_categorical, y.split.is_categorical);
      EXPECT_EQ(x.split.lower, y.split.lower);
      EXPECT_EQ(x.split.upper, y.split.upper);
      EXPECT_EQ(x.split.category, y.split.category);
      EXPECT_EQ(x.split.category_set, y.split.category_set) << "node " << i;
      EXPECT_EQ(x.split.missing_left, y.split.missing_left) << "node " << i;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(x.split.score), std::bit_cast<std::uint64_t>(y.split.score)) << "node " << i;
      // Held-out credits by value (a sum that is 0 may be either zero), or to
      // a relative `credit_tolerance`.
      const auto ca = a.credits_of(x), cb = b.credits_of(y);
      ASSERT_EQ(ca.size(), cb.size()) << "credits of node " << i;
      for (std::size_t c = 0; c < ca.size(); ++c) {
        EXPECT_EQ(ca[c].feature, cb[c].feature) << "credit " << c << " of node " << i;
        const double scale = std::max({1.0, std::fabs(ca[c].score), std::fabs(cb[c].score)});
        EXPECT_NEAR(ca[c].score, cb[c].score, credit_tolerance * scale) << "credit " << c << " of node " << i;
      }
      EXPECT_EQ(x.left, y.left);
      EXPECT_EQ(x.right, y.right);
    }
  }
}

}  // namespace quor::testing
