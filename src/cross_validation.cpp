#include "cross_validation.hpp"

#include <algorithm>

namespace quor {

std::uint64_t fold_count(std::uint64_t cv_folds, std::uint64_t n, bool fast_mode) {
  std::uint64_t k = std::min(std::max<std::uint64_t>(cv_folds, 2), n);
  if (fast_mode) k = std::min<std::uint64_t>(k, 255);
  return k;
}

std::vector<CvFold> make_folds(std::span<const std::uint64_t> samples, std::uint64_t cv_folds,
                               std::uint64_t cv_seed, bool cv_shuffle) {
  std::vector<std::uint64_t> permuted(samples.begin(), samples.end());
  permute_samples(std::span<std::uint64_t>(permuted), cv_seed, cv_shuffle);
  const std::uint64_t n = permuted.size();
  const std::uint64_t k = fold_count(cv_folds, n, false);
  std::vector<CvFold> folds(k);
  if (k == 0) return folds;
  const std::uint64_t base = n / k;
  const std::uint64_t rem = n % k;
  std::uint64_t start = 0;
  for (std::uint64_t f = 0; f < k; ++f) {
    const std::uint64_t size = base + (f < rem ? 1 : 0);
    const auto first = permuted.begin() + static_cast<std::ptrdiff_t>(start);
    const auto last = first + static_cast<std::ptrdiff_t>(size);
    CvFold& fold = folds[f];
    fold.valid_indices.assign(first, last);
    fold.train_indices.reserve(n - size);
    fold.train_indices.insert(fold.train_indices.end(), permuted.begin(), first);
    fold.train_indices.insert(fold.train_indices.end(), last, permuted.end());
    start += size;
  }
  return folds;
}

FoldAssignment assign_folds(std::span<const std::uint32_t> samples, std::uint64_t cv_folds,
                            std::uint64_t cv_seed, bool cv_shuffle) {
  FoldAssignment out;
  out.sample_indices.assign(samples.begin(), samples.end());
  permute_samples(std::span<std::uint32_t>(out.sample_indices), cv_seed, cv_shuffle);
  const std::uint64_t n = samples.size();
  const std::uint64_t k = fold_count(cv_folds, n, true);
  out.n_folds = k;
  out.fold_ids.resize(n);
  if (k == 0) return out;
  const std::uint64_t base = n / k;
  const std::uint64_t rem = n % k;
  std::uint64_t start = 0;
  for (std::uint64_t f = 0; f < k; ++f) {
    const std::uint64_t size = base + (f < rem ? 1 : 0);
    std::fill_n(out.fold_ids.begin() + static_cast<std::ptrdiff_t>(start), size,
                static_cast<std::uint8_t>(f));
    start += size;
  }
  return out;
}

}  // namespace quor
