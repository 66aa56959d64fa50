#pragma once
/// The two growers. Both follow one node procedure (leaf value, stopping rules,
/// folds, per-feature evaluation, best-record choice, split, partition, then
/// the left and the right child) and grow depth-first, left subtree first,
/// from an explicit stack rather than recursion, so tree depth is bounded only
/// by the number of samples. With threads, subtrees grow side by side and are
/// put together in the same pre-order: the tree is the same.

#include <cstdint>
#include <span>
#include <utility>

#include "aggregation.hpp"
#include "config.hpp"
#include "criterion.hpp"
#include "encoder.hpp"
#include "interrupt.hpp"
#include "objective.hpp"
#include "tree.hpp"
#include "views.hpp"

namespace quor {

enum class TaskKind { Regression, Classification, Objective };

/// Everything a grower reads besides the features.
struct GrowInput {
  TaskKind task = TaskKind::Regression;
  const Criterion* criterion = nullptr;       // regression and classification
  const ObjectiveTask* objective = nullptr;   // objective classification
  std::uint64_t n_classes = 0;
  const TreeConfig* config = nullptr;
  const Aggregator* aggregator = nullptr;
  std::span<const double> y;                  // regression targets
  std::span<const std::uint64_t> labels;      // class labels
};

/// What a forest changes in the growth of one of its trees. The defaults grow
/// the single tree: every sample at the root, every feature at every node.
struct GrowOptions {
  /// The root's samples, ascending; empty means 0 … n − 1. Fast mode takes
  /// repeated ids (a row drawn twice is two samples); strict mode does not.
  std::span<const std::uint32_t> root_samples;
  /// The number of features each node evaluates, drawn for the node by
  /// `draw_features` from its key (root_node_key(tree_seed), then
  /// child_node_key along its path); 0 means every feature, without a draw.
  std::uint64_t max_features = 0;
  std::uint64_t tree_seed = 0;
  /// When none of a node's drawn features has a finite score: score the
  /// features it did not draw (true) or make the node a leaf (false).
  bool score_other_features = true;
  /// Fast mode: every copy of a row goes into one fold of a node.
  bool group_copies = false;
  /// Checked at every node; null: growth cannot be interrupted.
  Interrupt* interrupt = nullptr;
};

/// Strict mode over the root samples (0 … n − 1 unless `options` gives them;
/// n = the columns' length).
Tree grow_strict(const GrowInput& input, std::span<const FeatureColumn> columns,
                 const GrowOptions& options = {});

/// Fast-mode entry: refuses the "mae" criterion, refuses 2^32 samples or more,
/// encodes the columns once and grows. Throws `ValueError` with the refusal or
/// the encoder's message.
Tree fit_fast(const GrowInput& input, std::span<const FeatureColumn> columns,
              const GrowOptions& options = {});
/// The same encoding straight from the input matrix (columns in the sorted
/// `categorical` list are categorical).
Tree fit_fast(const GrowInput& input, const MatrixView& x, std::span<const std::uint64_t> categorical,
              const GrowOptions& options = {});
/// The refusals of the fast-mode entry, before anything is encoded: the "mae"
/// criterion and too many samples (`ValueError`).
void check_fast_entry(const GrowInput& input, std::uint64_t n_samples);

/// Moves the samples for which `goes_left` holds to the front of the run by
/// swapping; the left samples keep their relative order, the right side's
/// order is what the swaps leave (a child's folds are drawn from that order).
/// Returns the number of left samples.
template <class Predicate, class Prefetch>
std::size_t partition_in_place(std::span<std::uint32_t> run, Predicate goes_left, Prefetch prefetch) {
  // The test reads memory indexed by sample id; `prefetch` is told the sample
  // a few dozen places ahead (positions after j are not moved by the swaps).
  constexpr std::size_t kAhead = 32;
  std::size_t i = 0;
  for (std::size_t j = 0; j < run.size(); ++j) {
    if (j + kAhead < run.size()) prefetch(run[j + kAhead]);
    if (goes_left(run[j])) {
      std::swap(run[i], run[j]);
      ++i;
    }
  }
  return i;
}

template <class Predicate>
std::size_t partition_in_place(std::span<std::uint32_t> run, Predicate goes_left) {
  return partition_in_place(run, goes_left, [](std::uint32_t) {});
}

/// Fast mode numbers samples with 32-bit ids: more than 4294967295 samples is
/// a `ValueError` rather than silently truncated ids.
void check_fast_sample_count(std::uint64_t n_samples);

/// Fast mode over the root run of 32-bit ids (0 … n − 1 unless `options`
/// gives it).
Tree grow_fast(const GrowInput& input, const EncodedFeatures& encoded, const GrowOptions& options = {});

}  // namespace quor
