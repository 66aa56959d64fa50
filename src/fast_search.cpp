#include "fast_search.hpp"

#include <array>

namespace quor {

namespace {

/// Whether some fold holds two samples: a fold's score needs a sample on
/// each side of the split among its own samples (regression and
/// classification) or its held-out ones (objective), so a node whose every
/// fold has fewer has no finite score. More samples than folds always do.
bool some_fold_splits(const NodeTargets& node) {
  const std::size_t n = node.samples.size();
  if (n > node.n_folds) return true;
  std::array<std::uint8_t, 256> seen{};
  for (const std::uint8_t fold : node.fold_ids) {
    if (seen[fold]++ != 0) return true;
  }
  return false;
}

}  // namespace

std::optional<ScoredSplit> best_of_block(const Task& task, const CodeRows& codes, std::span<const std::size_t> columns,
                                         std::span<const FeatureSpec> specs, const NodeTargets& node,
                                         const Aggregator& aggregator, HistogramScratch& scratch,
                                         std::uint64_t n_threads, HeldOutChoice* held_out) {
  if (held_out != nullptr) held_out->reset(node.n_folds, aggregator);
  if (!some_fold_splits(node)) return std::nullopt;
  BestSplitSink sink(node.n_folds, aggregator, scratch.fold_scores, scratch.best_fold_scores);
  if (held_out != nullptr) {
    HeldOutSink both(sink, *held_out, scratch.score_folds, node.n_folds);
    search_features(task, codes, columns, specs, node, scratch, both, n_threads);
  } else {
    search_features(task, codes, columns, specs, node, scratch, sink, n_threads);
  }
  return sink.best();
}

}  // namespace quor
