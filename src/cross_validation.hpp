#pragma once
/// The strict-mode cross-validated scoring of every candidate split of one
/// feature.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "aggregation.hpp"
#include "config.hpp"
#include "criterion.hpp"
#include "encoder.hpp"
#include "folds.hpp"
#include "ordering.hpp"

namespace quor {

struct ObjectiveTask;

/// Buffers that evaluate_feature keeps from call to call when a context
/// lends them, so that a thread evaluating node after node does not allocate
/// (and the system does not map and unmap) per-sample arrays each time. One
/// evaluation at a time per scratch.
class EvaluationScratch {
 public:
  EvaluationScratch();
  ~EvaluationScratch();
  EvaluationScratch(EvaluationScratch&&) noexcept;
  EvaluationScratch& operator=(EvaluationScratch&&) noexcept;
  struct Buffers;
  Buffers& buffers() { return *buffers_; }

 private:
  std::unique_ptr<Buffers> buffers_;
};

/// What a node shares, read-only, with every feature's evaluation.
struct SplitContext {
  const TreeConfig* config = nullptr;
  std::span<const FeatureColumn> features;
  const Criterion* criterion = nullptr;          // regression and classification
  const ObjectiveTask* objective = nullptr;      // objective classification
  std::span<const double> y;                     // regression targets
  std::span<const std::uint64_t> labels;         // class labels
  std::span<const std::uint64_t> samples;        // the node's samples
  const StrictFolds* folds = nullptr;
  const Aggregator* aggregator = nullptr;
  /// Optional, set by the grower so that features need not recompute them:
  /// the slot table of the node's folds, and per feature the node's finite
  /// values sorted (continuous features).
  const SlotTable* slots = nullptr;
  std::span<const std::vector<SortedValue>> sorted;
  /// Optional: the targets of the node's samples in slot order (the folds'
  /// validation lists one after another), gathered once for every feature.
  std::span<const double> y_by_slot;
  std::span<const std::uint64_t> labels_by_slot;
  /// Optional: buffers for an evaluation of one feature at a time.
  EvaluationScratch* scratch = nullptr;
};

/// One record per candidate of `feature`, in ascending code order. Dispatches
/// on the task: regression, classification or objective.
std::vector<ScoredSplit> evaluate_feature(const SplitContext& context, std::uint64_t feature);

}  // namespace quor
