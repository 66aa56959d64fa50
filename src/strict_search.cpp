#include "strict_search.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "binning.hpp"
#include "candidate.hpp"
#include "category_order.hpp"
#include "criterion.hpp"
#include "errors.hpp"
#include "gather.hpp"
#include "objective.hpp"
#include "split.hpp"

namespace quor {

// Within a fold every sample is reduced to its candidate position p, the side
// rule in the form the sums need: under the threshold test the sample goes
// left of candidate j exactly when j >= p (p is the first candidate its code
// goes left of), under the membership test exactly when j == p (p is the
// candidate equal to its code). Missing values and codes that match no
// candidate get p = C, the number of candidates, and go right of every one.
//
// Continuous features are binned per fold from the node's finite samples
// sorted by value: one walk over that list finds the fold's training edges by
// rank and the bin of every sample, with no selection or binary search. Each
// candidate's left and right sums are then accumulated in validation order in
// one pass, which gives the same bits as gathering each side's targets and
// computing its impurity.

void prepare_node(const Task& task, const TreeConfig& config, const Targets& targets,
                  std::span<const std::uint64_t> samples, std::uint64_t n_ids, StrictNodeData& out,
                  std::span<const double> weights) {
  out.folds = make_folds(samples, config.cv_folds, config.cv_seed, config.cv_shuffle);
  out.slots.fill(out.folds, n_ids);
  // The folds' samples in slot order: the impurity searches read targets that way.
  const std::span<const std::uint64_t> by_slot = out.folds.samples;
  if (std::holds_alternative<RegressionTask>(task)) {
    gather_at(std::span<const double>(targets.values), by_slot, out.y_by_slot);
  } else if (std::holds_alternative<ClassificationTask>(task)) {
    gather_at(std::span<const std::uint64_t>(targets.labels), by_slot, out.labels_by_slot);
  }
  out.w_by_slot.clear();
  if (!weights.empty()) gather_at(weights, by_slot, out.w_by_slot);
}

namespace {

/// Maps a bin or category code to its candidate position.
class CandidatePositions {
 public:
  CandidatePositions(std::span<const std::uint32_t> candidates, SideTest test, bool continuous,
                     std::uint64_t n_bins)
      : candidates_(candidates), test_(test), none_(static_cast<std::uint32_t>(candidates.size())) {
    // Continuous bins are below max(n_bins, 1): a table answers them directly.
    if (continuous && n_bins <= (1u << 20)) {
      table_.resize(std::max<std::uint64_t>(n_bins, 1));
      for (std::uint32_t b = 0; b < table_.size(); ++b) table_[b] = search(b);
    }
  }

  std::uint32_t operator()(std::uint32_t code) const {
    if (code == kMissingCode) return none_;
    if (code < table_.size()) return table_[code];
    return search(code);
  }
  std::uint32_t none() const { return none_; }

 private:
  std::uint32_t search(std::uint32_t code) const {
    // The first candidate the code goes left of under the threshold test.
    const auto it = std::lower_bound(candidates_.begin(), candidates_.end(), code);
    const auto p = static_cast<std::uint32_t>(it - candidates_.begin());
    if (test_ == SideTest::Threshold) return p;
    return (it != candidates_.end() && goes_left(test_, code, *it)) ? p : none_;
  }

