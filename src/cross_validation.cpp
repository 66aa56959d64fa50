#include "cross_validation.hpp"

#include <algorithm>
#include <cmath>

#include "candidate.hpp"
#include "errors.hpp"

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


// ---------------------------------------------------------------------------
// Strict-mode evaluation of one feature.
//
// Within a fold every sample is reduced to its candidate position p: under the
// threshold test the sample goes left of candidate j exactly when j >= p (p is
// the first candidate >= the sample's bin), under the equality test exactly
// when j == p (p is the candidate equal to the sample's code). Missing values
// and codes that match no candidate get p = C, the number of candidates, and
// go right of every candidate. Each candidate's left and right sums are then
// accumulated in validation order in one pass, which gives the same bits as
// gathering each side's targets and computing its impurity.

namespace {

constexpr std::uint32_t kRightOfAll = 0xFFFFFFFFu;

class PositionMapper {
 public:
  PositionMapper(const FeatureColumn& column, SideTest test, std::span<const std::uint32_t> candidates,
                 std::uint64_t n_bins)
      : column_(column), test_(test), candidates_(candidates), n_bins_(n_bins) {}

  /// Bins the fold against the edges of its training samples (continuous
  /// features only; categorical codes need no edges).
  void prepare_fold(std::span<const std::uint64_t> train, std::vector<std::uint64_t>& scratch) {
    if (!column_.is_categorical) edges_ = quantile_edges_at(column_.values, train, n_bins_, scratch);
  }

  /// Candidate positions of `samples`, written to `out`.
  void positions(std::span<const std::uint64_t> samples, std::vector<std::uint32_t>& out) const {
    out.resize(samples.size());
    const std::uint32_t n_candidates = static_cast<std::uint32_t>(candidates_.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
      std::uint32_t code;
      if (column_.is_categorical) {
        code = column_.codes[samples[i]];
      } else {
        const double x = column_.values[samples[i]];
        code = std::isfinite(x) ? static_cast<std::uint32_t>(
                                      std::upper_bound(edges_.begin(), edges_.end(), x) - edges_.begin())
                                : kMissingBin;
      }
      out[i] = position_of(code, n_candidates);
    }
  }

 private:
  std::uint32_t position_of(std::uint32_t code, std::uint32_t n_candidates) const {
    if (code == kMissingBin) return n_candidates;
    const auto it = std::lower_bound(candidates_.begin(), candidates_.end(), code);
    const auto p = static_cast<std::uint32_t>(it - candidates_.begin());
    if (test_ == SideTest::Threshold) return p;
    return (it != candidates_.end() && *it == code) ? p : n_candidates;
  }

