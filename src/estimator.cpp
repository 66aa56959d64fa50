#include "estimator.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "errors.hpp"
#include "grower.hpp"

namespace quor {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

TreeConfig config_with_modes(const EstimatorOptions& options, SplitMode mode, SplitStyle style) {
  TreeConfig config = options.config;
  config.mode = mode;
  config.split_style = style;
  return config;
}

}  // namespace

void install_tree(Estimator& estimator, Tree tree) {
  RoutingTable routing(tree, estimator.categorical);
  // Neither move can throw: the estimator never holds a tree without its table.
  estimator.tree = std::move(tree);
  estimator.routing = std::move(routing);
}

Estimator build_estimator(EstimatorKind kind, const EstimatorOptions& options) {
  // Each option is parsed into a local first: the order of the statements is
  // the order in which bad strings are reported.
  Estimator estimator;
  estimator.kind = kind;
  switch (kind) {
    case EstimatorKind::Regressor: {
      const Criterion criterion = Criterion::regression(options.criterion);
      const SplitMode mode = parse_mode(options.mode);
      const SplitStyle style = parse_split_style(options.split_style);
      estimator.aggregator = Aggregator::from_name(options.aggregator, options.agg_frac,
                                                   options.agg_eps, options.agg_lambda);
      estimator.criterion = criterion;
      estimator.config = config_with_modes(options, mode, style);
      break;
    }
    case EstimatorKind::Classifier: {
      const Criterion criterion = Criterion::classification(options.criterion, options.n_classes);
      const SplitMode mode = parse_mode(options.mode);
      const SplitStyle style = parse_split_style(options.split_style);
      estimator.aggregator = Aggregator::from_name(options.aggregator, options.agg_frac,
                                                   options.agg_eps, options.agg_lambda);
      estimator.criterion = criterion;
      estimator.n_classes = options.n_classes;
      estimator.config = config_with_modes(options, mode, style);
      break;
    }
    case EstimatorKind::ObjectiveClassifier: {
      const AverageMode average = parse_average(options.average);
      const Objective objective =
          Objective::from_name(options.objective, average, options.pos_label, options.beta);
      const SplitMode mode = parse_mode(options.mode);
      const SplitStyle style = parse_split_style(options.split_style);
      estimator.aggregator = Aggregator::from_name(options.aggregator, options.agg_frac,
                                                   options.agg_eps, options.agg_lambda);
      estimator.criterion = Criterion::gini(options.n_classes);
      estimator.objective_task =
          ObjectiveTask{objective, options.n_classes, Criterion::gini(options.n_classes)};
      estimator.n_classes = options.n_classes;
      estimator.config = config_with_modes(options, mode, style);
      break;
    }
  }
  estimator.categorical = sorted_unique(options.categorical);
  return estimator;
}

std::vector<FeatureColumn> columns_from_matrix(const MatrixView& x,
                                               std::span<const std::uint64_t> categorical,
                                               std::uint64_t n_threads) {
  return columns_from_matrix(x, categorical, 0, x.n_cols, n_threads);
}

Targets regression_targets(const VectorView<double>& y) {
  Targets targets;
  targets.values.resize(y.size);
  for (std::size_t i = 0; i < y.size; ++i) targets.values[i] = y.at(i);
  return targets;
}

Targets classification_targets(const VectorView<std::int64_t>& y) {
  Targets targets;
  targets.labels.resize(y.size);
  for (std::size_t i = 0; i < y.size; ++i) {
    targets.labels[i] = static_cast<std::uint64_t>(std::max<std::int64_t>(y.at(i), 0));
  }
  return targets;
}

namespace {

void check_sample_counts(const Estimator& estimator, std::size_t n, const Targets& targets) {
  const std::size_t m =
      estimator.is_classifier() ? targets.labels.size() : targets.values.size();
  if (m != n) {
    throw ValueError("targets length " + std::to_string(m) + " does not match " +
                     std::to_string(n) + " samples");
  }
  if (n == 0) throw ValueError("need at least one sample");
}

GrowInput grow_input(const Estimator& estimator, const Targets& targets) {
  GrowInput input;
  switch (estimator.kind) {
    case EstimatorKind::Regressor:
      input.task = TaskKind::Regression;
      input.criterion = &estimator.criterion;
      input.y = targets.values;
      break;
    case EstimatorKind::Classifier:
      input.task = TaskKind::Classification;
      input.criterion = &estimator.criterion;
      input.labels = targets.labels;
      break;
    case EstimatorKind::ObjectiveClassifier:
      input.task = TaskKind::Objective;
      input.objective = &estimator.objective_task.value();
      input.labels = targets.labels;
      break;
  }
  input.n_classes = estimator.n_classes;
  input.config = &estimator.config;
  input.aggregator = &estimator.aggregator;
  return input;
}

}  // namespace

