#include "held_out.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "criterion.hpp"
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

namespace quor {

bool measures_honestly(const Task& task) { return !std::holds_alternative<ObjectiveTask>(task); }

void HonestScore::start(const Task& task, std::size_t n_folds) {
  n_folds_ = n_folds;
  if (const auto* regression = std::get_if<RegressionTask>(&task)) {
    loss_ = regression->criterion.kind() == CriterionKind::Mae ? Loss::Absolute : Loss::Squared;
    width_ = 2;
  } else {
    loss_ = Loss::Brier;
    width_ = 1 + n_classes(task);
  }
  sums_.assign(n_folds * 2 * width_, 0.0);
  counts_.assign(n_folds * 2 * width_, 0);
  settled_ = false;
  rows_.clear();
}

void HonestScore::settle() {
  settled_ = true;
  if (loss_ != Loss::Brier) {
    for (std::size_t at = 0; at < sums_.size(); at += width_) sums_[at] += static_cast<double>(counts_[at]);
    return;
  }
  for (std::size_t at = 0; at < sums_.size(); at += width_) {
    double weight = -0.0;
    for (std::size_t c = 1; c < width_; ++c) {
      sums_[at + c] += static_cast<double>(counts_[at + c]);
      weight += sums_[at + c];
    }
    sums_[at] = weight;
  }
}

double HonestScore::score(std::size_t k) {
  if (!settled_) settle();
  switch (loss_) {
    case Loss::Squared: return squared_error(k);
    case Loss::Brier: return brier(k);
    case Loss::Absolute: return absolute_error(k);
  }
  return 0.0;
}

double HonestScore::squared_error(std::size_t k) const {
  // Sums over the other folds, in fold order.
  double weight[2] = {-0.0, -0.0}, target[2] = {-0.0, -0.0};
  for (std::size_t j = 0; j < n_folds_; ++j) {
    if (j == k) continue;
    for (std::size_t side = 0; side < 2; ++side) {
      weight[side] += sums_[(j * 2 + side) * width_];
      target[side] += sums_[(j * 2 + side) * width_ + 1];
    }
  }
  const double* own[2] = {sums_.data() + (k * 2) * width_, sums_.data() + (k * 2 + 1) * width_};
  const double own_weight = own[0][0] + own[1][0];
  if (!(weight[0] > 0.0) || !(weight[1] > 0.0) || !(own_weight > 0.0)) return 0.0;
  const double node_mean = (target[0] + target[1]) / (weight[0] + weight[1]);
  // Σ w·(y − m)² − Σ w·(y − m_s)² over a side's rows is
  // (m_s − m)·(2·Σ w·y − Σ w·(m_s + m)): the squares of the targets cancel.
  double gain = -0.0;
  for (std::size_t side = 0; side < 2; ++side) {
    const double side_mean = target[side] / weight[side];
    gain += (side_mean - node_mean) * (2.0 * own[side][1] - own[side][0] * (side_mean + node_mean));
  }
  return gain / own_weight;
}

double HonestScore::brier(std::size_t k) const {
  const std::size_t C = width_ - 1;
  const double* own[2] = {sums_.data() + (k * 2) * width_, sums_.data() + (k * 2 + 1) * width_};
  const double own_weight = own[0][0] + own[1][0];
  double weight[2] = {-0.0, -0.0};
  for (std::size_t j = 0; j < n_folds_; ++j) {
    if (j == k) continue;
    for (std::size_t side = 0; side < 2; ++side) weight[side] += sums_[(j * 2 + side) * width_];
  }
  if (!(weight[0] > 0.0) || !(weight[1] > 0.0) || !(own_weight > 0.0)) return 0.0;
  // A row of class y against shares p loses Σ_c p_c² − 2·p_y + 1; the 1
  // cancels between the node and a side.
  double gain = -0.0;
  double node_square = -0.0;
  for (std::size_t c = 0; c < C; ++c) {
    double side_class[2] = {-0.0, -0.0};
    for (std::size_t j = 0; j < n_folds_; ++j) {
      if (j == k) continue;
      for (std::size_t side = 0; side < 2; ++side) side_class[side] += sums_[(j * 2 + side) * width_ + 1 + c];
    }
    const double node_share = (side_class[0] + side_class[1]) / (weight[0] + weight[1]);
    node_square += node_share * node_share;
    for (std::size_t side = 0; side < 2; ++side) {
      const double share = side_class[side] / weight[side];
      // −2·p_y against −2·q_y over the side's own rows of class c, and the
      // side's Σ q² (taken off below, per side).
      gain += 2.0 * own[side][1 + c] * (share - node_share) - own[side][0] * share * share;
    }
  }
  gain += own_weight * node_square;
  return gain / own_weight;
}

double HonestScore::absolute_error(std::size_t k) {
  double own_weight = -0.0;
  for (const Row& row : rows_) {
    if (row.fold == k) own_weight += row.weight;
  }
  double median[3];  // node, left, right
  for (int part = 0; part < 3; ++part) {
    values_.clear();
    weights_.clear();
    for (const Row& row : rows_) {
      if (row.fold == k || !(row.weight > 0.0) || (part == 1 && !row.left) || (part == 2 && row.left)) continue;
      values_.push_back(row.value);
      weights_.push_back(row.weight);
    }
    if (values_.empty()) return 0.0;
    median[part] = weighted_median(values_, weights_, scratch_);
  }
  if (!(own_weight > 0.0)) return 0.0;
  double gain = -0.0;
  for (const Row& row : rows_) {
    if (row.fold != k) continue;
    gain += row.weight * (std::fabs(row.value - median[0]) - std::fabs(row.value - median[row.left ? 1 : 2]));
  }
  return gain / own_weight;
}

}  // namespace quor
