// Objective-classifier split scoring (strict fold step). Kept apart from the
// metric definitions while those are being written; merges into objective.cpp.
#include <algorithm>
#include <numeric>

#include "cross_validation.hpp"
#include "encoder.hpp"
#include "histogram.hpp"
#include "objective.hpp"

namespace quor {

namespace {

std::uint64_t total_of(std::span<const std::uint64_t> counts) {
  return std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
}

}  // namespace

void score_objective_fold(const ObjectiveTask& task, std::span<const std::uint64_t> train_hist,
                          std::span<const std::uint64_t> valid_hist, bool threshold,
                          std::uint32_t n_candidates, std::vector<std::vector<double>>& lists) {
  const std::size_t nc = task.n_classes;
  const std::size_t n_pos = static_cast<std::size_t>(n_candidates) + 1;
  // Six class vectors: T, V, TL, VL, TR, VR.
  std::vector<std::uint64_t> vectors(6 * nc, 0);
  const auto vec = [&](std::size_t k) { return std::span<std::uint64_t>(vectors.data() + k * nc, nc); };
  auto t = vec(0), v = vec(1), tl = vec(2), vl = vec(3), tr = vec(4), vr = vec(5);
  for (std::size_t p = 0; p < n_pos; ++p) {
    for (std::size_t c = 0; c < nc; ++c) {
      t[c] += train_hist[p * nc + c];
      v[c] += valid_hist[p * nc + c];
    }
  }
  const std::uint64_t sum_t = total_of(t);
  const std::uint64_t sum_v = total_of(v);
  ConfusionCounts unsplit(nc);
  unsplit.add(majority_class(t), v);
  const double base = task.objective.score(unsplit);

  for (std::uint32_t j = 0; j < n_candidates; ++j) {
    const std::uint64_t* train_cell = train_hist.data() + static_cast<std::size_t>(j) * nc;
    const std::uint64_t* valid_cell = valid_hist.data() + static_cast<std::size_t>(j) * nc;
    for (std::size_t c = 0; c < nc; ++c) {
      tl[c] = threshold ? tl[c] + train_cell[c] : train_cell[c];
      vl[c] = threshold ? vl[c] + valid_cell[c] : valid_cell[c];
    }
    const std::uint64_t sum_tl = total_of(tl);
    const std::uint64_t sum_vl = total_of(vl);
    if (sum_vl == 0 || sum_vl == sum_v || sum_tl == 0 || sum_tl == sum_t) continue;
    for (std::size_t c = 0; c < nc; ++c) {
      tr[c] = t[c] - tl[c];
      vr[c] = v[c] - vl[c];
    }
    ConfusionCounts split(nc);
    split.add(majority_class(tl), vl);
    split.add(majority_class(tr), vr);
    lists[j].push_back(task.objective.score(split) - base);
  }
}

std::vector<ScoredSplit> score_bins_objective(const ObjectiveTask& task,
                                              std::span<const std::uint16_t> codes,
                                              std::uint64_t n_codes,
                                              std::span<const std::uint64_t> labels,
                                              std::span<const std::uint32_t> samples,
                                              std::span<const std::uint8_t> fold_ids,
                                              std::uint64_t n_folds, std::uint64_t feature,
                                              const Aggregator& aggregator, bool threshold) {
  std::vector<ScoredSplit> out;
  const std::size_t B = n_codes;
  const std::size_t K = n_folds;
  const std::size_t C = task.n_classes;
  if (K == 0 || B == 0 || C == 0) return out;
  std::vector<std::uint64_t> cells(K * B * C, 0);
  std::vector<std::uint64_t> fold_totals(K * C, 0);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::uint32_t s = samples[i];
    const std::uint16_t b = codes[s];
    const std::uint64_t c = labels[s];
    if (b == kMissingCode || b >= B || c >= C) continue;
    const std::size_t f = fold_ids[i];
    ++cells[(f * B + b) * C + c];
    ++fold_totals[f * C + c];
  }
  std::vector<std::uint64_t> code_totals(B * C, 0);
  std::vector<std::uint64_t> class_totals(C, 0);
  for (std::size_t f = 0; f < K; ++f) {
    for (std::size_t b = 0; b < B; ++b) {
      for (std::size_t c = 0; c < C; ++c) code_totals[b * C + c] += cells[(f * B + b) * C + c];
    }
  }
  for (std::size_t b = 0; b < B; ++b) {
    for (std::size_t c = 0; c < C; ++c) class_totals[c] += code_totals[b * C + c];
  }
  std::vector<std::uint64_t> fold_sizes(K, 0);
  for (std::size_t f = 0; f < K; ++f) fold_sizes[f] = total_of({fold_totals.data() + f * C, C});

  // The four sides and the fold's training totals, overwritten per (code, fold).
  std::vector<std::uint64_t> vectors(5 * C);
  const auto vec = [&](int k) { return std::span<std::uint64_t>(vectors.data() + k * C, C); };
  auto t = vec(0), tl = vec(1), tr = vec(2), vl = vec(3), vr = vec(4);
  const auto fold_score = [&](std::size_t f, const std::uint64_t* held_left,
                              const std::uint64_t* node_left, double& score) {
    if (fold_sizes[f] == 0) return false;
    const std::uint64_t* fold = fold_totals.data() + f * C;
    std::uint64_t n_vl = 0, n_vr = 0, n_tl = 0, n_tr = 0;
    for (std::size_t c = 0; c < C; ++c) {
      t[c] = class_totals[c] - fold[c];
      vl[c] = held_left[c];
      vr[c] = fold[c] - held_left[c];
      tl[c] = node_left[c] - held_left[c];
      tr[c] = t[c] - tl[c];
      n_vl += vl[c];
      n_vr += vr[c];
      n_tl += tl[c];
      n_tr += tr[c];
    }
    if (n_vl == 0 || n_vr == 0 || n_tl == 0 || n_tr == 0) return false;
    score = objective_fold_gain(task.objective, C, tl, tr, vl, vr);
    return true;
  };

  std::vector<std::uint64_t> running(threshold ? K * C : 0, 0);
  std::vector<std::uint64_t> running_node(threshold ? C : 0, 0);
  for (std::size_t b = 0; b < B; ++b) {
    const std::uint64_t code_total = total_of({code_totals.data() + b * C, C});
    if (threshold) {
      for (std::size_t f = 0; f < K; ++f) {
        for (std::size_t c = 0; c < C; ++c) running[f * C + c] += cells[(f * B + b) * C + c];
      }
      for (std::size_t c = 0; c < C; ++c) running_node[c] += code_totals[b * C + c];
      if (b == B - 1 || code_total == 0) continue;
    } else if (code_total == 0) {
      continue;
    }
    std::vector<double> scores;
    scores.reserve(K);
    for (std::size_t f = 0; f < K; ++f) {
      double score;
      const bool scored = threshold
                              ? fold_score(f, running.data() + f * C, running_node.data(), score)
                              : fold_score(f, cells.data() + (f * B + b) * C,
                                           code_totals.data() + b * C, score);
      if (scored) scores.push_back(score);
    }
    append_records(out, static_cast<std::uint32_t>(b), std::move(scores), K, feature, aggregator);
  }
  return out;
}

}  // namespace quor
