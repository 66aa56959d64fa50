#pragma once
/// The strict-mode split search of one node: every candidate of a feature is
/// scored on every fold by binning the fold afresh against its own training
/// edges, and each candidate's fold scores become its scored split.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "aggregation.hpp"
#include "config.hpp"
#include "folds.hpp"
#include "input.hpp"
#include "ordering.hpp"
#include "scored_split.hpp"
#include "task.hpp"

namespace quor {

/// What a node's search gathers once for all its features: its folds, each
/// sample's slot (position in the shuffled samples) and the targets in slot
/// order. Kept by a worker and refilled node after node.
struct StrictNodeData {
  StrictFolds folds;
  SlotTable slots;
  std::vector<double> y_by_slot;                // regression
  std::vector<std::uint64_t> labels_by_slot;   // classification
  std::vector<double> w_by_slot;                // weighted fits: the weights
};

/// Draws the folds of a node's samples and gathers what every feature's
/// evaluation reads; sample ids are below `n_ids`.
void prepare_node(const Task& task, const TreeConfig& config, const Targets& targets,
                  std::span<const std::uint64_t> samples, std::uint64_t n_ids, StrictNodeData& out,
                  std::span<const double> weights = {});

/// What a node shares, read-only, with every feature's evaluation.
struct SplitContext {
  const Task& task;
  const TreeConfig& config;
  const Aggregator& aggregator;
  std::span<const FeatureColumn> features;
  const Targets& targets;
  std::span<const std::uint64_t> samples;            // the node's samples
  std::span<const std::vector<SortedValue>> sorted;  // per continuous feature: its finite node samples, sorted
  const StrictNodeData& node;
  /// Each sample's weight by sample id; empty: unweighted.
  std::span<const double> weights = {};
  /// Whether each scored split records the folds of its scores when some
  /// fold gave it none (ScoredSplit::folds), for the held-out measurement.
  bool keep_folds = false;
};

/// Buffers that an evaluation keeps from call to call, so that a thread
/// evaluating node after node does not allocate (and the system does not map
/// and unmap) per-sample arrays each time. One evaluation at a time per scratch.
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

/// One scored split per candidate of `feature`, in ascending code order.
std::vector<ScoredSplit> evaluate_feature(const SplitContext& context, std::uint64_t feature,
                                          EvaluationScratch& scratch);

}  // namespace quor