  const FeatureColumn& column_;
  SideTest test_;
  std::span<const std::uint32_t> candidates_;
  std::uint64_t n_bins_;
  std::vector<double> edges_;
};

/// Whether candidate j takes samples at position p to its left.
inline bool left_of(SideTest test, std::uint32_t j, std::uint32_t p) {
  return test == SideTest::Threshold ? j >= p : j == p;
}

/// Adds v to a[j] for j in [begin, end).
inline void add_range(double* a, std::uint32_t begin, std::uint32_t end, double v) {
  for (std::uint32_t j = begin; j < end; ++j) a[j] += v;
}

/// Fold scores of "mse"/"variance" from sums kept per candidate and side.
void score_fold_variance(std::span<const double> y, std::span<const std::uint64_t> valid,
                         std::span<const std::uint32_t> pos, SideTest test, std::uint32_t n_cand,
                         std::vector<std::vector<double>>& lists, std::vector<double>& sums,
                         std::vector<std::uint64_t>& counts) {
  // Layout: left s1, left s2, right s1, right s2, C entries each.
  sums.assign(4 * static_cast<std::size_t>(n_cand), -0.0);
  counts.assign(static_cast<std::size_t>(n_cand) + 1, 0);
  double* ls1 = sums.data();
  double* ls2 = ls1 + n_cand;
  double* rs1 = ls2 + n_cand;
  double* rs2 = rs1 + n_cand;
  double s1 = -0.0;
  double s2 = -0.0;
  for (std::size_t i = 0; i < valid.size(); ++i) {
    const double t = y[valid[i]];
    const double t2 = t * t;
    const std::uint32_t p = pos[i];
    s1 += t;
    s2 += t2;
    ++counts[p];
    if (test == SideTest::Threshold) {
      add_range(rs1, 0, p, t);
      add_range(rs2, 0, p, t2);
      add_range(ls1, p, n_cand, t);
      add_range(ls2, p, n_cand, t2);
    } else {
      const std::uint32_t stop = std::min(p, n_cand);
      add_range(rs1, 0, stop, t);
      add_range(rs2, 0, stop, t2);
      if (p < n_cand) {
        ls1[p] += t;
        ls2[p] += t2;
        add_range(rs1, p + 1, n_cand, t);
        add_range(rs2, p + 1, n_cand, t2);
      }
    }
  }
  const auto n = static_cast<std::uint64_t>(valid.size());
  const double nd = static_cast<double>(n);
  const double parent = variance_from_sums(s1, s2, nd);
  std::uint64_t n_left = 0;
  for (std::uint32_t j = 0; j < n_cand; ++j) {
    n_left = test == SideTest::Threshold ? n_left + counts[j] : counts[j];
    const std::uint64_t n_right = n - n_left;
    if (n_left == 0 || n_right == 0) continue;
    const double nl = static_cast<double>(n_left);
    const double nr = static_cast<double>(n_right);
    const double imp_left = variance_from_sums(ls1[j], ls2[j], nl);
    const double imp_right = variance_from_sums(rs1[j], rs2[j], nr);
    lists[j].push_back(parent - (nr * imp_right + nl * imp_left) / nd);
  }
}

/// Fold scores of "mae": each side's targets gathered in validation order.
void score_fold_mae(std::span<const double> y, std::span<const std::uint64_t> valid,
                    std::span<const std::uint32_t> pos, SideTest test, std::uint32_t n_cand,
                    std::vector<std::vector<double>>& lists, std::vector<double>& left,
                    std::vector<double>& right, std::vector<double>& all, std::vector<double>& scratch) {
  all.clear();
  for (const std::uint64_t s : valid) all.push_back(y[s]);
  const double parent = mae_impurity(all, scratch);
  const double nd = static_cast<double>(valid.size());
  for (std::uint32_t j = 0; j < n_cand; ++j) {
    left.clear();
    right.clear();
    for (std::size_t i = 0; i < valid.size(); ++i) {
      (left_of(test, j, pos[i]) ? left : right).push_back(all[i]);
    }
    if (left.empty() || right.empty()) continue;
    const double nl = static_cast<double>(left.size());
    const double nr = static_cast<double>(right.size());
    const double imp_left = mae_impurity(left, scratch);
    const double imp_right = mae_impurity(right, scratch);
    lists[j].push_back(parent - (nr * imp_right + nl * imp_left) / nd);
  }
}

double impurity_from_counts(CriterionKind kind, std::span<const std::uint64_t> counts, double n) {
  return kind == CriterionKind::Gini ? gini_from_counts(counts, n) : entropy_from_counts(counts, n);
}

/// Fold scores of "gini"/"entropy" from class counts per candidate position.
/// Labels >= n_classes are not counted but still count as samples.
void score_fold_classes(std::span<const std::uint64_t> labels, CriterionKind kind,
                        std::uint64_t n_classes, std::span<const std::uint64_t> valid,
                        std::span<const std::uint32_t> pos, SideTest test, std::uint32_t n_cand,
                        std::vector<std::vector<double>>& lists, std::vector<std::uint64_t>& hist,
                        std::vector<std::uint64_t>& sizes, std::vector<std::uint64_t>& work) {
  const std::size_t nc = n_classes;
  const std::size_t n_pos = static_cast<std::size_t>(n_cand) + 1;
  hist.assign(n_pos * nc, 0);
  sizes.assign(n_pos, 0);
  for (std::size_t i = 0; i < valid.size(); ++i) {
    const std::uint64_t c = labels[valid[i]];
    const std::uint32_t p = pos[i];
    ++sizes[p];
    if (c < n_classes) ++hist[p * nc + c];
  }
  // work: total | left | right, nc entries each.
  work.assign(3 * nc, 0);
  std::span<std::uint64_t> total(work.data(), nc);
  std::span<std::uint64_t> left(work.data() + nc, nc);
  std::span<std::uint64_t> right(work.data() + 2 * nc, nc);
  for (std::size_t p = 0; p < n_pos; ++p) {
    for (std::size_t c = 0; c < nc; ++c) total[c] += hist[p * nc + c];
  }
  const auto n = static_cast<std::uint64_t>(valid.size());
  const double nd = static_cast<double>(n);
  const double parent = impurity_from_counts(kind, total, nd);
  std::uint64_t n_left = 0;
  for (std::uint32_t j = 0; j < n_cand; ++j) {
    const std::uint64_t* cell = hist.data() + static_cast<std::size_t>(j) * nc;
    if (test == SideTest::Threshold) {
      n_left += sizes[j];
      for (std::size_t c = 0; c < nc; ++c) left[c] += cell[c];
    } else {
      n_left = sizes[j];
      std::copy(cell, cell + nc, left.begin());
    }
    const std::uint64_t n_right = n - n_left;
    if (n_left == 0 || n_right == 0) continue;
    for (std::size_t c = 0; c < nc; ++c) right[c] = total[c] - left[c];
    const double nl = static_cast<double>(n_left);
    const double nr = static_cast<double>(n_right);
    const double imp_left = impurity_from_counts(kind, left, nl);
    const double imp_right = impurity_from_counts(kind, right, nr);
    lists[j].push_back(parent - (nr * imp_right + nl * imp_left) / nd);
  }
}

std::vector<ScoredSplit> aggregate_candidates(std::span<const std::uint32_t> candidates,
                                              std::vector<std::vector<double>>& lists,
                                              std::uint64_t n_folds, std::uint64_t feature,
                                              const Aggregator& aggregator) {
  std::vector<ScoredSplit> out;
  out.reserve(candidates.size());
  for (std::size_t j = 0; j < candidates.size(); ++j) {
    ScoredSplit record;
    record.stats = fold_stats(std::move(lists[j]), n_folds);
    record.feature = feature;
    record.code = candidates[j];
    record.score = aggregator.aggregate(record.stats);
    out.push_back(std::move(record));
  }
  return out;
}

}  // namespace

