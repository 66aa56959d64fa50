#include "growth.hpp"

#include <algorithm>
#include <cmath>

#include "folds.hpp"
#include "objective.hpp"

namespace quor {

namespace {

/// The weighted leaf: the weighted mean, or the class weight sums over their
/// total with the lowest class of largest weight; sums in node order.
void write_weighted_leaf(TreeBuilder& builder, std::size_t index, const GrowInput& input, const NodeValues& targets) {
  const std::span<const double> w = targets.weights;
  if (std::holds_alternative<RegressionTask>(input.task)) {
    const std::size_t n = targets.values.size();
    double sum = -0.0;
    double total = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
      sum += w[i] * targets.values[i];
      total += w[i];
    }
    builder.make_regression_leaf(index, n == 0 ? 0.0 : sum / total, n);
    builder.set_leaf_weight(index, total);
    return;
  }
  const std::uint64_t n_classes = quor::n_classes(input.task);
  std::vector<double> sums(n_classes, 0.0);
  double counted = 0.0;
  for (std::size_t i = 0; i < targets.labels.size(); ++i) {
    const std::uint64_t c = targets.labels[i];
    if (c < n_classes) {
      sums[c] += w[i];
      counted += w[i];
    }
  }
  std::vector<double> proba(n_classes, 0.0);
  if (counted > 0.0) {
    for (std::size_t c = 0; c < n_classes; ++c) proba[c] = sums[c] / counted;
  }
  builder.make_classification_leaf(index, proba, majority_class(std::span<const double>(sums)), targets.labels.size());
  const auto* task = std::get_if<ObjectiveTask>(&input.task);
  if (task != nullptr && task->labels == LabelRule::Metric) builder.set_leaf_class_weights(index, sums);
  double total = -0.0;
  for (const double weight : w) total += weight;
  builder.set_leaf_weight(index, total);
}

}  // namespace

void write_leaf(TreeBuilder& builder, std::size_t index, const GrowInput& input, const NodeValues& targets) {
  if (!input.options.weights.empty()) {
    write_weighted_leaf(builder, index, input, targets);
    return;
  }
  if (std::holds_alternative<RegressionTask>(input.task)) {
    const std::size_t n = targets.values.size();
    double sum = -0.0;
    for (const double t : targets.values) sum += t;
    const double value = n == 0 ? 0.0 : sum / static_cast<double>(n);
    builder.make_regression_leaf(index, value, n);
    return;
  }
  const std::uint64_t n_classes = quor::n_classes(input.task);
  std::vector<std::uint64_t> counts(n_classes, 0);
  std::uint64_t counted = 0;
  for (const std::uint64_t c : targets.labels) {
    if (c < n_classes) {
      ++counts[c];
      ++counted;
    }
  }
  std::vector<double> proba(n_classes, 0.0);
  if (counted > 0) {
    for (std::size_t c = 0; c < n_classes; ++c) {
      proba[c] = static_cast<double>(counts[c]) / static_cast<double>(counted);
    }
  }
  builder.make_classification_leaf(index, proba, majority_class(counts), targets.labels.size());
}

void label_leaves(const GrowInput& input, Tree& tree) {
  const auto* task = std::get_if<ObjectiveTask>(&input.task);
  if (task == nullptr || task->labels != LabelRule::Metric) return;
  const std::size_t nc = task->n_classes;
  std::vector<std::size_t> leaves;
  for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
    if (tree.nodes[i].is_leaf()) leaves.push_back(i);
  }
  // Each leaf's class counts (or weight sums), nc per leaf.
  const auto gather = [&](auto zero, auto&& of) {
    std::vector<decltype(zero)> out;
    out.reserve(leaves.size() * nc);
    for (const std::size_t i : leaves) {
      const DecisionNode& node = tree.nodes[i];
      for (std::size_t c = 0; c < nc; ++c) out.push_back(c < node.proba_size ? of(node, c) : zero);
    }
    return out;
  };
  std::vector<std::uint64_t> labels;
  if (!input.options.weights.empty()) {
    if (tree.class_weights.size() != tree.probas.size()) throw InternalError("a weighted tree lacks its class weights");
    const std::vector<double> sums =
        gather(0.0, [&](const DecisionNode& node, std::size_t c) { return tree.class_weights[node.proba_offset + c]; });
    labels = metric_leaf_labels(task->objective, nc, std::span<const double>(sums));
    tree.class_weights = {};
  } else {
    // A leaf's probabilities are its class counts over its sample count, so
    // the product rounds back to the count exactly.
    const std::vector<std::uint64_t> counts = gather(std::uint64_t{0}, [&](const DecisionNode& node, std::size_t c) {
      return static_cast<std::uint64_t>(std::llround(tree.proba(node)[c] * static_cast<double>(node.n_samples)));
    });
    labels = metric_leaf_labels(task->objective, nc, std::span<const std::uint64_t>(counts));
  }
  for (std::size_t l = 0; l < leaves.size(); ++l) tree.nodes[leaves[l]].predicted_class = labels[l];
}

namespace {

/// The purity test value of the node: the criterion's impurity, or the Gini
/// index for the objective classifier.
double node_impurity(const GrowInput& input, const NodeValues& targets) {
  if (const auto* task = std::get_if<RegressionTask>(&input.task)) return task->criterion.impurity(targets.values);
  if (const auto* task = std::get_if<ClassificationTask>(&input.task)) {
    return task->criterion.impurity(targets.labels, task->n_classes);
  }
  return Criterion::gini().impurity(targets.labels, n_classes(input.task));
}

}  // namespace

bool stops_early(const GrowInput& input, std::uint64_t depth, const NodeValues& targets) {
  const TreeConfig& config = input.config;
  if (targets.size(input) < std::max<std::uint64_t>(2, config.min_samples_split)) return true;
  if (config.max_depth && *config.max_depth <= depth) return true;
  return node_impurity(input, targets) <= 0.0;
}

const ScoredSplit* accepted_split(const GrowInput& input, std::span<const ScoredSplit> scored) {
  const ScoredSplit* best = choose_best_split(scored);
  if (best == nullptr || best->score <= input.config.min_impurity_decrease) return nullptr;
  return best;
}

void report_root(const GrowInput& input, std::uint64_t n_samples, std::span<const ScoredSplit> scored) {
  RootReport* report = input.options.root_report;
  if (report == nullptr) return;
  report->searched = true;
  report->scored = choose_best_split(scored) != nullptr;
  report->n_samples = n_samples;
  report->n_folds = fold_count(input.config.cv_folds, n_samples, input.config.mode == SplitMode::Fast);
}

std::uint64_t min_leaf(const TreeConfig& config) { return std::max<std::uint64_t>(1, config.min_samples_leaf); }

std::uint64_t pool_grain(std::uint64_t n_root, std::uint64_t n_threads) {
  return std::max<std::uint64_t>(1024, n_root / (32 * n_threads));
}

}  // namespace quor
