#include "cross_validation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "candidate.hpp"
#include "errors.hpp"
#include "gather.hpp"
#include "objective.hpp"

namespace quor {

// ---------------------------------------------------------------------------
// Strict-mode evaluation of one feature.
//
// Within a fold every sample is reduced to its candidate position p: under the
// threshold test the sample goes left of candidate j exactly when j >= p (p is
// the first candidate >= the sample's bin), under the equality test exactly
// when j == p (p is the candidate equal to the sample's code). Missing values
// and codes that match no candidate get p = C, the number of candidates, and
// go right of every candidate.
//
// Continuous features are binned per fold from the node's finite samples
// sorted by value: one walk over that list finds the fold's training edges by
// rank and the bin of every sample, with no selection or binary search. Each
// candidate's left and right sums are then accumulated in validation order in
// one pass, which gives the same bits as gathering each side's targets and
// computing its impurity.

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
    const auto it = std::lower_bound(candidates_.begin(), candidates_.end(), code);
    const auto p = static_cast<std::uint32_t>(it - candidates_.begin());
    if (test_ == SideTest::Threshold) return p;
    return (it != candidates_.end() && *it == code) ? p : none_;
  }

  std::span<const std::uint32_t> candidates_;
  SideTest test_;
  std::uint32_t none_;
  std::vector<std::uint32_t> table_;
};

/// Where each node sample sits in the folds. The grower provides the slots as
/// an array indexed by sample id; a context without it gets one built here.
struct FoldLookup {
  const SlotTable* slot_of = nullptr;
  std::vector<std::uint64_t> starts;  // first slot of each fold, then the total
  SlotTable own_slots;

  /// The fold owning a slot: the last fold start <= slot, by a binary search
  /// whose steps are selects (slots come in no order, branches would miss).
  std::uint64_t fold_of_slot(std::uint64_t slot) const {
    const std::uint64_t* base = starts.data();
    std::size_t len = starts.size() - 1;  // the folds; starts[0] is 0
    while (len > 1) {
      const std::size_t half = len / 2;
      base = base[half] <= slot ? base + half : base;
      len -= half;
    }
    return static_cast<std::uint64_t>(base - starts.data());
  }
  bool in_fold(std::uint64_t sample, std::uint64_t f) const {
    const std::uint64_t slot = (*slot_of)[sample];
    return slot >= starts[f] && slot < starts[f + 1];
  }
};

void build_lookup(const SplitContext& ctx, FoldLookup& lookup) {
  lookup.starts = ctx.folds->starts;
  if (ctx.slots != nullptr) {
    lookup.slot_of = ctx.slots;
    return;
  }
  std::uint64_t max_id = 0;
  for (const std::uint64_t s : ctx.samples) max_id = std::max(max_id, s);
  lookup.own_slots.fill(*ctx.folds, ctx.samples.empty() ? 0 : max_id + 1);
  lookup.slot_of = &lookup.own_slots;
}

/// A continuous feature's finite node samples in ascending value order, with
/// what the fold walks read gathered alongside so that the walks run over
/// contiguous arrays.
struct SortedFeature {
  std::span<const SortedValue> entries;
  std::vector<SortedValue> own_entries;  // when the context has no sorted list
  std::vector<double> values;
  std::vector<std::uint64_t> folds;
  std::vector<std::uint64_t> slots;
  std::vector<std::uint64_t> finite_per_fold;
};

