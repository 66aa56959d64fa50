#include "held_out.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "scored_split.hpp"

namespace quor {

void HeldOutChoice::reset(std::size_t n_folds, const Aggregator& aggregator) {
  aggregator_ = &aggregator;
  picks_.assign(n_folds, Pick{});
}

void HeldOutChoice::add(std::uint64_t feature, std::uint32_t code, bool missing_left, std::span<const double> scores,
                        std::span<const std::uint32_t> folds) {
  const std::size_t K = picks_.size();
  const bool every_fold = folds.empty();
  const bool mean = aggregator_->kind() == AggregatorKind::Mean;
  // Position in `scores` of fold k's score; scores.size() when it has none.
  std::size_t at = 0;
  for (std::size_t k = 0; k < K; ++k) {
    std::size_t own = scores.size();
    if (every_fold) {
      if (k < scores.size()) own = k;
    } else {
      while (at < folds.size() && folds[at] < k) ++at;
      if (at < folds.size() && folds[at] == k) own = at;
    }
    double choice;
    if (mean) {
      // The mean's own sum, in fold order from -0.0, without a copy.
      double sum = -0.0;
      for (std::size_t i = 0; i < scores.size(); ++i) {
        if (i != own) sum += scores[i];
      }
      const std::size_t n = scores.size() - (own < scores.size() ? 1 : 0);
      choice = n == 0 ? -std::numeric_limits<double>::infinity() : sum / static_cast<double>(n);
    } else {
      others_.clear();
      for (std::size_t i = 0; i < scores.size(); ++i) {
        if (i != own) others_.push_back(scores[i]);
      }
      choice = aggregator_->score(others_);
    }
    if (!std::isfinite(choice)) continue;
    Pick& pick = picks_[k];
    // The node's own order, ties included.
    if (pick.found &&
        !comes_first(choice, feature, code, missing_left, pick.choice, pick.feature, pick.code, pick.missing_left)) {
      continue;
    }
    pick = Pick{true, choice, feature, code, missing_left, own < scores.size() ? scores[own] : 0.0};
  }
}

std::vector<FeatureCredit> HeldOutChoice::credits() const {
  std::vector<FeatureCredit> out;
  for (const Pick& pick : picks_) {
    if (pick.found) out.push_back(FeatureCredit{pick.feature, pick.held_out});
  }
  // Summed in fold order within each feature: a stable sort keeps it.
  std::stable_sort(out.begin(), out.end(),
                   [](const FeatureCredit& a, const FeatureCredit& b) { return a.feature < b.feature; });
  std::vector<FeatureCredit> merged;
  for (const FeatureCredit& one : out) {
    if (merged.empty() || merged.back().feature != one.feature) {
      merged.push_back(FeatureCredit{one.feature, -0.0});
    }
    merged.back().score += one.score;
  }
  const auto K = static_cast<double>(picks_.size());
  for (FeatureCredit& one : merged) one.score /= K;
  return merged;
}

}  // namespace quor