void fit_estimator(Estimator& estimator, std::vector<FeatureColumn> columns, Targets targets) {
  if (columns.empty()) throw ValueError("need at least one feature column");
  const std::size_t n = columns.front().size();
  for (std::size_t j = 0; j < columns.size(); ++j) {
    if (columns[j].size() != n) {
      throw ValueError("column " + std::to_string(j) + " has length " +
                       std::to_string(columns[j].size()) + " but expected " + std::to_string(n));
    }
  }
  check_sample_counts(estimator, n, targets);
  const GrowInput input = grow_input(estimator, targets);
  Tree tree = estimator.config.mode == SplitMode::Strict ? grow_strict(input, columns)
                                                         : fit_fast(input, columns);
  // Only a grown tree replaces the old one.
  install_tree(estimator, std::move(tree));
}

void fit_estimator(Estimator& estimator, const MatrixView& x, Targets targets) {
  if (estimator.config.mode == SplitMode::Strict) {
    // The copy runs on the fit's threads when it has them.
    fit_estimator(estimator,
                  columns_from_matrix(x, estimator.categorical, fit_threads(estimator.config, x.n_cols)),
                  std::move(targets));
    return;
  }
  // Fast mode encodes straight from the matrix: the same checks, without a
  // full copy of the training values.
  if (x.n_cols == 0) throw ValueError("need at least one feature column");
  check_sample_counts(estimator, x.n_rows, targets);
  install_tree(estimator, fit_fast(grow_input(estimator, targets), x, estimator.categorical));
}

std::vector<FlatNode> flatten_tree(const Tree& tree) {
  struct Pending {
    std::size_t node;
    std::size_t parent;  // flat index, npos for the root
    bool is_left;
  };
  constexpr std::size_t npos = TreeBuilder::npos;

  std::vector<FlatNode> flat;
  flat.reserve(tree.nodes.size());
  std::vector<Pending> stack{{0, npos, false}};
  // Pre-order: pop a node, give it the next index, then push its right child
  // below its left one so the whole left subtree is numbered first.
  while (!stack.empty()) {
    const Pending pending = stack.back();
    stack.pop_back();
    check_index(pending.node, tree.nodes.size(), "tree nodes");
    if (flat.size() == tree.nodes.size()) throw InternalError("tree has a node reached twice");
    const DecisionNode& node = tree.nodes[pending.node];
    const auto index = static_cast<std::int64_t>(flat.size());
    FlatNode& out = flat.emplace_back();
    out.lower = out.upper = out.value = kNaN;
    if (pending.parent != npos) {
      FlatNode& parent = flat[pending.parent];
      (pending.is_left ? parent.children_left : parent.children_right) = index;
    }
    switch (node.kind) {
      case NodeKind::Leaf:
        // Both payloads are copied; the exporter lists the one of its kind.
        out.is_leaf = true;
        out.n_samples = node.n_samples;
        out.value = node.value;
        out.predicted_class = static_cast<std::int64_t>(node.predicted_class);
        out.proba = tree.proba(node);
        continue;
      case NodeKind::CategorySplit:
        out.is_categorical = true;
        out.category = node.category;
        break;
      case NodeKind::IntervalSplit:
        out.lower = node.lower.value_or(-kInfinity);
        out.upper = node.upper.value_or(kInfinity);
        break;
    }
    out.feature = static_cast<std::int64_t>(node.feature);
    const auto self = static_cast<std::size_t>(index);
    stack.push_back({node.right, self, false});
    stack.push_back({node.left, self, true});
  }
  // Children follow their parent in pre-order, so a backward pass sees both
  // children's counts before the parent's.
  for (std::size_t i = flat.size(); i-- > 0;) {
    FlatNode& node = flat[i];
    if (node.is_leaf) continue;
    node.n_samples = flat[static_cast<std::size_t>(node.children_left)].n_samples +
                     flat[static_cast<std::size_t>(node.children_right)].n_samples;
  }
  return flat;
}

