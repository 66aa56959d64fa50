#pragma once
// Random training data for the oracle tests: continuous columns with ties,
// NaN and infinities; categorical columns with a missing code; targets with
// repeats; labels that sometimes reach past n_classes.

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "encoder.hpp"
#include "tree.hpp"

namespace quor::testing {

inline FeatureColumn random_continuous(std::mt19937_64& rng, std::size_t n, int distinct) {
  FeatureColumn column;
  std::uniform_int_distribution<int> value(0, distinct - 1);
  std::uniform_int_distribution<int> special(0, 19);
  for (std::size_t i = 0; i < n; ++i) {
    const int kind = special(rng);
    double v = value(rng) * 0.5 - 3.0;
    if (kind == 0) v = std::numeric_limits<double>::quiet_NaN();
    if (kind == 1) v = std::numeric_limits<double>::infinity();
    if (kind == 2) v = -std::numeric_limits<double>::infinity();
    column.values.push_back(v);
  }
  return column;
}

inline FeatureColumn random_categorical(std::mt19937_64& rng, std::size_t n, int distinct) {
  FeatureColumn column;
  column.is_categorical = true;
  std::uniform_int_distribution<int> code(0, distinct);
  for (std::size_t i = 0; i < n; ++i) {
    const int c = code(rng);
    column.codes.push_back(c == distinct ? kMissingCode : static_cast<std::uint32_t>(c * 3 + 1));
  }
  return column;
}

inline std::vector<double> random_targets(std::mt19937_64& rng, std::size_t n) {
  std::uniform_int_distribution<int> pick(0, 9);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> y;
  for (std::size_t i = 0; i < n; ++i) y.push_back(pick(rng) < 3 ? 2.5 : noise(rng) * 10.0);
  return y;
}

inline std::vector<std::uint64_t> random_labels(std::mt19937_64& rng, std::size_t n,
                                                std::uint64_t n_classes) {
  std::uniform_int_distribution<std::uint64_t> pick(0, n_classes);  // n_classes itself is "too large"
  std::vector<std::uint64_t> labels;
  for (std::size_t i = 0; i < n; ++i) labels.push_back(pick(rng));
  return labels;
}

}  // namespace quor::testing
