#include "objective.hpp"

#include <algorithm>
#include <numeric>
#include <string>
#include <utility>

#include "config.hpp"
#include "encoder.hpp"
#include "errors.hpp"
#include "histogram.hpp"

namespace quor {

AverageMode parse_average(std::string_view text) {
  if (text == "binary") return AverageMode::Binary;
  if (text == "micro") return AverageMode::Micro;
  if (text == "macro") return AverageMode::Macro;
  if (text == "weighted") return AverageMode::Weighted;
  throw ValueError("unknown average " + quoted(text) + " (expected binary/micro/macro/weighted)");
}

Objective Objective::from_name(std::string_view name, AverageMode average, std::uint64_t pos_label,
                               double beta) {
  if (name == "precision") return {ObjectiveKind::Precision, average, pos_label, 0.0};
  if (name == "recall") return {ObjectiveKind::Recall, average, pos_label, 0.0};
  if (name == "f1") return {ObjectiveKind::F1, average, pos_label, 0.0};
  if (name == "fbeta") return {ObjectiveKind::FBeta, average, pos_label, beta};
  if (name == "accuracy") return accuracy();
  throw ValueError("unknown objective " + quoted(name) +
                   " (expected precision/recall/f1/fbeta/accuracy)");
}

std::string_view Objective::name() const {
  switch (kind_) {
    case ObjectiveKind::Precision: return "precision";
    case ObjectiveKind::Recall: return "recall";
    case ObjectiveKind::F1: return "f1";
    case ObjectiveKind::FBeta: return "fbeta";
    case ObjectiveKind::Accuracy: return "accuracy";
  }
  return "";
}

ConfusionCounts::ConfusionCounts(std::uint64_t n_classes)
    : tp(n_classes), fp(n_classes), fn(n_classes), support(n_classes), n_classes(n_classes) {}

void ConfusionCounts::add(std::uint64_t p, std::span<const std::uint64_t> k) {
  if (n_classes == 0) return;  // nothing can be counted
  check_index(p, n_classes, "confusion classes");
  check_index(n_classes - 1, k.size(), "class counts");
  for (std::uint64_t c = 0; c < n_classes; ++c) {
    const std::uint64_t d = k[c];
    if (d == 0) continue;
    support[c] += d;
    total += d;
    if (c == p) {
      tp[c] += d;
    } else {
      fn[c] += d;
      fp[p] += d;
    }
  }
}

std::uint64_t majority_class(std::span<const std::uint64_t> counts) {
  std::uint64_t best = 0;
  for (std::uint64_t c = 1; c < counts.size(); ++c) {
    if (counts[c] > counts[best]) best = c;
  }
  return best;
}

namespace {

// One metric on one class's (or the summed) counts; every zero denominator
// gives 0. The integer tests come first so that no 0/0 is ever formed.
double metric_value(ObjectiveKind kind, double beta, std::uint64_t tp, std::uint64_t fp,
                    std::uint64_t fn) {
  const double tpd = static_cast<double>(tp);
  const double fpd = static_cast<double>(fp);
  const double fnd = static_cast<double>(fn);
  switch (kind) {
    case ObjectiveKind::Precision:
      if (tp == 0 && fp == 0) return 0.0;
      return tpd / (tpd + fpd);
    case ObjectiveKind::Recall:
      if (tp == 0 && fn == 0) return 0.0;
      return tpd / (tpd + fnd);
    case ObjectiveKind::F1:
      if (tp == 0 && fp == 0 && fn == 0) return 0.0;
      return 2.0 * tpd / (2.0 * tpd + fpd + fnd);
    case ObjectiveKind::FBeta: {
      const double beta2 = beta * beta;
      const double scale = 1.0 + beta2;
      const double denominator = fpd + (beta2 * fnd + scale * tpd);
      // Also catches a NaN denominator (a NaN or infinite beta).
      if (!(denominator > 0.0)) return 0.0;
      return scale * tpd / denominator;
    }
    case ObjectiveKind::Accuracy:
      break;
  }
  return 0.0;
}

std::uint64_t sum_of(const std::vector<std::uint64_t>& v) {
  std::uint64_t s = 0;
  for (const std::uint64_t x : v) s += x;
  return s;
}

}  // namespace

double Objective::score(const ConfusionCounts& counts) const {
  const std::uint64_t n_classes = counts.n_classes;
  if (kind_ == ObjectiveKind::Accuracy) {
    if (counts.total == 0) return 0.0;
    return static_cast<double>(sum_of(counts.tp)) / static_cast<double>(counts.total);
  }
  const auto per_class = [&](std::uint64_t c) {
    return metric_value(kind_, beta_, counts.tp[c], counts.fp[c], counts.fn[c]);
  };
  switch (average_) {
    case AverageMode::Binary:
      if (pos_label_ >= n_classes) return 0.0;
      return per_class(pos_label_);
    case AverageMode::Micro:
      return metric_value(kind_, beta_, sum_of(counts.tp), sum_of(counts.fp), sum_of(counts.fn));
    case AverageMode::Macro: {
      if (n_classes == 0) return 0.0;
      double sum = -0.0;
      for (std::uint64_t c = 0; c < n_classes; ++c) sum += per_class(c);
      return sum / static_cast<double>(n_classes);
    }
    case AverageMode::Weighted: {
      if (counts.total == 0) return 0.0;
      double sum = -0.0;
      for (std::uint64_t c = 0; c < n_classes; ++c) {
        sum += static_cast<double>(counts.support[c]) * per_class(c);
      }
      return sum / static_cast<double>(counts.total);
    }
  }
  return 0.0;
}

double objective_fold_gain(const Objective& objective, std::uint64_t n_classes,
                           std::span<const std::uint64_t> train_left,
                           std::span<const std::uint64_t> train_right,
                           std::span<const std::uint64_t> valid_left,
                           std::span<const std::uint64_t> valid_right) {
  ObjectiveScratch scratch(n_classes);
  return objective_fold_gain(objective, n_classes, train_left, train_right, valid_left, valid_right,
                             scratch);
}

void ConfusionCounts::clear() {
  std::fill(tp.begin(), tp.end(), 0);
  std::fill(fp.begin(), fp.end(), 0);
  std::fill(fn.begin(), fn.end(), 0);
  std::fill(support.begin(), support.end(), 0);
  total = 0;
}

double objective_fold_gain(const Objective& objective, std::uint64_t n_classes,
                           std::span<const std::uint64_t> train_left,
                           std::span<const std::uint64_t> train_right,
                           std::span<const std::uint64_t> valid_left,
                           std::span<const std::uint64_t> valid_right, ObjectiveScratch& scratch) {
  if (n_classes > 0) {
    check_index(n_classes - 1,
                std::min({train_left.size(), train_right.size(), valid_left.size(),
                          valid_right.size()}),
                "class counts");
  }
  if (scratch.with_split.n_classes != n_classes || scratch.without_split.n_classes != n_classes) {
    throw InternalError("confusion scratch is not sized for " + std::to_string(n_classes) + " classes");
  }
  const std::uint64_t p_left = majority_class(train_left.first(n_classes));
  const std::uint64_t p_right = majority_class(train_right.first(n_classes));
  // Majority of both training sides added per class, without a summed copy.
  std::uint64_t p_node = 0;
  std::uint64_t best = 0;
  for (std::uint64_t c = 0; c < n_classes; ++c) {
    const std::uint64_t total = train_left[c] + train_right[c];
    if (c == 0 || total > best) {
      best = total;
      p_node = c;
    }
  }
  ConfusionCounts& with_split = scratch.with_split;
  ConfusionCounts& without_split = scratch.without_split;
  with_split.clear();
  without_split.clear();
  with_split.add(p_left, valid_left);
  with_split.add(p_right, valid_right);
  // Adding both held-out sides with one prediction equals adding their sum.
  without_split.add(p_node, valid_left);
  without_split.add(p_node, valid_right);
  return objective.score(with_split) - objective.score(without_split);
}

// ---------------------------------------------------------------------------
// Split scoring by the objective: the strict fold step and the fast histogram search.

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
  ConfusionCounts split(nc);

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
    split.clear();
    split.add(majority_class(tl), vl);
    split.add(majority_class(tr), vr);
    lists[j].push_back(task.objective.score(split) - base);
  }
}

}  // namespace quor
