#include "objective.hpp"

#include <optional>

#include <algorithm>
#include <initializer_list>
#include <numeric>
#include <string>
#include <utility>

#include "config.hpp"
#include "errors.hpp"

namespace quor {

LabelRule parse_label_rule(std::string_view text) {
  if (const auto rule = find_named(kLabelRules, text)) return *rule;
  throw ValueError("unknown objective labels " + quoted(text) + " (expected " + listed_names(kLabelRules, false) + ")");
}

AverageMode parse_average(std::string_view text) {
  if (const auto average = find_named(kAverages, text)) return *average;
  throw ValueError("unknown average " + quoted(text) + " (expected " + listed_names(kAverages, false) + ")");
}

Objective Objective::from_name(std::string_view name, AverageMode average, std::uint64_t pos_label,
                               double beta) {
  const std::optional<ObjectiveKind> kind = find_named(kObjectives, name);
  if (!kind) {
    throw ValueError("unknown objective " + quoted(name) + " (expected " + listed_names(kObjectives, false) + ")");
  }
  if (!uses_pos_label(*kind)) return accuracy();
  // pos_label and beta are kept only by the objectives that read them.
  return {*kind, average, pos_label, *kind == ObjectiveKind::FBeta ? beta : 0.0};
}

template <class N>
BasicConfusion<N>::BasicConfusion(std::uint64_t n_classes)
    : tp(n_classes), fp(n_classes), fn(n_classes), support(n_classes), n_classes(n_classes) {}

template <class N>
void BasicConfusion<N>::add(std::uint64_t p, std::span<const N> k) {
  if (n_classes == 0) return;  // nothing can be counted
  check_index(p, n_classes, "confusion classes");
  check_index(n_classes - 1, k.size(), "class counts");
  for (std::uint64_t c = 0; c < n_classes; ++c) {
    const N d = k[c];
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

template <class N>
void BasicConfusion<N>::remove(std::uint64_t p, std::span<const N> k) {
  if (n_classes == 0) return;
  check_index(p, n_classes, "confusion classes");
  check_index(n_classes - 1, k.size(), "class counts");
  for (std::uint64_t c = 0; c < n_classes; ++c) {
    const N d = k[c];
    if (d == 0) continue;
    support[c] -= d;
    total -= d;
    if (c == p) {
      tp[c] -= d;
    } else {
      fn[c] -= d;
      fp[p] -= d;
    }
  }
}

template <class N>
void BasicConfusion<N>::clear() {
  std::fill(tp.begin(), tp.end(), N{0});
  std::fill(fp.begin(), fp.end(), N{0});
  std::fill(fn.begin(), fn.end(), N{0});
  std::fill(support.begin(), support.end(), N{0});
  total = 0;
}

template struct BasicConfusion<std::uint64_t>;
template struct BasicConfusion<double>;

namespace {

template <class N>
double metric_value(ObjectiveKind kind, double beta, N tp, N fp, N fn) {
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

// Every list of class counts must have an entry for each class.
void check_class_counts(std::initializer_list<std::size_t> sizes, std::uint64_t n_classes) {
  for (const std::size_t size : sizes) {
    if (size < n_classes) throw InternalError("class counts have fewer entries than classes");
  }
}

template <class N>
N sum_of(const std::vector<N>& v) {
  N s = 0;
  for (const N x : v) s += x;
  return s;
}

}  // namespace

template <class N>
double Objective::score(const BasicConfusion<N>& counts) const {
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

template <class Count>
std::vector<std::uint64_t> label_candidates(std::uint64_t n_classes, std::span<const Count> left,
                                            std::span<const Count> right) {
  std::vector<std::uint64_t> out;
  bool empty_taken = false;
  for (std::uint64_t c = 0; c < n_classes; ++c) {
    const bool present = left[c] > 0 || (!right.empty() && right[c] > 0);
    if (present || !empty_taken) out.push_back(c);
    if (!present) empty_taken = true;
  }
  return out;
}

template <class N>
SideLabels metric_side_labels(const Objective& objective, BasicConfusion<N>& counts, std::span<const N> left,
                              std::span<const N> right) {
  const std::uint64_t n_classes = counts.n_classes;
  SideLabels best;
  if (n_classes == 0) return best;
  check_class_counts({left.size(), right.empty() ? n_classes : right.size()}, n_classes);
  const std::vector<std::uint64_t> labels = label_candidates(n_classes, left, right);
  bool found = false;
  const auto consider = [&](std::uint64_t pl, std::uint64_t pr) {
    counts.clear();
    counts.add(pl, left);
    if (!right.empty()) counts.add(pr, right);
    const double score = objective.score(counts);
    if (!found || score > best.score) best = SideLabels{pl, pr, score};
    found = true;
  };
  for (const std::uint64_t pl : labels) {
    if (right.empty()) {
      consider(pl, pl);
      continue;
    }
    for (const std::uint64_t pr : labels) consider(pl, pr);
  }
  return best;
}

template std::vector<std::uint64_t> label_candidates(std::uint64_t, std::span<const std::uint64_t>,
                                                     std::span<const std::uint64_t>);
template std::vector<std::uint64_t> label_candidates(std::uint64_t, std::span<const double>, std::span<const double>);
template SideLabels metric_side_labels(const Objective&, ConfusionCounts&, std::span<const std::uint64_t>,
                                       std::span<const std::uint64_t>);
template SideLabels metric_side_labels(const Objective&, ConfusionWeights&, std::span<const double>,
                                       std::span<const double>);

template <class N>
std::vector<std::uint64_t> metric_leaf_labels(const Objective& objective, std::uint64_t n_classes,
                                              std::span<const N> leaf_counts) {
  const std::size_t nc = n_classes;
  const std::size_t n_leaves = nc == 0 ? 0 : leaf_counts.size() / nc;
  const auto leaf = [&](std::size_t l) { return leaf_counts.subspan(l * nc, nc); };
  std::vector<std::uint64_t> labels(n_leaves, 0);
  for (std::size_t l = 0; l < n_leaves; ++l) labels[l] = majority_class(leaf(l));
  if (n_leaves == 0) return labels;
  // The confusion of the current labelling, changed one leaf at a time.
  BasicConfusion<N> counts(n_classes);
  for (std::size_t l = 0; l < n_leaves; ++l) counts.add(labels[l], leaf(l));
  const auto relabel = [&](std::size_t l, std::uint64_t to) {
    counts.remove(labels[l], leaf(l));
    counts.add(to, leaf(l));
    labels[l] = to;
  };
  double best = objective.score(counts);
  if (nc == 2) {
    // Leaves by falling share of class 1 (cross-multiplied, so exact): the
    // first k predict 1, the others 0, for every k.
    std::vector<std::size_t> order(n_leaves);
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto ones = [&](std::size_t l) { return static_cast<double>(leaf(l)[1]); };
    const auto all = [&](std::size_t l) { return static_cast<double>(leaf(l)[0] + leaf(l)[1]); };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return ones(a) * all(b) > ones(b) * all(a); });
    const std::vector<std::uint64_t> majority = labels;
    for (std::size_t l = 0; l < n_leaves; ++l) relabel(l, 0);
    std::size_t best_k = n_leaves + 1;  // none: the majority labelling stays
    for (std::size_t k = 0; k <= n_leaves; ++k) {
      if (k > 0) relabel(order[k - 1], 1);
      const double score = objective.score(counts);
      if (score > best) {
        best = score;
        best_k = k;
      }
    }
    for (std::size_t k = 0; k < n_leaves; ++k) {
      relabel(order[k], best_k > n_leaves ? majority[order[k]] : (k < best_k ? 1 : 0));
    }
  }
  // One leaf at a time while the metric rises; every change raises it, and
  // the pass limit bounds the work on large trees.
  for (int pass = 0; pass < 16; ++pass) {
    bool changed = false;
    for (std::size_t l = 0; l < n_leaves; ++l) {
      for (std::uint64_t c = 0; c < n_classes; ++c) {
        const std::uint64_t previous = labels[l];
        if (c == previous) continue;
        relabel(l, c);
        const double score = objective.score(counts);
        if (score > best) {
          best = score;
          changed = true;
        } else {
          relabel(l, previous);
        }
      }
    }
    if (!changed) break;
  }
  return labels;
}

template std::vector<std::uint64_t> metric_leaf_labels(const Objective&, std::uint64_t, std::span<const std::uint64_t>);
template std::vector<std::uint64_t> metric_leaf_labels(const Objective&, std::uint64_t, std::span<const double>);

ObjectiveFoldScorer::ObjectiveFoldScorer(const Objective& objective, std::uint64_t n_classes, LabelRule labels)
    : objective_(objective), n_classes_(n_classes), labels_(labels), counts_(n_classes), weights_(n_classes) {}

template double Objective::score(const ConfusionCounts&) const;
template double Objective::score(const ConfusionWeights&) const;

template <>
ConfusionCounts& ObjectiveFoldScorer::counts<std::uint64_t>() {
  return counts_;
}
template <>
ConfusionWeights& ObjectiveFoldScorer::counts<double>() {
  return weights_;
}

template <class N>
std::pair<std::uint64_t, std::uint64_t> ObjectiveFoldScorer::side_labels(std::span<const N> train_left,
                                                                         std::span<const N> train_right) {
  if (labels_ == LabelRule::Metric) {
    const SideLabels chosen = metric_side_labels<N>(objective_, counts<N>(), train_left.first(n_classes_),
                                                    train_right.empty() ? train_right : train_right.first(n_classes_));
    return {chosen.left, chosen.right};
  }
  return {majority_class(train_left.first(n_classes_)),
          train_right.empty() ? 0 : majority_class(train_right.first(n_classes_))};
}

template <class N>
double ObjectiveFoldScorer::unsplit(std::span<const N> train, std::span<const N> valid) {
  check_class_counts({train.size(), valid.size()}, n_classes_);
  const std::uint64_t label = side_labels<N>(train, {}).first;
  BasicConfusion<N>& counts = this->counts<N>();
  counts.clear();
  counts.add(label, valid);
  return objective_.score(counts);
}

template <class N>
double ObjectiveFoldScorer::gain(double unsplit, std::span<const N> train_left, std::span<const N> train_right,
                                 std::span<const N> valid_left, std::span<const N> valid_right) {
  check_class_counts({train_left.size(), train_right.size(), valid_left.size(), valid_right.size()}, n_classes_);
  const auto [left, right] = side_labels<N>(train_left, train_right);
  BasicConfusion<N>& counts = this->counts<N>();
  counts.clear();
  counts.add(left, valid_left);
  counts.add(right, valid_right);
  return objective_.score(counts) - unsplit;
}

template double ObjectiveFoldScorer::unsplit<std::uint64_t>(std::span<const std::uint64_t>,
                                                            std::span<const std::uint64_t>);
template double ObjectiveFoldScorer::unsplit<double>(std::span<const double>, std::span<const double>);
template double ObjectiveFoldScorer::gain<std::uint64_t>(double, std::span<const std::uint64_t>,
                                                         std::span<const std::uint64_t>, std::span<const std::uint64_t>,
                                                         std::span<const std::uint64_t>);
template double ObjectiveFoldScorer::gain<double>(double, std::span<const double>, std::span<const double>,
                                                  std::span<const double>, std::span<const double>);


}  // namespace quor
