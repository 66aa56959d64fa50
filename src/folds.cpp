#include "folds.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

#include "errors.hpp"

namespace quor {

std::uint64_t fold_count(std::uint64_t cv_folds, std::uint64_t n, bool fast_mode) {
  std::uint64_t k = std::min(std::max<std::uint64_t>(cv_folds, 2), n);
  if (fast_mode) k = std::min(k, kMaxFastFolds);
  return k;
}

std::vector<std::uint64_t> fold_starts(std::uint64_t n, std::uint64_t k) {
  const std::uint64_t base = n / k;
  const std::uint64_t rem = n % k;
  std::vector<std::uint64_t> starts(k + 1, 0);
  for (std::uint64_t f = 0; f < k; ++f) starts[f + 1] = starts[f] + base + (f < rem ? 1 : 0);
  return starts;
}

StrictFolds make_folds(std::span<const std::uint64_t> samples, std::uint64_t cv_folds,
                       std::uint64_t cv_seed, bool cv_shuffle) {
  StrictFolds folds;
  folds.samples.assign(samples.begin(), samples.end());
  permute_samples(std::span<std::uint64_t>(folds.samples), cv_seed, cv_shuffle);
  const std::uint64_t n = samples.size();
  const std::uint64_t k = fold_count(cv_folds, n, false);
  if (k > 0) folds.starts = fold_starts(n, k);
  return folds;
}

std::uint64_t fold_order(std::uint64_t n, std::uint64_t cv_folds, std::uint64_t cv_seed, bool cv_shuffle,
                         std::vector<std::uint32_t>& positions, std::vector<std::uint8_t>& fold_ids) {
  positions.resize(n);
  std::iota(positions.begin(), positions.end(), std::uint32_t{0});
  permute_samples(std::span<std::uint32_t>(positions), cv_seed, cv_shuffle);
  const std::uint64_t k = fold_count(cv_folds, n, true);
  fold_ids.resize(n);
  if (k == 0) return 0;
  const std::vector<std::uint64_t> starts = fold_starts(n, k);
  for (std::uint64_t f = 0; f < k; ++f) {
    std::fill(fold_ids.begin() + static_cast<std::ptrdiff_t>(starts[f]),
              fold_ids.begin() + static_cast<std::ptrdiff_t>(starts[f + 1]), static_cast<std::uint8_t>(f));
  }
  return k;
}

void SlotTable::fill(const StrictFolds& folds, std::uint64_t n_ids) {
  const bool narrow = n_ids <= std::numeric_limits<std::uint32_t>::max();
  if (narrow && narrow_.size() < n_ids) narrow_.resize(n_ids);
  if (!narrow && wide_.size() < n_ids) wide_.resize(n_ids);
  for (std::uint64_t slot = 0; slot < folds.samples.size(); ++slot) {
    const std::uint64_t s = folds.samples[slot];
    check_index(s, n_ids, "samples");
    if (narrow) {
      narrow_[s] = static_cast<std::uint32_t>(slot);
    } else {
      wide_[s] = slot;
    }
  }
}

}  // namespace quor
