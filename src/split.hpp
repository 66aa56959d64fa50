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
///
/// A set split of a categorical feature stores its categories as a bitset of
/// category codes: a value goes left when its code is in the set. Codes past
/// the bitset (categories no row of the node had at fit) go right, as every
/// category outside the set does; missing codes go where the split sends
/// missing values.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

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

/// The most categories a set split's bitset covers: codes 0 … 65534.
inline constexpr std::uint32_t kMaxSetCategories = 65535;

/// Whether category `code` is in the bitset `words` (bit code % 64 of word
/// code / 64); codes past its words are not.
inline bool in_category_set(std::span<const std::uint64_t> words, std::uint32_t code) {
  const std::size_t word = code / 64;
  return word < words.size() && ((words[word] >> (code % 64)) & 1u) != 0;
}

/// The bitset of the given codes (each below kMaxSetCategories), as short as
/// it can be: its last word is not 0 unless it has none.
inline std::vector<std::uint64_t> category_set_of(std::span<const std::uint32_t> codes) {
  std::vector<std::uint64_t> words;
  for (const std::uint32_t code : codes) {
    if (code / 64 >= words.size()) words.resize(code / 64 + 1, 0);
    words[code / 64] |= std::uint64_t{1} << (code % 64);
  }
  return words;
}

/// A split as a tree stores it: an interval of a continuous feature (closed
/// below, open above; an absent bound is unbounded), one category code, or a
/// set of category codes.
struct Split {
  std::uint64_t feature = 0;
  bool is_categorical = false;
  std::optional<double> lower;
  std::optional<double> upper;
  std::uint32_t category = 0;
  /// A set split's categories as a bitset (in_category_set), its last word
  /// not 0; empty for every other split. `category` is then 0 and unused.
  std::vector<std::uint64_t> category_set;
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
    if (!is_categorical) return false;
    if (!category_set.empty() && code != kMissingCode) return in_category_set(category_set, code);
    return code == category || (missing_left && code == kMissingCode);
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

/// The set split of a categorical feature that sends `categories` (codes
/// below kMaxSetCategories, not empty) left. Its candidate code is the
/// search's; a set split partitions by the stored set only.
inline SplitChoice category_set_choice(std::uint64_t feature, std::uint32_t code,
                                       std::span<const std::uint32_t> categories, double score) {
  SplitChoice choice{Split{}, SideTest::Membership, code};
  choice.split.feature = feature;
  choice.split.is_categorical = true;
  choice.split.category_set = category_set_of(categories);
  choice.split.score = score;
  return choice;
}

}  // namespace quor
