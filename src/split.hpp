#pragma once
/// A split and the one rule that sends a sample to its left or right child.
///
/// While splits are scored, a candidate is a code: a bin of quantile edges
/// (the node's or a fold's) or a category code. The side rule on codes: under
/// the threshold test (a continuous feature in the threshold style) a code
/// goes left when it is at most the candidate; under the membership test (a
/// categorical feature, or a continuous one in the membership style) when it
/// is the candidate: its value lies in the candidate's bin or is its category.
/// Missing codes are above every candidate and none of them, so missing values
/// go right.
///
/// The split a tree stores turns the winning candidate into a test on raw
/// values: a categorical value goes left when its category code is the
/// split's; a continuous value when it is finite and lies in the candidate
/// bin's bounds (below its upper bound, under the threshold test). Since a
/// value's bin is the number of edges <= it, that holds exactly when its code
/// goes left of the candidate.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "binning.hpp"
#include "config.hpp"
#include "input.hpp"

namespace quor {

enum class SideTest : std::uint8_t { Threshold, Membership };

/// Membership for categorical features and in the bin style, else
/// threshold.
inline SideTest side_test(SplitStyle style, bool is_categorical) {
  return (is_categorical || style == SplitStyle::Bin) ? SideTest::Membership : SideTest::Threshold;
}

/// The side rule on codes; a candidate is always below the missing code.
template <class Code>
inline bool goes_left(SideTest test, Code code, Code candidate) {
  return test == SideTest::Threshold ? code <= candidate : code == candidate;
}

/// A split as a tree stores it: an interval of a continuous feature (closed
/// below, open above; an absent bound is unbounded) or one category code.
struct Split {
  std::uint64_t feature = 0;
  bool is_categorical = false;
  std::optional<double> lower;
  std::optional<double> upper;
  std::uint32_t category = 0;
  /// Where a missing value of the split's own kind goes (a non-finite value
  /// under an interval, the missing code under a category): left when set.
  /// Unset, missing values go right, as every split of the raw classes sends
  /// them; the flag belongs to the split, not to its test, so that any kind
  /// of test can carry it.
  bool missing_left = false;
  /// The aggregated score the split won with; NaN when unknown.
  double score = std::numeric_limits<double>::quiet_NaN();

  /// Whether a continuous value goes left. A NaN bound fails its comparison.
  bool goes_left(double value) const {
    if (is_categorical) return false;
    if (!std::isfinite(value)) return missing_left;
    return (!lower || value >= *lower) && (!upper || value < *upper);
  }
  /// Whether a categorical value, by its category code, goes left.
  bool goes_left_category(std::uint32_t code) const {
    return is_categorical && (code == category || (missing_left && code == kMissingCode));
  }
  /// Whether a training sample goes left.
  bool goes_left(const FeatureColumn& column, std::uint64_t sample) const {
    return column.is_categorical ? goes_left_category(column.codes[sample]) : goes_left(column.values[sample]);
  }
};

/// A node's winning candidate in both its forms: the split the tree stores,
/// which tests raw values, and the candidate code under its side test, which
/// tests the node's codes. Both send every sample the same way.
struct SplitChoice {
  Split split;
  SideTest test = SideTest::Threshold;
  std::uint32_t code = 0;

  /// A missing code (the largest of its width) goes where the split sends
  /// missing values.
  template <class Code>
  bool code_goes_left(Code c) const {
    if (c == std::numeric_limits<Code>::max()) return split.missing_left;
    return quor::goes_left(test, c, static_cast<Code>(code));
  }
};

/// The choice of candidate bin `code` of a continuous feature, whose bounds
/// are `bounds`: the stored split is below the bin's upper bound under the
/// threshold test, inside both bounds under the membership test. nullopt for
/// the last bin under the threshold test, which no stored threshold separates.
inline std::optional<SplitChoice> interval_choice(std::uint64_t feature, SideTest test, std::uint32_t code,
                                                  const BinBounds& bounds, double score) {
  SplitChoice choice{Split{}, test, code};
  choice.split.feature = feature;
  choice.split.score = score;
  choice.split.upper = bounds.second;
  if (test == SideTest::Threshold) {
    if (!choice.split.upper) return std::nullopt;
  } else {
    choice.split.lower = bounds.first;
  }
  return choice;
}

/// The split of a continuous feature's missing values from its finite ones:
/// no bound, so every finite value goes left and every missing value right.
/// It partitions only by raw values (strict mode): it has no candidate code.
inline SplitChoice missing_alone_choice(std::uint64_t feature, double score) {
  SplitChoice choice{Split{}, SideTest::Membership, 0};
  choice.split.feature = feature;
  choice.split.score = score;
  return choice;
}

/// The choice of candidate `code` of a categorical feature, which stands for
/// category code `category` (the same number in strict mode).
inline SplitChoice category_choice(std::uint64_t feature, std::uint32_t code, std::uint32_t category, double score) {
  SplitChoice choice{Split{}, SideTest::Membership, code};
  choice.split.feature = feature;
  choice.split.is_categorical = true;
  choice.split.category = category;
  choice.split.score = score;
  return choice;
}

}  // namespace quor