std::vector<ScoredSplit> evaluate_feature(const SplitContext& context, std::uint64_t feature) {
  check_index(feature, context.features.size(), "features");
  const FeatureColumn& column = context.features[feature];
  const TreeConfig& config = *context.config;
  const SideTest test = side_test(config.split_style, column.is_categorical);
  const std::vector<std::uint32_t> candidates =
      split_candidates(column, context.samples, config.n_bins);
  if (candidates.empty()) return {};
  const auto n_cand = static_cast<std::uint32_t>(candidates.size());
  std::vector<std::vector<double>> lists(candidates.size());
  for (auto& list : lists) list.reserve(context.folds.size());

  PositionMapper mapper(column, test, candidates, config.n_bins);
  std::vector<std::uint64_t> key_scratch;
  std::vector<std::uint32_t> valid_pos;
  std::vector<std::uint32_t> train_pos;
  std::vector<double> sums, left, right, all, sort_scratch;
  std::vector<std::uint64_t> counts, hist, sizes, work;

  for (const CvFold& fold : context.folds) {
    if (fold.valid_indices.empty()) continue;
    if (context.objective != nullptr) {
      if (fold.train_indices.empty()) continue;
      mapper.prepare_fold(fold.train_indices, key_scratch);
      mapper.positions(fold.valid_indices, valid_pos);
      mapper.positions(fold.train_indices, train_pos);
      score_objective_fold(*context.objective, context.labels, fold.train_indices, train_pos,
                           fold.valid_indices, valid_pos, test == SideTest::Threshold, n_cand, lists);
      continue;
    }
    mapper.prepare_fold(fold.train_indices, key_scratch);
    mapper.positions(fold.valid_indices, valid_pos);
    switch (context.criterion->kind()) {
      case CriterionKind::Mse:
      case CriterionKind::Variance:
        score_fold_variance(context.y, fold.valid_indices, valid_pos, test, n_cand, lists, sums, counts);
        break;
      case CriterionKind::Mae:
        score_fold_mae(context.y, fold.valid_indices, valid_pos, test, n_cand, lists, left, right, all,
                       sort_scratch);
        break;
      case CriterionKind::Gini:
      case CriterionKind::Entropy:
        score_fold_classes(context.labels, context.criterion->kind(), context.criterion->n_classes(),
                           fold.valid_indices, valid_pos, test, n_cand, lists, hist, sizes, work);
        break;
    }
  }
  return aggregate_candidates(candidates, lists, context.folds.size(), feature, *context.aggregator);
}

}  // namespace quor