void gather_sorted(const SplitContext& ctx, std::uint64_t feature, const FoldLookup& lookup,
                   SortedFeature& out) {
  if (!ctx.sorted.empty()) {
    out.entries = ctx.sorted[feature];
  } else {
    out.own_entries = sort_finite_samples(ctx.features[feature].values, ctx.samples);
    out.entries = out.own_entries;
  }
  const std::size_t m = out.entries.size();
  out.values.resize(m);
  out.folds.resize(m);
  out.slots.resize(m);
  out.finite_per_fold.assign(ctx.folds->count(), 0);
  for (std::size_t i = 0; i < m; ++i) {
    out.values[i] = out.entries[i].value;
    out.slots[i] = (*lookup.slot_of)[out.entries[i].sample];
    out.folds[i] = lookup.fold_of_slot(out.slots[i]);
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

/// Candidate position of every validation sample, by slot. Continuous values
/// are binned in one walk over the sorted list: each fold keeps a pointer into
/// its own edges, which only moves forward as the values grow.
void validation_positions(const SplitContext& ctx, const FeatureColumn& column,
                          const SortedFeature& sorted, const std::vector<EdgeRuns>& edges,
                          const CandidatePositions& positions, const FoldLookup& lookup,
                          std::vector<std::uint32_t>& out) {
  out.assign(lookup.starts.back(), positions.none());
  if (column.is_categorical) {
    const std::span<const std::uint64_t> by_slot = ctx.folds->samples;
    for (std::size_t slot = 0; slot < by_slot.size(); ++slot) out[slot] = positions(column.codes[by_slot[slot]]);
    return;
  }
  std::vector<BinCursor> cursors(edges.begin(), edges.end());
  for (std::size_t i = 0; i < sorted.values.size(); ++i) {
    const std::uint64_t bin = cursors[sorted.folds[i]].bin(sorted.values[i]);
    out[sorted.slots[i]] = positions(static_cast<std::uint32_t>(bin));
  }
}

/// Adds v to a[j] for j in [begin, end).
inline void add_range(double* a, std::uint32_t begin, std::uint32_t end, double v) {
  for (std::uint32_t j = begin; j < end; ++j) a[j] += v;
}

/// Whether candidate j takes samples at position p to its left.
inline bool left_of(SideTest test, std::uint32_t j, std::uint32_t p) {
  return test == SideTest::Threshold ? j >= p : j == p;
}

// The per-sample updates of the candidates' sums are independent of each
// other, so wider vector units run them faster without changing a bit; the
// machine's best version is picked at load time. Under ThreadSanitizer the
// loader's choice runs before the sanitizer is up and crashes, so there the
// function is built once.
#if defined(__SANITIZE_THREAD__)
#define QUOR_VECTOR_CLONES
#else
#define QUOR_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif

/// Fold scores of "mse"/"variance" from sums kept per candidate and side, in
/// validation order.
QUOR_VECTOR_CLONES
void score_fold_variance(std::span<const double> valid_y, std::span<const std::uint32_t> pos, SideTest test, std::uint32_t n_cand,
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
  for (std::size_t i = 0; i < valid_y.size(); ++i) {
    const double t = valid_y[i];
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
  const auto n = static_cast<std::uint64_t>(valid_y.size());
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
void score_fold_mae(std::span<const double> all, std::span<const std::uint32_t> pos, SideTest test,
                    std::uint32_t n_cand, std::vector<std::vector<double>>& lists, std::vector<double>& left,
                    std::vector<double>& right, std::vector<double>& scratch) {
  const double parent = mae_impurity(all, scratch);
  const double nd = static_cast<double>(all.size());
  for (std::uint32_t j = 0; j < n_cand; ++j) {
    left.clear();
    right.clear();
    for (std::size_t i = 0; i < all.size(); ++i) {
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
void score_fold_classes(std::span<const std::uint64_t> valid_labels, CriterionKind kind,
                        std::uint64_t n_classes, std::span<const std::uint32_t> pos, SideTest test, std::uint32_t n_cand,
                        std::vector<std::vector<double>>& lists, std::vector<std::uint64_t>& hist,
                        std::vector<std::uint64_t>& sizes, std::vector<std::uint64_t>& work) {
  const std::size_t nc = n_classes;
  const std::size_t n_pos = static_cast<std::size_t>(n_cand) + 1;
  hist.assign(n_pos * nc, 0);
  sizes.assign(n_pos, 0);
  for (std::size_t i = 0; i < valid_labels.size(); ++i) {
    const std::uint64_t c = valid_labels[i];
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
  const auto n = static_cast<std::uint64_t>(valid_labels.size());
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

/// The objective variant's class counts per candidate position for fold f:
/// training samples (every node sample outside fold f) into `train_hist`,
/// validation samples into `valid_hist`.
void objective_fold_counts(const SplitContext& ctx, const FeatureColumn& column,
                           const SortedFeature& sorted, const std::vector<EdgeRuns>& edges,
                           std::span<const std::uint64_t> missing, std::uint64_t f,
                           const CandidatePositions& positions, const FoldLookup& lookup,
                           std::vector<std::uint64_t>& train_hist, std::vector<std::uint64_t>& valid_hist) {
  const std::uint64_t nc = ctx.objective->n_classes;
  const std::size_t n_pos = static_cast<std::size_t>(positions.none()) + 1;
  train_hist.assign(n_pos * nc, 0);
  valid_hist.assign(n_pos * nc, 0);
  const auto count = [&](std::uint64_t s, std::uint32_t p, bool validation) {
    const std::uint64_t c = ctx.labels[s];
    if (c < nc) ++(validation ? valid_hist : train_hist)[p * nc + c];
  };
  if (column.is_categorical) {
    for (const std::uint64_t s : ctx.samples) count(s, positions(column.codes[s]), lookup.in_fold(s, f));
    return;
  }
  BinCursor cursor(edges[f]);
  for (std::size_t i = 0; i < sorted.values.size(); ++i) {
    const std::uint64_t bin = cursor.bin(sorted.values[i]);
    count(sorted.entries[i].sample, positions(static_cast<std::uint32_t>(bin)), sorted.folds[i] == f);
  }
  for (const std::uint64_t s : missing) count(s, positions.none(), lookup.in_fold(s, f));
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

struct EvaluationScratch::Buffers {
  SortedFeature sorted;
  std::vector<std::uint32_t> slot_positions;
};

EvaluationScratch::EvaluationScratch() : buffers_(std::make_unique<Buffers>()) {}
EvaluationScratch::~EvaluationScratch() = default;
EvaluationScratch::EvaluationScratch(EvaluationScratch&&) noexcept = default;
EvaluationScratch& EvaluationScratch::operator=(EvaluationScratch&&) noexcept = default;

std::vector<ScoredSplit> evaluate_feature(const SplitContext& context, std::uint64_t feature) {
  check_index(feature, context.features.size(), "features");
  const FeatureColumn& column = context.features[feature];
  const TreeConfig& config = *context.config;
  const SideTest test = side_test(config.split_style, column.is_categorical);
  FoldLookup lookup;
  build_lookup(context, lookup);
  EvaluationScratch::Buffers own;
  EvaluationScratch::Buffers& buffers = context.scratch != nullptr ? context.scratch->buffers() : own;
  SortedFeature& sorted = buffers.sorted;
  if (!column.is_categorical) gather_sorted(context, feature, lookup, sorted);
  const std::vector<std::uint32_t> candidates =
      column.is_categorical ? split_candidates(column, context.samples, config.n_bins)
                            : split_candidates_sorted(sorted.values, config.n_bins);
  if (candidates.empty()) return {};
  const auto n_cand = static_cast<std::uint32_t>(candidates.size());
  std::vector<std::vector<double>> lists(candidates.size());
  for (auto& list : lists) list.reserve(context.folds->count());
  const CandidatePositions positions(candidates, test, !column.is_categorical, config.n_bins);
  std::vector<EdgeRuns> edges;
  if (!column.is_categorical) {
    std::vector<std::uint64_t> block_counts;
    fold_edges(sorted, context.folds->count(), config.n_bins, block_counts, edges);
  }

  if (context.objective != nullptr) {
    std::vector<std::uint64_t> missing;
    if (!column.is_categorical) {
      for (const std::uint64_t s : context.samples) {
        if (!std::isfinite(column.values[s])) missing.push_back(s);
      }
    }
    std::vector<std::uint64_t> train_hist, valid_hist;
    for (std::uint64_t f = 0; f < context.folds->count(); ++f) {
      const std::size_t size = context.folds->valid(f).size();
      // Training is every node sample outside the fold.
      if (size == 0 || size == context.samples.size()) continue;
      objective_fold_counts(context, column, sorted, edges, missing, f, positions, lookup, train_hist,
                            valid_hist);
      score_objective_fold(*context.objective, train_hist, valid_hist, test == SideTest::Threshold,
                           n_cand, lists);
    }
    return aggregate_candidates(candidates, lists, context.folds->count(), feature, *context.aggregator);
  }

  std::vector<std::uint32_t>& slot_positions = buffers.slot_positions;
  validation_positions(context, column, sorted, edges, positions, lookup, slot_positions);
  const bool regression = context.criterion->is_regression();
  std::vector<double> own_y;
  std::vector<std::uint64_t> own_labels;
  std::span<const double> y_by_slot = context.y_by_slot;
  std::span<const std::uint64_t> labels_by_slot = context.labels_by_slot;
  if (regression && y_by_slot.empty()) {
    gather_at(context.y, std::span<const std::uint64_t>(context.folds->samples), own_y);
    y_by_slot = own_y;
  } else if (!regression && labels_by_slot.empty()) {
    gather_at(context.labels, std::span<const std::uint64_t>(context.folds->samples), own_labels);
    labels_by_slot = own_labels;
  }
  std::vector<double> sums, left, right, sort_scratch;
  std::vector<std::uint64_t> counts, hist, sizes, work;
  for (std::uint64_t f = 0; f < context.folds->count(); ++f) {
    const std::size_t size = context.folds->valid(f).size();
    if (size == 0) continue;
    const std::size_t start = lookup.starts[f];
    const std::span<const std::uint32_t> pos(slot_positions.data() + start, size);
    switch (context.criterion->kind()) {
      case CriterionKind::Mse:
      case CriterionKind::Variance:
        score_fold_variance(y_by_slot.subspan(start, size), pos, test, n_cand, lists, sums, counts);
        break;
      case CriterionKind::Mae:
        score_fold_mae(y_by_slot.subspan(start, size), pos, test, n_cand, lists, left, right, sort_scratch);
        break;
      case CriterionKind::Gini:
      case CriterionKind::Entropy:
        score_fold_classes(labels_by_slot.subspan(start, size), context.criterion->kind(),
                           context.criterion->n_classes(), pos, test, n_cand, lists, hist, sizes, work);
        break;
    }
  }
  return aggregate_candidates(candidates, lists, context.folds->count(), feature, *context.aggregator);
}

}  // namespace quor
