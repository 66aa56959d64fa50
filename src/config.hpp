#pragma once
/// The hyperparameter record every estimator holds, and the parsing of the
/// string-valued options into enumerations with their exact error messages.

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "names.hpp"

namespace quor {

enum class SplitMode { Strict, Fast };
/// How a continuous feature splits: below a threshold, or by membership of
/// one bin (the split_style "bin", also spelled "bin_membership").
enum class SplitStyle { Threshold, Bin };

inline constexpr std::array<Named<SplitMode>, 2> kModes{{{"strict", SplitMode::Strict}, {"fast", SplitMode::Fast}}};
inline constexpr std::array<Named<SplitStyle>, 2> kSplitStyles{
    {{"threshold", SplitStyle::Threshold}, {"bin", SplitStyle::Bin}}};
/// Where a split sends missing values: always right (the raw classes' rule),
/// or to the side the held-out scores choose, split by split.
enum class MissingSide { Right, Learn };
inline constexpr std::array<Named<MissingSide>, 2> kMissingSides{
    {{"right", MissingSide::Right}, {"learn", MissingSide::Learn}}};

/// How a categorical feature splits: one category against the rest (the raw
/// classes' rule), or a set of categories against the rest, the categories
/// ordered by a statistic of the target and cut in that order.
enum class CategoricalSplit { One, Set };
inline constexpr std::array<Named<CategoricalSplit>, 2> kCategoricalSplits{
    {{"one", CategoricalSplit::One}, {"set", CategoricalSplit::Set}}};

/// Where a continuous split's stored bound lies between the node's values on
/// either side of it: at the candidate bin's edge (the raw classes' rule: the
/// smallest value of the right side, or an edge of the fit's bins), or
/// halfway between the largest value below it and the smallest at or above
/// it. The node's training samples go the same way under either; values in
/// the gap, seen only at prediction, go to the nearer side.
enum class ThresholdPlacement { Edge, Midpoint };
inline constexpr std::array<Named<ThresholdPlacement>, 2> kThresholdPlacements{
    {{"edge", ThresholdPlacement::Edge}, {"midpoint", ThresholdPlacement::Midpoint}}};

/// Accepted as well, but listed in no message.
inline constexpr std::array<Named<SplitStyle>, 1> kSplitStyleAliases{{{"bin_membership", SplitStyle::Bin}}};

/// Read-only after construction. No field is range-checked: the stages that
/// read a field define what out-of-range values do.
struct TreeConfig {
  std::optional<std::uint64_t> max_depth;
  std::uint64_t min_samples_split = 2;
  std::uint64_t min_samples_leaf = 1;
  double min_impurity_decrease = 0.0;
  /// A split is refused when a child holds less than this fraction of the
  /// weight of the rows the tree grows on (their count when unweighted).
  double min_weight_fraction_leaf = 0.0;
  std::uint64_t n_bins = 8;
  std::uint64_t cv_folds = 5;
  std::uint64_t cv_seed = 42;
  bool cv_shuffle = true;
  SplitMode mode = SplitMode::Strict;
  SplitStyle split_style = SplitStyle::Threshold;
  bool parallel = false;
  std::uint64_t n_threads = 1;
  std::uint64_t parallel_min_samples = 512;
  MissingSide missing = MissingSide::Right;
  CategoricalSplit categorical_split = CategoricalSplit::One;
  ThresholdPlacement threshold_placement = ThresholdPlacement::Edge;
};

/// The threads a fit runs on: one unless `parallel` is set and `n_threads` is
/// at least 2, and never more than the features, the most that scoring one
/// node's features could use.
inline std::uint64_t fit_threads(const TreeConfig& config, std::uint64_t n_features) {
  if (!config.parallel || config.n_threads < 2) return 1;
  return std::max<std::uint64_t>(1, std::min(config.n_threads, n_features));
}

/// The settings of an estimator rebuilt from a dump (prediction ignores them).
TreeConfig placeholder_config();

/// Shows a user-supplied string in double quotes, with a backslash before any
/// double quote or backslash and escapes for non-printable characters.
/// `text` is UTF-8.
std::string quoted(std::string_view text);

/// A double for a message: "%.17g", so that the value shown is the value given.
std::string format_double(double value);

/// Option parsers; each throws `ValueError` with its exact message.
SplitMode parse_mode(std::string_view text);
SplitStyle parse_split_style(std::string_view text);
MissingSide parse_missing_side(std::string_view text);
CategoricalSplit parse_categorical_split(std::string_view text);
ThresholdPlacement parse_threshold_placement(std::string_view text);

/// The categorical column list as the estimator keeps it: ascending, no repeats.
std::vector<std::uint64_t> sorted_unique(std::span<const std::uint64_t> indices);

/// Whether `feature` is in a sorted categorical list (binary search).
bool is_categorical(std::span<const std::uint64_t> categorical, std::uint64_t feature);

}  // namespace quor