  std::span<const std::uint32_t> candidates_;
  SideTest test_;
  std::uint32_t none_;
  std::vector<std::uint32_t> table_;
};

/// The fold owning a slot: the last of the folds' starts <= slot (slots come
/// in no order, so the search is the branch-free one).
std::uint64_t fold_of_slot(const StrictFolds& folds, std::uint64_t slot) {
  return count_not_above(folds.starts.data(), folds.count(), slot) - 1;  // starts[0] = 0 <= slot
}

/// A continuous feature's finite node samples in ascending value order, with
/// what the fold walks read gathered alongside so that the walks run over
/// contiguous arrays.
struct SortedFeature {
  std::span<const SortedValue> entries;
  std::vector<double> values;
  std::vector<std::uint64_t> folds;
  std::vector<std::uint64_t> slots;
  std::vector<std::uint64_t> finite_per_fold;
};

void gather_sorted(const SplitContext& ctx, std::uint64_t feature, SortedFeature& out) {
  check_index(feature, ctx.sorted.size(), "sorted features");
  out.entries = ctx.sorted[feature];
  const StrictNodeData& node = ctx.node;
  const std::size_t m = out.entries.size();
  out.values.resize(m);
  out.folds.resize(m);
  out.slots.resize(m);
  out.finite_per_fold.assign(node.folds.count(), 0);
  for (std::size_t i = 0; i < m; ++i) {
    out.values[i] = out.entries[i].value;
    out.slots[i] = node.slots[out.entries[i].sample];
    out.folds[i] = fold_of_slot(node.folds, out.slots[i]);
    ++out.finite_per_fold[out.folds[i]];
  }
}

/// Every fold's quantile edges over its training samples (the finite samples
/// outside the fold), picked by rank from the sorted list: block counts of each
/// fold's samples locate the training sample of a given rank without a walk.
void fold_edges(const SortedFeature& sorted, std::uint64_t n_folds, std::uint64_t n_bins,
                std::vector<std::uint64_t>& before, std::vector<EdgeRuns>& edges) {
  constexpr std::size_t kBlock = 64;
  const std::size_t m = sorted.values.size();
  const std::size_t K = n_folds;
  const std::size_t n_blocks = (m + kBlock - 1) / kBlock;
  // before[b·K + f]: samples of fold f in positions [0, b·kBlock).
  before.assign((n_blocks + 1) * K, 0);
  for (std::size_t i = 0; i < m; ++i) ++before[(i / kBlock + 1) * K + sorted.folds[i]];
  for (std::size_t b = 1; b <= n_blocks; ++b) {
    for (std::size_t f = 0; f < K; ++f) before[b * K + f] += before[(b - 1) * K + f];
  }
  edges.resize(K);
  for (std::size_t f = 0; f < K; ++f) {
    const auto training_before = [&](std::size_t b) { return b * kBlock - before[b * K + f]; };
    std::size_t block = 0;
    // Ranks come in ascending order: the block only moves forward.
    edges[f] = EdgeRuns::build(m - sorted.finite_per_fold[f], n_bins, [&](std::uint64_t rank) {
      while (block + 1 < n_blocks && training_before(block + 1) <= rank) ++block;
      std::uint64_t r = training_before(block);
      std::size_t i = block * kBlock;
      for (;; ++i) {
        if (sorted.folds[i] == f) continue;
        if (r == rank) break;
        ++r;
      }
      return sorted.values[i];
    });
  }
}

/// A feature's candidates with what scoring them reads: each sample's
/// candidate position and, for a continuous feature, every fold's edges.
struct FeatureCandidates {
  std::vector<std::uint32_t> codes;
  std::optional<CandidatePositions> positions;
  std::vector<EdgeRuns> edges;  // continuous: per fold
};

/// Candidate position of every validation sample, by slot. Continuous values
/// are binned in one walk over the sorted list: each fold has a cursor into
/// its own edges, which only moves forward as the values grow.
void validation_positions(const SplitContext& ctx, const FeatureColumn& column, const SortedFeature& sorted,
                          const FeatureCandidates& candidates, std::uint32_t missing_position,
                          std::vector<std::uint32_t>& out) {
  const CandidatePositions& positions = *candidates.positions;
  const std::span<const std::uint64_t> by_slot = ctx.node.folds.samples;
  out.assign(by_slot.size(), missing_position);
  if (column.is_categorical) {
    for (std::size_t slot = 0; slot < by_slot.size(); ++slot) {
      const std::uint32_t code = column.codes[by_slot[slot]];
      out[slot] = code == kMissingCode ? missing_position : positions(code);
    }
    return;
  }
  std::vector<BinCursor> cursors(candidates.edges.begin(), candidates.edges.end());
  for (std::size_t i = 0; i < sorted.values.size(); ++i) {
    const std::uint64_t bin = cursors[sorted.folds[i]].bin(sorted.values[i]);
    out[sorted.slots[i]] = positions(static_cast<std::uint32_t>(bin));
  }
}

/// Adds v to a[j] for j in [begin, end).
inline void add_range(double* a, std::uint32_t begin, std::uint32_t end, double v) {
  for (std::uint32_t j = begin; j < end; ++j) a[j] += v;
}

/// Adds a sample at position p (its t and t2) to the running side sums of
/// every candidate: to the left sums of those that take it left, to the
/// right sums of the others.
[[gnu::always_inline]] inline void add_to_sides(SideTest test, std::uint32_t p, std::uint32_t n_cand, double t,
                                                double t2, double* ls1, double* ls2, double* rs1, double* rs2) {
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

/// Whether candidate j takes samples at position p to its left.
inline bool left_of(SideTest test, std::uint32_t j, std::uint32_t p) {
  return test == SideTest::Threshold ? j >= p : j == p;
}

/// How the impurity scorers of a feature with learned missing sides lay out
/// their fold scores: with missing samples at position `missing()` (past
/// every candidate's and the no-candidate position), kept out of the
/// candidates' side sums and added to one side afterwards, the lists hold
/// each candidate with missing values right, then each with them left, then
/// "missing values against every finite value". Every side's sums are its
/// finite samples' in validation order plus, when it takes them, the missing
/// samples' in validation order: one pass gives all three kinds.
struct Learned {
  bool on = false;
  std::uint32_t n_cand = 0;
  std::uint32_t missing() const { return n_cand + 1; }
  std::size_t left(std::uint32_t j) const { return static_cast<std::size_t>(n_cand) + j; }
  std::size_t alone() const { return 2 * static_cast<std::size_t>(n_cand); }
};

/// Sums of the missing samples of a fold, and of its finite ones.
template <class N>
struct MissingSplitSums {
  BasicTargetSums<N> missing;
  BasicTargetSums<N> finite;
};

/// Pushes the learned variants' scores of candidate j (sides `left`, `right`
/// without the missing samples) and, after the last candidate, the score of
/// missing values alone.
template <class N>
void push_learned_variance(const Learned& learned, const BasicTargetSums<N>& whole, const MissingSplitSums<N>& m,
                           std::uint32_t j, const BasicTargetSums<N>& left, const BasicTargetSums<N>& right,
                           std::vector<std::vector<double>>& lists) {
  const auto with = [&](const BasicTargetSums<N>& side) {
    return BasicTargetSums<N>{side.n + m.missing.n, side.sum + m.missing.sum, side.sq_sum + m.missing.sq_sum};
  };
  if (const auto score = variance_decrease(whole, left, with(right))) lists[j].push_back(*score);
  if (const auto score = variance_decrease(whole, with(left), right)) lists[learned.left(j)].push_back(*score);
  if (j + 1 == learned.n_cand) {
    if (const auto score = variance_decrease(whole, m.finite, m.missing)) lists[learned.alone()].push_back(*score);
  }
}

// The per-sample updates of the candidates' sums are independent of each
// other, so wider vector units run them faster without changing a bit; the
// machine's best version is picked at load time. Under ThreadSanitizer the
// loader's choice runs before the sanitizer is up and crashes, so there the
// function is built once; so it is off x86-64, and in builds configured with
// QUOR_VECTOR_CLONES=OFF, which show that results do not depend on the clone.
#if defined(__SANITIZE_THREAD__) || defined(QUOR_NO_VECTOR_CLONES) || !defined(__x86_64__)
#define QUOR_VECTOR_CLONES
#else
#define QUOR_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif

/// Fold scores of "mse"/"variance" from sums kept per candidate and side, in
/// validation order.
QUOR_VECTOR_CLONES
void score_fold_variance(std::span<const double> valid_y, std::span<const std::uint32_t> pos, SideTest test,
                         std::uint32_t n_cand, const Learned& learned, std::vector<std::vector<double>>& lists,
                         std::vector<double>& sums, std::vector<std::uint64_t>& counts) {
  // Layout: left s1, left s2, right s1, right s2, C entries each.
  sums.assign(4 * static_cast<std::size_t>(n_cand), -0.0);
  counts.assign(static_cast<std::size_t>(n_cand) + 2, 0);
  double* ls1 = sums.data();
  double* ls2 = ls1 + n_cand;
  double* rs1 = ls2 + n_cand;
  double* rs2 = rs1 + n_cand;
  TargetSums whole;
  MissingSplitSums<std::uint64_t> m;
  for (std::size_t i = 0; i < valid_y.size(); ++i) {
    const double t = valid_y[i];
    const double t2 = t * t;
    const std::uint32_t p = pos[i];
    whole.sum += t;
    whole.sq_sum += t2;
    ++counts[p];
    if (learned.on) {
      BasicTargetSums<std::uint64_t>& group = p == learned.missing() ? m.missing : m.finite;
      group.sum += t;
      group.sq_sum += t2;
      if (p == learned.missing()) continue;
    }
    add_to_sides(test, p, n_cand, t, t2, ls1, ls2, rs1, rs2);
  }
  whole.n = valid_y.size();
  m.missing.n = counts[n_cand + 1];
  m.finite.n = whole.n - m.missing.n;
  std::uint64_t n_left = 0;
  for (std::uint32_t j = 0; j < n_cand; ++j) {
    n_left = test == SideTest::Threshold ? n_left + counts[j] : counts[j];
    const TargetSums left{n_left, ls1[j], ls2[j]};
    const TargetSums right{whole.n - n_left - m.missing.n, rs1[j], rs2[j]};
    if (learned.on) {
      push_learned_variance(learned, whole, m, j, left, right, lists);
    } else if (const std::optional<double> score = variance_decrease(whole, left, right)) {
      lists[j].push_back(*score);
    }
  }
}

/// Whether the candidate of list `list` (candidate j) takes a sample at
/// position p left: missing samples by the list's side, finite ones by the
/// candidate (under missing values alone, every finite sample goes left).
inline bool mae_left(SideTest test, const Learned& learned, std::size_t list, std::uint32_t j, std::uint32_t p) {
  if (!learned.on) return left_of(test, j, p);
  if (p == learned.missing()) return list >= learned.n_cand && list != learned.alone();
  return list == learned.alone() || left_of(test, j, p);
}

/// Fold scores of "mae": each side's targets gathered in validation order.
void score_fold_mae(std::span<const double> all, std::span<const std::uint32_t> pos, SideTest test,
                    std::uint32_t n_cand, const Learned& learned, std::vector<std::vector<double>>& lists,
                    std::vector<double>& left, std::vector<double>& right, std::vector<double>& scratch) {
  const double parent = mae_impurity(all, scratch);
  for (std::size_t list = 0; list < lists.size(); ++list) {
    const auto j = static_cast<std::uint32_t>(list % (n_cand == 0 ? 1 : n_cand));
    left.clear();
    right.clear();
    for (std::size_t i = 0; i < all.size(); ++i) {
      (mae_left(test, learned, list, j, pos[i]) ? left : right).push_back(all[i]);
    }
    if (!both_sides(all.size(), left.size())) continue;
    lists[list].push_back(
        impurity_decrease(parent, all.size(), left.size(), mae_impurity(left, scratch), mae_impurity(right, scratch)));
  }
}

/// Weighted fold scores of "mse"/"variance": as score_fold_variance, with
/// the sums of w·y and w·(y·y) and weight sums in place of the counts.
QUOR_VECTOR_CLONES
void score_fold_variance_weighted(std::span<const double> valid_y, std::span<const double> valid_w,
                                  std::span<const std::uint32_t> pos, SideTest test, std::uint32_t n_cand,
                                  const Learned& learned, std::vector<std::vector<double>>& lists,
                                  std::vector<double>& sums, std::vector<double>& weights) {
  sums.assign(4 * static_cast<std::size_t>(n_cand), -0.0);
  weights.assign(static_cast<std::size_t>(n_cand) + 2, 0.0);
  double* ls1 = sums.data();
  double* ls2 = ls1 + n_cand;
  double* rs1 = ls2 + n_cand;
  double* rs2 = rs1 + n_cand;
  WeightedSums whole;
  MissingSplitSums<double> m;
  for (std::size_t i = 0; i < valid_y.size(); ++i) {
    const double w = valid_w[i];
    const double t = w * valid_y[i];
    const double t2 = w * (valid_y[i] * valid_y[i]);
    const std::uint32_t p = pos[i];
    whole.sum += t;
    whole.sq_sum += t2;
    whole.n += w;
    weights[p] += w;
    if (learned.on) {
      WeightedSums& group = p == learned.missing() ? m.missing : m.finite;
      group.sum += t;
      group.sq_sum += t2;
      group.n += w;
      if (p == learned.missing()) continue;
    }
    add_to_sides(test, p, n_cand, t, t2, ls1, ls2, rs1, rs2);
  }
  double w_left = 0.0;
  for (std::uint32_t j = 0; j < n_cand; ++j) {
    w_left = test == SideTest::Threshold ? w_left + weights[j] : weights[j];
    if (learned.on) {
      // The finite right side's weight: the finite weight less the left's.
      push_learned_variance(learned, whole, m, j, WeightedSums{w_left, ls1[j], ls2[j]},
                            WeightedSums{m.finite.n - w_left, rs1[j], rs2[j]}, lists);
    } else if (const std::optional<double> score = variance_decrease(
                   whole, WeightedSums{w_left, ls1[j], ls2[j]}, WeightedSums{whole.n - w_left, rs1[j], rs2[j]})) {
      lists[j].push_back(*score);
    }
  }
}

/// Weighted fold scores of "mae": each side's targets and weights gathered
/// in validation order; a side's share is its weight sum.
void score_fold_mae_weighted(std::span<const double> all, std::span<const double> all_w,
                             std::span<const std::uint32_t> pos, SideTest test, std::uint32_t n_cand,
                             const Learned& learned, std::vector<std::vector<double>>& lists, std::vector<double>& left,
                             std::vector<double>& right, std::vector<double>& left_w, std::vector<double>& right_w,
                             std::vector<std::pair<double, double>>& scratch) {
  const double parent = weighted_mae_impurity(all, all_w, scratch);
  double total = -0.0;
  for (const double w : all_w) total += w;
  for (std::size_t list = 0; list < lists.size(); ++list) {
    const auto j = static_cast<std::uint32_t>(list % (n_cand == 0 ? 1 : n_cand));
    left.clear();
    right.clear();
    left_w.clear();
    right_w.clear();
    double w_left = -0.0;
    for (std::size_t i = 0; i < all.size(); ++i) {
      const bool is_left = mae_left(test, learned, list, j, pos[i]);
      (is_left ? left : right).push_back(all[i]);
      (is_left ? left_w : right_w).push_back(all_w[i]);
      if (is_left) w_left += all_w[i];
    }
    if (left.empty() || right.empty() || !both_sides(total, w_left)) continue;
    lists[list].push_back(impurity_decrease(parent, total, w_left, weighted_mae_impurity(left, left_w, scratch),
                                         weighted_mae_impurity(right, right_w, scratch)));
  }
}

/// Fold scores of "gini"/"entropy" from class counts per candidate position
/// (`N` double: weight sums, from `valid_w`). Labels >= n_classes are not
/// counted but still count as samples.
template <class N>
void score_fold_classes(std::span<const std::uint64_t> valid_labels, std::span<const double> valid_w,
                        const ClassificationTask& task, std::span<const std::uint32_t> pos, SideTest test,
                        std::uint32_t n_cand, const Learned& learned, std::vector<std::vector<double>>& lists,
                        std::vector<N>& hist, std::vector<N>& sizes, std::vector<N>& work) {
  const std::size_t nc = task.n_classes;
  const std::size_t n_pos = static_cast<std::size_t>(n_cand) + 2;
  hist.assign(n_pos * nc, 0);
  sizes.assign(n_pos, 0);
  N n = 0;
  for (std::size_t i = 0; i < valid_labels.size(); ++i) {
    const std::uint64_t c = valid_labels[i];
    const std::uint32_t p = pos[i];
    N one = 1;
    if constexpr (std::is_same_v<N, double>) one = valid_w[i];
    sizes[p] += one;
    n += one;
    if (c < nc) hist[p * nc + c] += one;
  }
  // work: total | left | right | left with missing | right without, nc entries each.
  work.assign(5 * nc, 0);
  const std::span<N> total(work.data(), nc);
  const std::span<N> left(work.data() + nc, nc);
  const std::span<N> right(work.data() + 2 * nc, nc);
  const std::span<N> left_m(work.data() + 3 * nc, nc);
  const std::span<N> right_m(work.data() + 4 * nc, nc);
  const N* missing = hist.data() + (static_cast<std::size_t>(n_cand) + 1) * nc;
  const N n_missing = sizes[n_cand + 1];
  for (std::size_t p = 0; p < n_pos; ++p) {
    for (std::size_t c = 0; c < nc; ++c) total[c] += hist[p * nc + c];
  }
  const double parent = task.criterion.class_impurity(std::span<const N>(total), static_cast<double>(n));
  N n_left = 0;
  for (std::uint32_t j = 0; j < n_cand; ++j) {
    const N* cell = hist.data() + static_cast<std::size_t>(j) * nc;
    if (test == SideTest::Threshold) {
      n_left += sizes[j];
      for (std::size_t c = 0; c < nc; ++c) left[c] += cell[c];
    } else {
      n_left = sizes[j];
      std::copy(cell, cell + nc, left.begin());
    }
    for (std::size_t c = 0; c < nc; ++c) right[c] = total[c] - left[c];
    const std::optional<double> score =
        class_decrease(task.criterion, parent, n, std::span<const N>(left), n_left, std::span<const N>(right));
    if (score) lists[j].push_back(*score);
    if (!learned.on) continue;
    for (std::size_t c = 0; c < nc; ++c) {
      left_m[c] = left[c] + missing[c];
      right_m[c] = total[c] - left_m[c];
    }
    const std::optional<double> with_left = class_decrease(task.criterion, parent, n, std::span<const N>(left_m),
                                                           n_left + n_missing, std::span<const N>(right_m));
    if (with_left) lists[learned.left(j)].push_back(*with_left);
  }
  if (!learned.on) return;
  for (std::size_t c = 0; c < nc; ++c) right_m[c] = total[c] - missing[c];
  const std::optional<double> alone = class_decrease(task.criterion, parent, n, std::span<const N>(missing, nc),
                                                     n_missing, std::span<const N>(right_m));
  if (alone) lists[learned.alone()].push_back(*alone);
}

/// Under set splits, each fold's ranks of the node's categories in one
/// order: a category's candidate position in that fold.
struct FoldRanks {
  const CategoryRanker& ranker;
  std::span<const std::uint32_t> ranks;  // per fold, every order's ranks (CategoryRanker::rank)
  std::uint64_t order = 0;

  std::uint32_t position(std::uint64_t fold, std::uint32_t code) const {
    const std::size_t K = ranker.n_categories();
    return ranks[(fold * ranker.n_orders() + order) * K + ranker.index_of(code)];
  }
};

/// The objective's class counts per candidate position for fold f: training
/// samples (every node sample outside fold f) into `train_hist`, held-out
/// samples into `valid_hist`; missing samples at `missing_position`.
/// A category's position is category_position(code): the candidates' own,
/// or under set splits the category's rank in the fold's order.
template <class N, class CategoryPosition>
void objective_fold_counts(const SplitContext& ctx, std::uint64_t n_classes, const FeatureColumn& column,
                           const SortedFeature& sorted, const FeatureCandidates& candidates,
                           const CategoryPosition& category_position, std::span<const std::uint64_t> missing,
                           std::uint32_t missing_position, std::uint64_t f, std::vector<N>& train_hist,
                           std::vector<N>& valid_hist) {
  const CandidatePositions& positions = *candidates.positions;
  const std::uint64_t nc = n_classes;
  const std::size_t n_pos = static_cast<std::size_t>(positions.none()) + 2;
  train_hist.assign(n_pos * nc, 0);
  valid_hist.assign(n_pos * nc, 0);
  const StrictFolds& folds = ctx.node.folds;
  const auto in_fold = [&](std::uint64_t s) {
    const std::uint64_t slot = ctx.node.slots[s];
    return slot >= folds.starts[f] && slot < folds.starts[f + 1];
  };
  const auto count = [&](std::uint64_t s, std::uint32_t p, bool validation) {
    const std::uint64_t c = ctx.targets.labels[s];
    if (c >= nc) return;
    if constexpr (std::is_same_v<N, double>) {
      (validation ? valid_hist : train_hist)[p * nc + c] += ctx.weights[s];
    } else {
      ++(validation ? valid_hist : train_hist)[p * nc + c];
    }
  };
  if (column.is_categorical) {
    for (const std::uint64_t s : ctx.samples) {
      const std::uint32_t code = column.codes[s];
      count(s, code == kMissingCode ? missing_position : category_position(code), in_fold(s));
    }
    return;
  }
  BinCursor cursor(candidates.edges[f]);
  for (std::size_t i = 0; i < sorted.values.size(); ++i) {
    const std::uint64_t bin = cursor.bin(sorted.values[i]);
    count(sorted.entries[i].sample, positions(static_cast<std::uint32_t>(bin)), sorted.folds[i] == f);
  }
  for (const std::uint64_t s : missing) count(s, missing_position, in_fold(s));
}

/// Fold scores of the objective on one fold from its class counts per
/// candidate position: every candidate whose four sides are all non-empty
/// (learned sides: each way, and missing values alone, laid out as Learned
/// says; the missing samples' counts join a side after).
template <class N>
void score_objective_fold(ObjectiveFoldScorer& scorer, std::uint64_t n_classes, std::span<const N> train_hist,
                          std::span<const N> valid_hist, SideTest test, std::uint32_t n_cand, const Learned& learned,
                          std::vector<std::vector<double>>& lists) {
  const std::size_t nc = n_classes;
  const std::size_t n_pos = static_cast<std::size_t>(n_cand) + 2;
  // Six class vectors: T, V, TL, VL, TR, VR.
  std::vector<N> vectors(6 * nc, 0);
  const auto vec = [&](std::size_t k) { return std::span<N>(vectors.data() + k * nc, nc); };
  auto t = vec(0), v = vec(1), tl = vec(2), vl = vec(3), tr = vec(4), vr = vec(5);
  N sum_t = 0, sum_v = 0;
  for (std::size_t p = 0; p < n_pos; ++p) {
    for (std::size_t c = 0; c < nc; ++c) {
      t[c] += train_hist[p * nc + c];
      v[c] += valid_hist[p * nc + c];
      sum_t += train_hist[p * nc + c];
      sum_v += valid_hist[p * nc + c];
    }
  }
  const auto read = [](std::span<N> x) { return std::span<const N>(x); };
  const double unsplit = scorer.unsplit(read(t), read(v));
  // Scores the left sides (tl, vl) plus the missing samples' counts when
  // `with_missing`; the right sides are the rest.
  std::vector<N> sides(4 * nc, 0);
  const auto side = [&](std::size_t k) { return std::span<N>(sides.data() + k * nc, nc); };
  auto tl_m = side(0), vl_m = side(1), tr_m = side(2), vr_m = side(3);
  const N* train_missing = train_hist.data() + (static_cast<std::size_t>(n_cand) + 1) * nc;
  const N* valid_missing = valid_hist.data() + (static_cast<std::size_t>(n_cand) + 1) * nc;
  const auto score = [&](std::span<const N> left_t, std::span<const N> left_v, bool with_missing,
                         std::size_t list) {
    N sum_tl = 0, sum_vl = 0;
    for (std::size_t c = 0; c < nc; ++c) {
      tl_m[c] = with_missing ? left_t[c] + train_missing[c] : left_t[c];
      vl_m[c] = with_missing ? left_v[c] + valid_missing[c] : left_v[c];
      sum_tl += tl_m[c];
      sum_vl += vl_m[c];
    }
    if (sum_vl == 0 || sum_vl == sum_v || sum_tl == 0 || sum_tl == sum_t) return;
    for (std::size_t c = 0; c < nc; ++c) {
      tr_m[c] = t[c] - tl_m[c];
      vr_m[c] = v[c] - vl_m[c];
    }
    lists[list].push_back(scorer.gain(unsplit, read(tl_m), read(tr_m), read(vl_m), read(vr_m)));
  };
  for (std::uint32_t j = 0; j < n_cand; ++j) {
    const N* train_cell = train_hist.data() + static_cast<std::size_t>(j) * nc;
    const N* valid_cell = valid_hist.data() + static_cast<std::size_t>(j) * nc;
    for (std::size_t c = 0; c < nc; ++c) {
      tl[c] = test == SideTest::Threshold ? tl[c] + train_cell[c] : train_cell[c];
      vl[c] = test == SideTest::Threshold ? vl[c] + valid_cell[c] : valid_cell[c];
    }
    score(read(tl), read(vl), false, j);
    if (learned.on) score(read(tl), read(vl), true, learned.left(j));
  }
  if (!learned.on) return;
  std::fill(tl.begin(), tl.end(), N{0});
  std::fill(vl.begin(), vl.end(), N{0});
  score(read(tl), read(vl), true, learned.alone());
}

}  // namespace

struct EvaluationScratch::Buffers {
  SortedFeature sorted;
  std::vector<std::uint32_t> slot_positions;
};

EvaluationScratch::EvaluationScratch() : buffers_(std::make_unique<Buffers>()) {}
EvaluationScratch::~EvaluationScratch() = default;
EvaluationScratch::EvaluationScratch(EvaluationScratch&&) noexcept = default;
EvaluationScratch& EvaluationScratch::operator=(EvaluationScratch&&) noexcept = default;

namespace {

/// Whether some node sample of the feature is missing: a continuous
/// feature's sorted list holds its finite samples only.
bool has_missing(const SplitContext& ctx, const FeatureColumn& column, const SortedFeature& sorted) {
  if (!column.is_categorical) return sorted.values.size() < ctx.samples.size();
  for (const std::uint64_t s : ctx.samples) {
    if (column.codes[s] == kMissingCode) return true;
  }
  return false;
}

/// The candidates of a feature at the node, their positions and (continuous
/// features) each fold's edges.
FeatureCandidates feature_candidates(const SplitContext& ctx, const FeatureColumn& column, SideTest test,
                                     const SortedFeature& sorted) {
  FeatureCandidates out;
  const std::uint64_t n_bins = ctx.config.n_bins;
  out.codes = column.is_categorical ? category_candidates(column.codes, ctx.samples)
                                    : split_candidates_sorted(sorted.values, n_bins);
  if (out.codes.empty()) return out;
  out.positions.emplace(out.codes, test, !column.is_categorical, n_bins);
  if (!column.is_categorical) {
    std::vector<std::uint64_t> block_counts;
    fold_edges(sorted, ctx.node.folds.count(), n_bins, block_counts, out.edges);
  }
  return out;
}

/// Each candidate's list of the fold of each of its scores, when kept.
using FoldIds = std::vector<std::vector<std::uint32_t>>;

/// Records fold f as the fold of the scores it has just added to the lists.
void note_fold(const std::vector<std::vector<double>>& lists, FoldIds* fold_ids, std::uint64_t f) {
  if (fold_ids == nullptr) return;
  for (std::size_t j = 0; j < lists.size(); ++j) (*fold_ids)[j].resize(lists[j].size(), static_cast<std::uint32_t>(f));
}

/// The objective's fold scores: each fold trains on the node's other samples.
void score_objective_folds(const SplitContext& ctx, const ObjectiveTask& task, const FeatureColumn& column,
                           const SortedFeature& sorted, const FeatureCandidates& candidates, SideTest test,
                           const Learned& learned, std::vector<std::vector<double>>& lists,
                           FoldIds* fold_ids, const FoldRanks* set_ranks = nullptr) {
  std::vector<std::uint64_t> missing;
  if (!column.is_categorical) {
    for (const std::uint64_t s : ctx.samples) {
      if (!std::isfinite(column.values[s])) missing.push_back(s);
    }
  }
  ObjectiveFoldScorer scorer(task.objective, task.n_classes, task.labels);
  const auto n_cand = static_cast<std::uint32_t>(candidates.codes.size());
  const std::uint32_t missing_position = learned.on ? learned.missing() : candidates.positions->none();
  const auto score_folds = [&](auto count_type) {
    using N = decltype(count_type);
    std::vector<N> train_hist, valid_hist;
    for (std::uint64_t f = 0; f < ctx.node.folds.count(); ++f) {
      const std::size_t size = ctx.node.folds.valid(f).size();
      if (size == 0 || size == ctx.samples.size()) continue;
      const auto category_position = [&](std::uint32_t code) {
        return set_ranks == nullptr ? (*candidates.positions)(code) : set_ranks->position(f, code);
      };
      objective_fold_counts(ctx, task.n_classes, column, sorted, candidates, category_position, missing,
                            missing_position, f, train_hist, valid_hist);
      score_objective_fold(scorer, task.n_classes, std::span<const N>(train_hist), std::span<const N>(valid_hist),
                           test, n_cand, learned, lists);
      note_fold(lists, fold_ids, f);
    }
  };
  if (ctx.weights.empty()) {
    score_folds(std::uint64_t{0});
  } else {
    score_folds(0.0);
  }
}

/// The criterion's fold scores: each fold is scored on its own samples, whose
/// candidate positions are found once for all folds.
void score_impurity_folds(const SplitContext& ctx, std::span<const std::uint32_t> positions, SideTest test,
                          std::uint32_t n_cand, const Learned& learned, std::vector<std::vector<double>>& lists,
                          FoldIds* fold_ids) {
  const StrictNodeData& node = ctx.node;
  std::vector<double> sums, left, right, sort_scratch, left_w, right_w, weight_sums, w_hist, w_sizes, w_work;
  std::vector<std::pair<double, double>> weighted_scratch;
  std::vector<std::uint64_t> counts, hist, sizes, work;
  const bool weighted = !node.w_by_slot.empty();
  for (std::uint64_t f = 0; f < node.folds.count(); ++f) {
    const std::size_t start = node.folds.starts[f];
    const std::size_t size = node.folds.valid(f).size();
    if (size == 0) continue;
    const std::span<const std::uint32_t> pos = positions.subspan(start, size);
    const std::span<const double> w =
        weighted ? std::span<const double>(node.w_by_slot).subspan(start, size) : std::span<const double>();
    if (const auto* regression = std::get_if<RegressionTask>(&ctx.task)) {
      const std::span<const double> y = std::span<const double>(node.y_by_slot).subspan(start, size);
      const bool mae = regression->criterion.kind() == CriterionKind::Mae;
      if (mae && weighted) {
        score_fold_mae_weighted(y, w, pos, test, n_cand, learned, lists, left, right, left_w, right_w, weighted_scratch);
      } else if (mae) {
        score_fold_mae(y, pos, test, n_cand, learned, lists, left, right, sort_scratch);
      } else if (weighted) {
        score_fold_variance_weighted(y, w, pos, test, n_cand, learned, lists, sums, weight_sums);
      } else {
        score_fold_variance(y, pos, test, n_cand, learned, lists, sums, counts);
      }
    } else {
      const std::span<const std::uint64_t> labels =
          std::span<const std::uint64_t>(node.labels_by_slot).subspan(start, size);
      const ClassificationTask& task = std::get<ClassificationTask>(ctx.task);
      if (weighted) {
        score_fold_classes(labels, w, task, pos, test, n_cand, learned, lists, w_hist, w_sizes, w_work);
      } else {
        score_fold_classes(labels, w, task, pos, test, n_cand, learned, lists, hist, sizes, work);
      }
    }
    note_fold(lists, fold_ids, f);
  }
}

/// A categorical feature's set candidates: in each order, candidate j sends
/// the categories of ranks 0 … j in the fold's order left (j = K − 1, every
/// category, is "missing values alone"), so they are threshold candidates
/// on the ranks. Scored splits have code k·K + j for candidate j of order k.
std::vector<ScoredSplit> evaluate_set_feature(const SplitContext& ctx, std::uint64_t feature,
                                              const FeatureColumn& column, const SortedFeature& sorted,
                                              FeatureCandidates& candidates, bool learn,
                                              std::vector<std::uint32_t>& positions) {
  const std::span<const std::uint32_t> categories = candidates.codes;
  const auto K = static_cast<std::uint32_t>(categories.size());
  // The candidates' own positions mean ranks here: K of them, none at K.
  candidates.positions.emplace(categories, SideTest::Threshold, false, 0);
  CategoryRanker ranker(ctx.task, ctx.targets, ctx.weights, column.codes, categories);
  const StrictNodeData& node = ctx.node;
  const std::uint64_t n_folds = node.folds.count();
  const std::uint64_t n_orders = ranker.n_orders();
  std::vector<std::uint32_t> ranks(n_folds * n_orders * K), fold_ranks, by_rank;
  for (std::uint64_t f = 0; f < n_folds; ++f) {
    // The fold's training part: the node's samples outside it.
    ranker.rank(
        ctx.samples,
        [&](std::uint64_t s) {
          const std::uint64_t slot = node.slots[s];
          return slot < node.folds.starts[f] || slot >= node.folds.starts[f + 1];
        },
        fold_ranks, by_rank);
    std::copy(fold_ranks.begin(), fold_ranks.end(), ranks.begin() + static_cast<std::ptrdiff_t>(f * n_orders * K));
  }
  const Learned learned{learn, K};
  const std::uint32_t missing_position = learn ? learned.missing() : K;
  const auto* objective = std::get_if<ObjectiveTask>(&ctx.task);
  std::vector<ScoredSplit> out;
  out.reserve(n_orders * (learn ? 2 * K : K));
  std::vector<std::vector<std::vector<double>>> per_order(n_orders);
  // Which fold each score came from, for the held-out credits (per order).
  std::vector<FoldIds> per_order_folds(n_orders);
  const auto add = [&](std::uint64_t k, std::uint32_t j, std::size_t list, bool missing_left) {
    const bool short_list = per_order[k][list].size() < n_folds;
    out.push_back(make_scored_split(feature, static_cast<std::uint32_t>(k * K + j), std::move(per_order[k][list]),
                                    n_folds, ctx.aggregator));
    out.back().missing_left = missing_left;
    if (ctx.keep_folds && short_list) out.back().folds = std::move(per_order_folds[k][list]);
  };
  for (std::uint64_t k = 0; k < n_orders; ++k) {
    std::vector<std::vector<double>>& lists = per_order[k];
    lists.resize(learn ? learned.alone() + 1 : K);
    for (auto& list : lists) list.reserve(n_folds);
    per_order_folds[k].resize(ctx.keep_folds ? lists.size() : 0);
    FoldIds* const kept = ctx.keep_folds ? &per_order_folds[k] : nullptr;
    const FoldRanks fold_ranks_k{ranker, ranks, k};
    if (objective != nullptr) {
      score_objective_folds(ctx, *objective, column, sorted, candidates, SideTest::Threshold, learned, lists, kept,
                            &fold_ranks_k);
    } else {
      const std::span<const std::uint64_t> by_slot = node.folds.samples;
      positions.resize(by_slot.size());
      for (std::uint64_t f = 0; f < n_folds; ++f) {
        for (std::size_t slot = node.folds.starts[f]; slot < node.folds.starts[f + 1]; ++slot) {
          const std::uint32_t code = column.codes[by_slot[slot]];
          positions[slot] = code == kMissingCode ? missing_position : fold_ranks_k.position(f, code);
        }
      }
      score_impurity_folds(ctx, positions, SideTest::Threshold, K, learned, lists, kept);
    }
    for (std::uint32_t j = 0; j < K; ++j) add(k, j, j, false);
  }
  if (!learn) return out;
  for (std::uint64_t k = 0; k < n_orders; ++k) {
    for (std::uint32_t j = 0; j < K; ++j) add(k, j, learned.left(j), true);
  }
  return out;
}

}  // namespace

std::vector<ScoredSplit> evaluate_feature(const SplitContext& context, std::uint64_t feature,
                                          EvaluationScratch& scratch) {
  check_index(feature, context.features.size(), "features");
  const FeatureColumn& column = context.features[feature];
  const SideTest test = side_test(context.config.split_style, column.is_categorical);
  EvaluationScratch::Buffers& buffers = scratch.buffers();
  SortedFeature& sorted = buffers.sorted;
  if (!column.is_categorical) gather_sorted(context, feature, sorted);
  FeatureCandidates candidates = feature_candidates(context, column, test, sorted);
  if (candidates.codes.empty()) return {};
  const std::uint64_t n_folds = context.node.folds.count();
  const auto n_cand = static_cast<std::uint32_t>(candidates.codes.size());
  const bool learn = context.config.missing == MissingSide::Learn && has_missing(context, column, sorted);
  if (column.is_categorical && uses_set_splits(context.config, context.task, candidates.codes) &&
      enough_rows_for_sets(context.samples.size(), candidates.codes.size())) {
    return evaluate_set_feature(context, feature, column, sorted, candidates, learn, buffers.slot_positions);
  }
  const auto* objective = std::get_if<ObjectiveTask>(&context.task);
  std::vector<ScoredSplit> out;
  out.reserve(learn ? 2 * n_cand + 1 : n_cand);
  // One pass scores every way: the missing samples get a position of their own.
  const Learned learned{learn, n_cand};
  std::vector<std::vector<double>> lists(learn ? learned.alone() + 1 : n_cand);
  for (auto& list : lists) list.reserve(n_folds);
  FoldIds fold_ids(context.keep_folds ? lists.size() : 0);
  FoldIds* const kept = context.keep_folds ? &fold_ids : nullptr;
  const auto add = [&](std::uint32_t code, std::size_t list, bool missing_left) {
    const bool short_list = lists[list].size() < n_folds;
    out.push_back(make_scored_split(feature, code, std::move(lists[list]), n_folds, context.aggregator));
    out.back().missing_left = missing_left;
    if (kept != nullptr && short_list) out.back().folds = std::move(fold_ids[list]);
  };
  if (objective != nullptr) {
    score_objective_folds(context, *objective, column, sorted, candidates, test, learned, lists, kept);
  } else {
    std::vector<std::uint32_t>& positions = buffers.slot_positions;
    validation_positions(context, column, sorted, candidates, learn ? learned.missing() : candidates.positions->none(),
                         positions);
    score_impurity_folds(context, positions, test, n_cand, learned, lists, kept);
  }
  for (std::uint32_t j = 0; j < n_cand; ++j) add(candidates.codes[j], j, false);
  if (!learn) return out;
  for (std::uint32_t j = 0; j < n_cand; ++j) add(candidates.codes[j], learned.left(j), true);
  // A category split stores one category: none stands for every category.
  if (!column.is_categorical) add(kMissingAlone, learned.alone(), false);
  return out;
}

}  // namespace quor
