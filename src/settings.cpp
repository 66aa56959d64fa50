#include "settings.hpp"

#include <string>
#include <type_traits>

#include "errors.hpp"

namespace quor {

namespace {

/// The settings every class parses after its task, in this order.
void parse_common(const SettingsOptions& options, Settings& settings) {
  const SplitMode mode = parse_mode(options.mode);
  const SplitStyle style = parse_split_style(options.split_style);
  settings.aggregator =
      Aggregator::from_name(options.aggregator, options.agg_frac, options.agg_eps, options.agg_lambda);
  settings.config = options.config;
  settings.config.mode = mode;
  settings.config.split_style = style;
  settings.categorical = sorted_unique(options.categorical);
}

// Each class's task from its option strings, parsed in the class's order.
RegressionTask parse_task(std::type_identity<RegressionTask>, const SettingsOptions& options) {
  return RegressionTask{Criterion::regression(options.criterion)};
}
ClassificationTask parse_task(std::type_identity<ClassificationTask>, const SettingsOptions& options) {
  return ClassificationTask{Criterion::classification(options.criterion), options.n_classes};
}
ObjectiveTask parse_task(std::type_identity<ObjectiveTask>, const SettingsOptions& options) {
  const AverageMode average = parse_average(options.average);
  return ObjectiveTask{Objective::from_name(options.objective, average, options.pos_label, options.beta),
                       options.n_classes};
}

}  // namespace

template <class T>
Settings build_settings(const SettingsOptions& options) {
  // The task's strings are checked first, then the common ones: the order in
  // which bad strings are reported.
  Settings settings{parse_task(std::type_identity<T>{}, options), {}, Aggregator::mean(), {}};
  parse_common(options, settings);
  return settings;
}

template Settings build_settings<RegressionTask>(const SettingsOptions&);
template Settings build_settings<ClassificationTask>(const SettingsOptions&);
template Settings build_settings<ObjectiveTask>(const SettingsOptions&);

template <class T>
Settings rebuilt_settings(std::uint64_t n_classes, std::span<const std::uint64_t> categorical) {
  // Prediction reads none of the tree settings; a classifier's task keeps its
  // class count, and the objective plays no part, so accuracy stands in.
  T task;
  if constexpr (!std::is_same_v<T, RegressionTask>) task.n_classes = n_classes;
  return Settings{task, placeholder_config(), Aggregator::mean(), sorted_unique(categorical)};
}

template Settings rebuilt_settings<RegressionTask>(std::uint64_t, std::span<const std::uint64_t>);
template Settings rebuilt_settings<ClassificationTask>(std::uint64_t, std::span<const std::uint64_t>);
template Settings rebuilt_settings<ObjectiveTask>(std::uint64_t, std::span<const std::uint64_t>);

void check_weight_fraction(double fraction) {
  if (!(fraction >= 0.0 && fraction <= kMaxWeightFractionLeaf)) {
    throw ValueError("min_weight_fraction_leaf must be in [0, 0.5], got " + format_double(fraction));
  }
}

void check_sample_limit(std::uint64_t n_samples) {
  if (n_samples > kMaxSamples) {
    throw ValueError("a fit in fast mode or of a forest takes at most " + std::to_string(kMaxSamples) +
                     " samples, got " + std::to_string(n_samples) + "; fit one tree in mode \"strict\"");
  }
}

}  // namespace quor
