#include "out_of_bag_importance.hpp"

#include <algorithm>
#include <vector>

#include "errors.hpp"

namespace quor {

namespace {

/// Each node's prediction, `width` values per node: its leaves' values
/// weighted by their training weight, over the leaves' weight (a node
/// without weight divides by 1). Children follow their parent in pre-order,
/// so one pass from the last node back sums every subtree; a split's weight
/// is its leaves' (a grown tree has not summed them yet).
std::vector<double> node_predictions(const Tree& tree, std::size_t n_classes, std::size_t width, double value_scale) {
  const std::size_t n = tree.nodes.size();
  std::vector<double> totals(n * width, 0.0), weights(n, 0.0);
  for (std::size_t i = n; i-- > 0;) {
    const DecisionNode& node = tree.nodes[i];
    double* total = totals.data() + i * width;
    if (!node.is_leaf()) {
      const double* left = totals.data() + node.left * width;
      const double* right = totals.data() + node.right * width;
      for (std::size_t c = 0; c < width; ++c) total[c] = left[c] + right[c];
      weights[i] = weights[node.left] + weights[node.right];
      continue;
    }
    weights[i] = node.weight;
    if (n_classes == 0) {
      total[0] = node.value * value_scale * node.weight;
    } else {
      for (std::size_t c = 0; c < width && c < node.proba_size; ++c) {
        total[c] = tree.probas[node.proba_offset + c] * node.weight;
      }
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double weight = weights[i] > 0 ? weights[i] : 1.0;
    for (std::size_t c = 0; c < width; ++c) totals[i * width + c] /= weight;
  }
  return totals;
}

}  // namespace

void add_out_of_bag_contributions(const Tree& tree, std::span<const std::uint32_t> rows, const Targets& targets,
                                  std::span<const double> weights, std::uint64_t n_classes, double value_scale,
                                  const RowGoesLeft& goes_left, std::span<double> out) {
  if (rows.empty() || tree.root().is_leaf()) return;
  const std::size_t n = tree.nodes.size();
  const std::size_t width = n_classes > 0 ? static_cast<std::size_t>(n_classes) : 1;
  const std::vector<double> predicted = node_predictions(tree, n_classes, width, value_scale);
  // Per node: the unseen weight, and per class its weight (classification)
  // or the weighted first and second moments of the values about the
  // root's prediction (regression, so that large values do not cancel).
  const std::size_t cells = n_classes > 0 ? width : 2;
  std::vector<double> weight(n, 0.0), sums(n * cells, 0.0);
  const double centre = n_classes > 0 ? 0.0 : predicted[0];
  for (const std::uint32_t row : rows) {
    const double w = weights.empty() ? 1.0 : weights[row];
    const double value = n_classes > 0 ? 0.0 : targets.values[row] * value_scale - centre;
    const std::uint64_t label = n_classes > 0 ? targets.labels[row] : 0;
    if (n_classes > 0 && label >= n_classes) throw InternalError("out-of-bag label out of range");
    for (std::size_t i = 0;;) {
      weight[i] += w;
      if (n_classes > 0) {
        sums[i * cells + label] += w;
      } else {
        sums[i * cells] += w * value;
        sums[i * cells + 1] += w * value * value;
      }
      const DecisionNode& node = tree.nodes[i];
      if (node.is_leaf()) break;
      i = goes_left(node.split, row) ? node.left : node.right;
    }
  }
  const auto loss = [&](std::size_t i) {
    const double* p = predicted.data() + i * width;
    const double* s = sums.data() + i * cells;
    if (n_classes > 0) {
      // sum_r w_r |p − e_{y_r}|² = W |p|² − 2 sum_c p_c W_c + W
      double squared = 0, dot = 0;
      for (std::size_t c = 0; c < width; ++c) {
        squared += p[c] * p[c];
        dot += p[c] * s[c];
      }
      return weight[i] * squared - 2.0 * dot + weight[i];
    }
    const double mean = p[0] - centre;
    return s[1] - 2.0 * mean * s[0] + weight[i] * mean * mean;
  };
  const double root = weight[0];
  if (!(root > 0)) return;
  for (std::size_t i = 0; i < n; ++i) {
    const DecisionNode& node = tree.nodes[i];
    if (node.is_leaf()) continue;
    if (node.split.feature >= out.size()) throw InternalError("out-of-bag split feature out of range");
    out[node.split.feature] += (loss(i) - loss(node.left) - loss(node.right)) / root;
  }
}

}  // namespace quor
