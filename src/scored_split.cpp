#include "scored_split.hpp"

#include <cmath>
#include <utility>

namespace quor {

ScoredSplit make_scored_split(std::uint64_t feature, std::uint32_t code, std::vector<double> fold_scores,
                        std::uint64_t n_folds, const Aggregator& aggregator) {
  ScoredSplit scored;
  scored.stats = fold_stats(std::move(fold_scores), n_folds);
  scored.feature = feature;
  scored.code = code;
  scored.score = aggregator.aggregate(scored.stats);
  return scored;
}

std::vector<ScoredSplit> pool_scored_splits(std::vector<std::vector<ScoredSplit>> per_feature) {
  std::size_t total = 0;
  for (const auto& list : per_feature) total += list.size();
  std::vector<ScoredSplit> out;
  out.reserve(total);
  for (auto& list : per_feature) {
    for (auto& one : list) out.push_back(std::move(one));
  }
  return out;
}

const ScoredSplit* choose_best_split(std::span<const ScoredSplit> scored) {
  const ScoredSplit* best = nullptr;
  for (const ScoredSplit& r : scored) {
    if (!std::isfinite(r.score)) continue;
    if (best == nullptr ||
        comes_first(r.score, r.feature, r.code, r.missing_left, best->score, best->feature, best->code,
                    best->missing_left)) {
      best = &r;
    }
  }
  return best;
}

}  // namespace quor