Tree rebuild_tree(const TreeDump& dump, bool classification) {
  // The explicit stack replays the recursive definition step for step: a split
  // reads its left child's index, builds that whole subtree, and only then
  // reads its right child's index.
  struct Step {
    std::uint64_t index;      // dump index of the node to build, or of the split
                              // whose right child comes next
    std::size_t parent;       // builder index of the parent
    bool is_left;
    bool right_of_split;      // true: read children_right[index] now
  };
  constexpr std::size_t npos = TreeBuilder::npos;

  TreeBuilder builder;
  std::vector<char> reached(dump.is_leaf.size(), 0);
  std::vector<Step> stack{{0, npos, false, false}};
  while (!stack.empty()) {
    const Step step = stack.back();
    stack.pop_back();
    if (step.right_of_split) {
      check_index(step.index, dump.children_right.size(), "children_right");
      stack.push_back({static_cast<std::uint64_t>(dump.children_right[step.index]), step.parent,
                       false, false});
      continue;
    }
    const std::uint64_t i = step.index;
    check_index(i, dump.is_leaf.size(), "is_leaf");
    if (reached[i]) {
      throw ValueError("tree state is not a tree: node " + std::to_string(i) +
                       " is reached twice");
    }
    reached[i] = 1;
    const std::size_t node = builder.begin_node(step.parent, step.is_left);
    if (dump.is_leaf[i]) {
      if (classification) {
        check_index(i + 1, dump.proba_offsets.size(), "proba");
        const std::size_t begin = dump.proba_offsets[i];
        const std::size_t end = dump.proba_offsets[i + 1];
        check_index(i, dump.predicted_class.size(), "predicted_class");
        const auto predicted = static_cast<std::uint64_t>(
            std::max<std::int64_t>(dump.predicted_class[i], 0));
        check_index(i, dump.n_samples.size(), "n_samples");
        builder.make_classification_leaf(
            node, std::span<const double>(dump.probas).subspan(begin, end - begin), predicted,
            dump.n_samples[i]);
      } else {
        check_index(i, dump.value.size(), "value");
        check_index(i, dump.n_samples.size(), "n_samples");
        builder.make_regression_leaf(node, dump.value[i], dump.n_samples[i]);
      }
      continue;
    }
    check_index(i, dump.is_categorical.size(), "is_categorical");
    check_index(i, dump.feature.size(), "feature");
    const auto feature = static_cast<std::uint64_t>(dump.feature[i]);
    if (dump.is_categorical[i]) {
      check_index(i, dump.category.size(), "category");
      builder.make_category_split(node, feature, static_cast<std::uint32_t>(dump.category[i]));
    } else {
      check_index(i, dump.lower.size(), "lower");
      check_index(i, dump.upper.size(), "upper");
      const double lower = dump.lower[i];
      const double upper = dump.upper[i];
      builder.make_interval_split(node, feature,
                                  lower == -kInfinity ? std::nullopt : std::optional(lower),
                                  upper == kInfinity ? std::nullopt : std::optional(upper));
    }
    check_index(i, dump.children_left.size(), "children_left");
    stack.push_back({i, node, false, true});
    stack.push_back({static_cast<std::uint64_t>(dump.children_left[i]), node, true, false});
  }
  return std::move(builder).finish();
}

Estimator rebuilt_estimator(EstimatorKind kind, std::uint64_t n_classes,
                            std::span<const std::uint64_t> categorical, Tree tree) {
  Estimator estimator;
  estimator.kind = kind;
  estimator.config = placeholder_config();
  estimator.aggregator = Aggregator::mean();
  switch (kind) {
    case EstimatorKind::Regressor:
      estimator.criterion = Criterion::mse();
      break;
    case EstimatorKind::Classifier:
      estimator.criterion = Criterion::gini(n_classes);
      estimator.n_classes = n_classes;
      break;
    case EstimatorKind::ObjectiveClassifier:
      estimator.criterion = Criterion::gini(n_classes);
      estimator.objective_task =
          ObjectiveTask{Objective::accuracy(), n_classes, Criterion::gini(n_classes)};
      estimator.n_classes = n_classes;
      break;
  }
  estimator.categorical = sorted_unique(categorical);
  install_tree(estimator, std::move(tree));
  return estimator;
}

}  // namespace quor
