#pragma once
/// Fast-mode growing: every feature is encoded once into codes, nodes are
/// searched with per-fold histograms of those codes, and each node's samples
/// are a range of one buffer of 32-bit ids, partitioned in place.

#include <cstdint>
#include <span>

#include "encoder.hpp"
#include "growth.hpp"
#include "input.hpp"
#include "tree.hpp"
#include "views.hpp"

namespace quor {

/// Fast-mode entry: refuses the "mae" criterion, refuses 2^32 samples or more,
/// encodes the input matrix once (columns in the sorted `categorical` list are
/// categorical) and grows. Throws `ValueError` with the refusal or the
/// encoder's message.
Tree fit_fast(const GrowInput& input, const MatrixView& x, std::span<const std::uint64_t> categorical);

/// The refusals of the fast-mode entry, before anything is encoded: the "mae"
/// criterion and too many samples (`ValueError`).
void check_fast_entry(const Task& task, std::uint64_t n_samples);

/// Fast mode over the root run of 32-bit ids: 0 … n − 1 unless the input's
/// options give it.
Tree grow_fast(const GrowInput& input, const EncodedFeatures& encoded);

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

}  // namespace quor
