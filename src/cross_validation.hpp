#pragma once
/// Folds of a node's samples (a reproducible SplitMix64 shuffle, then
/// contiguous blocks) and the strict-mode cross-validated scoring of every
/// candidate split of one feature.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "aggregation.hpp"
#include "config.hpp"
#include "criterion.hpp"
#include "encoder.hpp"

namespace quor {

struct ObjectiveTask;

/// The SplitMix64 generator.
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t state) : state_(state) {}
  std::uint64_t next() {
    state_ += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t state_;
};

/// Shuffles `samples` in place when `shuffle` is set: the generator is seeded
/// with (n × 0x9E3779B97F4A7C15) XOR seed, then Fisher–Yates from the back with
/// a plain remainder.
template <class Id>
void permute_samples(std::span<Id> samples, std::uint64_t seed, bool shuffle) {
  if (!shuffle) return;
  const std::uint64_t n = samples.size();
  SplitMix64 rng((n * 0x9E3779B97F4A7C15ull) ^ seed);
  // Positions i..n-1 hold their final values once step i has run.
  for (std::uint64_t i = n; i >= 2; --i) {
    const std::uint64_t j = rng.next() % i;
    std::swap(samples[i - 1], samples[j]);
  }
}

/// k = min(max(cv_folds, 2), n), and at most 255 in fast mode.
std::uint64_t fold_count(std::uint64_t cv_folds, std::uint64_t n, bool fast_mode);

struct CvFold {
  std::vector<std::uint64_t> train_indices;  // permuted order
  std::vector<std::uint64_t> valid_indices;  // permuted order
};

/// Strict-mode folds of a node (at least one sample): the first n mod k folds
/// hold one extra sample; fold f validates its block and trains on the rest.
/// `with_training` false leaves the training lists empty, for callers that
/// read a fold's training side as the node's samples outside the fold.
std::vector<CvFold> make_folds(std::span<const std::uint64_t> samples, std::uint64_t cv_folds,
                               std::uint64_t cv_seed, bool cv_shuffle, bool with_training = true);

struct FoldAssignment {
  std::vector<std::uint32_t> sample_indices;  // permuted order
  std::vector<std::uint8_t> fold_ids;          // non-decreasing
  std::uint64_t n_folds = 0;
};

/// Fast-mode folds: a fold number per position of the permuted samples.
FoldAssignment assign_folds(std::span<const std::uint32_t> samples, std::uint64_t cv_folds,
                            std::uint64_t cv_seed, bool cv_shuffle);
/// The fold order of n samples in fast mode: the shuffle applied to positions
/// 0 … n − 1 (so the p-th sample of the shuffled list is the one at
/// positions[p]) and the fold of each shuffled position. Returns the fold count.
/// The ids are 32-bit, as fast mode's sample ids.
std::uint64_t fold_order(std::uint64_t n, std::uint64_t cv_folds, std::uint64_t cv_seed, bool cv_shuffle,
                         std::vector<std::uint32_t>& positions, std::vector<std::uint8_t>& fold_ids);

/// The same into an existing record, reusing its buffers (one per fit).
void assign_folds(std::span<const std::uint32_t> samples, std::uint64_t cv_folds, std::uint64_t cv_seed,
                  bool cv_shuffle, FoldAssignment& out);

/// Each node sample's slot, its position in the concatenation of the folds'
/// validation lists (fold 0's first), by sample id. The slot also tells the
/// fold: fold f owns a contiguous range of slots. Stored in 32 bits whenever
/// the sample ids allow, so that the table stays in cache.
class SlotTable {
 public:
  /// Sets the slots of the folds' samples; ids must be below `n_ids`.
  void fill(std::span<const CvFold> folds, std::uint64_t n_ids);
  std::uint64_t operator[](std::uint64_t sample) const {
    return narrow_.empty() ? wide_[sample] : narrow_[sample];
  }

 private:
  std::vector<std::uint32_t> narrow_;
  std::vector<std::uint64_t> wide_;
};

/// A finite training value and its sample id.
struct SortedValue {
  double value;
  std::uint64_t sample;
};

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
  std::span<const CvFold> folds;
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

/// Gathers targets in slot order: out[k] is the target of the k-th sample of
/// the concatenated validation lists.
template <class T>
void gather_by_slot(std::span<const CvFold> folds, std::span<const T> targets, std::vector<T>& out) {
  out.clear();
  for (const CvFold& fold : folds) {
    for (const std::uint64_t s : fold.valid_indices) out.push_back(targets[s]);
  }
}

/// The samples whose value is finite with their values, sorted ascending by
/// the IEEE total order.
std::vector<SortedValue> sort_finite_samples(std::span<const double> values,
                                             std::span<const std::uint64_t> samples);

/// One record per candidate of `feature`, in ascending code order. Dispatches
/// on the task: regression, classification or objective.
std::vector<ScoredSplit> evaluate_feature(const SplitContext& context, std::uint64_t feature);

}  // namespace quor
