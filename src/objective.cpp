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

ObjectiveFoldScorer::ObjectiveFoldScorer(const Objective& objective, std::uint64_t n_classes)
    : objective_(objective), n_classes_(n_classes), counts_(n_classes), weights_(n_classes) {}

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
double ObjectiveFoldScorer::unsplit(std::span<const N> train, std::span<const N> valid) {
  check_class_counts({train.size(), valid.size()}, n_classes_);
  BasicConfusion<N>& counts = this->counts<N>();
  counts.clear();
  counts.add(majority_class(train.first(n_classes_)), valid);
  return objective_.score(counts);
}

template <class N>
double ObjectiveFoldScorer::gain(double unsplit, std::span<const N> train_left, std::span<const N> train_right,
                                 std::span<const N> valid_left, std::span<const N> valid_right) {
  check_class_counts({train_left.size(), train_right.size(), valid_left.size(), valid_right.size()}, n_classes_);
  BasicConfusion<N>& counts = this->counts<N>();
  counts.clear();
  counts.add(majority_class(train_left.first(n_classes_)), valid_left);
  counts.add(majority_class(train_right.first(n_classes_)), valid_right);
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
