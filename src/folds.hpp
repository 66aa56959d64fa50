#pragma once
/// Folds of a node's samples: a reproducible SplitMix64 shuffle, then
/// contiguous blocks of the shuffled list, the first n mod k one sample
/// longer. Strict mode keeps the blocks as index lists, fast mode as a fold
/// number per position; both come from the one shuffle and the one size rule.

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace quor {

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

/// The most folds a node has in fast mode: a fold number fits one byte.
inline constexpr std::uint64_t kMaxFastFolds = 255;

/// k = min(max(cv_folds, 2), n), and at most kMaxFastFolds in fast mode.
std::uint64_t fold_count(std::uint64_t cv_folds, std::uint64_t n, bool fast_mode);

/// Where each of k folds of n positions starts, then n: the first n mod k
/// folds hold ⌊n / k⌋ + 1 positions, the others ⌊n / k⌋. k must be at least 1.
std::vector<std::uint64_t> fold_starts(std::uint64_t n, std::uint64_t k);

/// Strict-mode folds of a node: fold f validates samples[starts[f] ..
/// starts[f + 1]) and trains on the node's other samples. A sample's position
/// in `samples` is its slot.
struct StrictFolds {
  std::vector<std::uint64_t> samples;  // the node's samples, shuffled
  std::vector<std::uint64_t> starts;   // count() + 1 entries

  std::uint64_t count() const { return starts.empty() ? 0 : starts.size() - 1; }
  std::span<const std::uint64_t> valid(std::uint64_t f) const {
    return std::span<const std::uint64_t>(samples).subspan(starts[f], starts[f + 1] - starts[f]);
  }
};

/// The folds of a node with at least one sample.
StrictFolds make_folds(std::span<const std::uint64_t> samples, std::uint64_t cv_folds,
                       std::uint64_t cv_seed, bool cv_shuffle);

/// The fold order of n samples in fast mode: the shuffle applied to positions
/// 0 … n − 1 (so the p-th sample of the shuffled list is the one at
/// positions[p]) and the fold of each shuffled position (non-decreasing).
/// Returns the fold count.
std::uint64_t fold_order(std::uint64_t n, std::uint64_t cv_folds, std::uint64_t cv_seed, bool cv_shuffle,
                         std::vector<std::uint32_t>& positions, std::vector<std::uint8_t>& fold_ids);

/// Each node sample's slot by sample id. Stored in 32 bits whenever the
/// sample ids allow, so that the table stays in cache.
class SlotTable {
 public:
  /// Sets the slots of the folds' samples; ids must be below `n_ids`.
  void fill(const StrictFolds& folds, std::uint64_t n_ids);
  std::uint64_t operator[](std::uint64_t sample) const {
    return narrow_.empty() ? wide_[sample] : narrow_[sample];
  }

 private:
  std::vector<std::uint32_t> narrow_;
  std::vector<std::uint64_t> wide_;
};

}  // namespace quor
