#include "encoder.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <type_traits>
#include <stdexcept>
#include <string>

#include "config.hpp"
#include "ordering.hpp"
#include "errors.hpp"
#include "parallel.hpp"

namespace quor {

std::uint64_t quantile_position(std::uint64_t j, std::uint64_t m, std::uint64_t n_bins) {
  const unsigned __int128 q = (static_cast<unsigned __int128>(j) + 1) * m / n_bins;
  return q < m ? static_cast<std::uint64_t>(q) : m - 1;
}

namespace {

// First j in [lo, hi) with pred(j) true, for a predicate that is false then true.
template <class Pred>
std::uint64_t first_true(std::uint64_t lo, std::uint64_t hi, Pred pred) {
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (pred(mid)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

// Below this many keys per requested edge a plain sort of the range is
// faster than selecting the edges one by one (measured on random doubles).
constexpr std::uint64_t kKeysPerEdgeForSelection = 32;

// Puts at the position of every edge j in [j_lo, j_hi) the key a full sort
// would put there. On entry keys[lo, hi) holds exactly the keys of sorted
// ranks lo .. hi − 1 (in some order) and those positions lie in [lo, hi).
// Each step settles the middle requested edge with nth_element and splits the
// rest around it; the recursion halves the edge range, so its depth is at
// most 64. Keys are distinct bit patterns or equal ones, so the selected
// values are exactly those of a full sort.
// `keys` holds the ranks from `base` on: the key of rank i is keys[i − base].
void select_positions(std::uint64_t* keys, std::uint64_t base, std::uint64_t lo, std::uint64_t hi,
                      std::uint64_t j_lo, std::uint64_t j_hi, std::uint64_t m, std::uint64_t n_bins) {
  while (j_lo < j_hi && hi - lo > 1) {
    if ((hi - lo) / kKeysPerEdgeForSelection <= j_hi - j_lo) {
      std::sort(keys + (lo - base), keys + (hi - base));
      return;
    }
    const std::uint64_t j_mid = j_lo + (j_hi - j_lo) / 2;
    const std::uint64_t p = quantile_position(j_mid, m, n_bins);
    std::nth_element(keys + (lo - base), keys + (p - base), keys + (hi - base));
    // Positions are non-decreasing in j; edges sharing position p are settled.
    const std::uint64_t left_end =
        first_true(j_lo, j_mid, [&](std::uint64_t j) { return quantile_position(j, m, n_bins) >= p; });
    const std::uint64_t right_begin = first_true(
        j_mid + 1, j_hi, [&](std::uint64_t j) { return quantile_position(j, m, n_bins) > p; });
    select_positions(keys, base, lo, p, j_lo, left_end, m, n_bins);
    lo = p + 1;
    j_lo = right_begin;
  }
}

// From this many keys on, one counting pass over the top 16 bits of the keys
// first splits them into buckets; selection then only runs inside the few
// buckets that hold requested positions.
constexpr std::uint64_t kRadixMinKeys = 1u << 16;
constexpr unsigned kBucketShift = 48;
constexpr std::size_t kBuckets = std::size_t{1} << 16;

// Reorders the keys by their top 16 bits (a stable counting sort) and settles
// every requested position inside its bucket. Bucket order is key order, so
// each bucket range holds exactly the keys of its ranks, as select_positions
// requires.
void select_by_buckets(std::span<std::uint64_t> keys, std::uint64_t n_edges, std::uint64_t n_bins) {
  const std::uint64_t m = keys.size();
  std::vector<std::uint64_t> starts(kBuckets + 1, 0);
  for (const std::uint64_t k : keys) ++starts[(k >> kBucketShift) + 1];
  for (std::size_t b = 0; b < kBuckets; ++b) starts[b + 1] += starts[b];
  std::vector<std::uint64_t> sorted(m);
  {
    std::vector<std::uint64_t> next(starts.begin(), starts.end() - 1);
    for (const std::uint64_t k : keys) sorted[next[k >> kBucketShift]++] = k;
  }
  std::copy(sorted.begin(), sorted.end(), keys.begin());
  std::uint64_t j = 0;
  while (j < n_edges) {
    const std::uint64_t p = quantile_position(j, m, n_bins);
    const std::size_t bucket = static_cast<std::size_t>(keys[p] >> kBucketShift);
    const std::uint64_t lo = starts[bucket];
    const std::uint64_t hi = starts[bucket + 1];
    const std::uint64_t j_end = first_true(j, n_edges, [&](std::uint64_t e) { return quantile_position(e, m, n_bins) >= hi; });
    select_positions(keys.data(), 0, lo, hi, j, j_end, m, n_bins);
    j = j_end;
  }
}

// The edges, given the key of each sorted rank an edge sits at.
// (j + 1)·m = q·n_bins + r, advanced by m per edge without any product:
// q grows by m / n_bins and r by m mod n_bins, with a carry when r wraps.
// Since j + 1 < n_bins, q stays below m and never needs the cap at m − 1.
template <class KeyAt>
std::vector<double> edges_at_ranks(std::uint64_t m, std::uint64_t n_bins, const KeyAt& key_at) {
  const std::uint64_t n_edges = n_bins - 1;
  std::vector<double> edges;
  edges.reserve(n_edges);
  const std::uint64_t q_step = m / n_bins;
  const std::uint64_t r_step = m % n_bins;
  std::uint64_t q = q_step;
  std::uint64_t r = r_step;
  for (std::uint64_t j = 0; j < n_edges; ++j) {
    edges.push_back(from_total_order_key(key_at(std::min(q, m - 1))));
    q += q_step;
    if (r >= n_bins - r_step) {
      r -= n_bins - r_step;
      ++q;
    } else {
      r += r_step;
    }
  }
  return edges;
}

void check_edge_count(std::uint64_t n_edges) {
  if (n_edges > std::vector<double>().max_size()) throw std::length_error("too many quantile edges");
}

// Edges from the total-order keys of the finite values (reordered in place).
std::vector<double> edges_from_keys(std::span<std::uint64_t> keys, std::uint64_t n_bins) {
  const std::uint64_t m = keys.size();
  if (n_bins < 2 || m == 0) return {};
  const std::uint64_t n_edges = n_bins - 1;
  check_edge_count(n_edges);
  if (m >= kRadixMinKeys) {
    select_by_buckets(keys, n_edges, n_bins);
  } else {
    select_positions(keys.data(), 0, 0, m, 0, n_edges, m, n_bins);
  }
  return edges_at_ranks(m, n_bins, [&](std::uint64_t rank) { return keys[rank]; });
}

// Where an edge's rank lies: a bucket of the keys' top 16 bits holding ranks
// [first_rank, end_rank), the edges [first_edge, end_edge) that fall in it, and
// where its keys are copied to.
struct EdgeBucket {
  std::size_t bucket;
  std::uint64_t first_rank, end_rank;
  std::uint64_t first_edge, end_edge;
  std::uint64_t offset;
};

// The buckets holding the ranks of the n_bins − 1 edges, given the count of
// keys below each bucket (`starts`, kBuckets + 1 entries, the last m > 0).
template <class Starts>
std::vector<EdgeBucket> edge_buckets(const Starts& starts, std::uint64_t m, std::uint64_t n_bins) {
  std::vector<EdgeBucket> needed;
  const std::uint64_t n_edges = n_bins - 1;
  std::uint64_t copied = 0;
  for (std::uint64_t j = 0; j < n_edges;) {
    const std::uint64_t p = quantile_position(j, m, n_bins);
    const auto bucket = static_cast<std::size_t>(
        std::upper_bound(starts.begin(), starts.begin() + kBuckets + 1, p) - starts.begin() - 1);
    const std::uint64_t lo = starts[bucket];
    const std::uint64_t hi = starts[bucket + 1];
    const std::uint64_t j_end =
        first_true(j, n_edges, [&](std::uint64_t e) { return quantile_position(e, m, n_bins) >= hi; });
    needed.push_back(EdgeBucket{bucket, lo, hi, j, j_end, copied});
    copied += hi - lo;
    j = j_end;
  }
  return needed;
}

// Selects the edges inside the copied keys of their buckets.
std::vector<double> edges_in_buckets(std::span<std::uint64_t> keys, std::span<const EdgeBucket> needed,
                                     std::uint64_t m, std::uint64_t n_bins) {
  for (const EdgeBucket& n : needed) {
    select_positions(keys.data() + n.offset, n.first_rank, n.first_rank, n.end_rank, n.first_edge, n.end_edge, m,
                     n_bins);
  }
  std::size_t k = 0;
  return edges_at_ranks(m, n_bins, [&](std::uint64_t rank) {
    while (rank >= needed[k].end_rank) ++k;
    return keys[needed[k].offset + (rank - needed[k].first_rank)];
  });
}

// Edges of many values without a copy of all their keys: one pass counts the
// finite values per bucket of the keys' top 16 bits; a second copies out the
// keys of only the buckets that hold an edge's rank (bucket order is key
// order, so ranks inside a bucket are ranks of the bucket's own keys), and the
// edges are selected inside those. The values are the same as a full sort's.
std::vector<double> edges_by_buckets(std::span<const double> values, std::uint64_t n_bins) {
  std::vector<std::uint64_t> starts(kBuckets + 1, 0);
  for (const double x : values) {
    if (std::isfinite(x)) ++starts[(total_order_key(x) >> kBucketShift) + 1];
  }
  for (std::size_t b = 0; b < kBuckets; ++b) starts[b + 1] += starts[b];
  const std::uint64_t m = starts[kBuckets];
  if (m == 0) return {};
  const std::uint64_t n_edges = n_bins - 1;
  check_edge_count(n_edges);

  const std::vector<EdgeBucket> needed = edge_buckets(starts, m, n_bins);
  constexpr std::uint64_t kNotNeeded = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::uint64_t> next(kBuckets, kNotNeeded);
  for (const EdgeBucket& n : needed) next[n.bucket] = n.offset;
  std::vector<std::uint64_t> keys(needed.back().offset + (needed.back().end_rank - needed.back().first_rank));
  for (const double x : values) {
    if (!std::isfinite(x)) continue;
    const std::uint64_t key = total_order_key(x);
    std::uint64_t& at = next[key >> kBucketShift];
    if (at != kNotNeeded) keys[at++] = key;
  }
  return edges_in_buckets(keys, needed, m, n_bins);
}

}  // namespace

std::vector<double> quantile_edges(std::span<const double> values, std::uint64_t n_bins) {
  if (n_bins < 2) return {};
  if (values.size() >= kRadixMinKeys) return edges_by_buckets(values, n_bins);
  std::vector<std::uint64_t> keys;
  keys.reserve(values.size());
  for (const double x : values) {
    if (std::isfinite(x)) keys.push_back(total_order_key(x));
  }
  return edges_from_keys(keys, n_bins);
}

std::vector<double> quantile_edges_at(std::span<const double> column,
                                      std::span<const std::uint64_t> samples, std::uint64_t n_bins,
                                      std::vector<std::uint64_t>& scratch) {
  if (n_bins < 2) return {};
  scratch.resize(samples.size());
  std::size_t m = 0;
  for (const std::uint64_t s : samples) {
    const double x = column[s];
    if (std::isfinite(x)) scratch[m++] = total_order_key(x);
  }
  return edges_from_keys(std::span<std::uint64_t>(scratch.data(), m), n_bins);
}

std::uint64_t last_edge_of_rank(std::uint64_t p, std::uint64_t m, std::uint64_t n_bins) {
  // ⌊(j + 1)·m / n_bins⌋ <= p  ⇔  (j + 1)·m < (p + 1)·n_bins  ⇔  j + 1 <= ⌊((p + 1)·n_bins − 1) / m⌋.
  const unsigned __int128 bound =
      ((static_cast<unsigned __int128>(p) + 1) * n_bins - 1) / m;
  return static_cast<std::uint64_t>(bound) - 1;
}

double EdgeRuns::at(std::uint64_t j) const {
  check_index(j, size(), "quantile edges");
  return values_[static_cast<std::size_t>(std::upper_bound(ends_.begin(), ends_.end(), j) - ends_.begin())];
}

std::uint64_t EdgeRuns::bin_of(double x) const {
  const auto k = static_cast<std::size_t>(std::upper_bound(values_.begin(), values_.end(), x) - values_.begin());
  return k == 0 ? 0 : ends_[k - 1];
}

std::pair<std::optional<double>, std::optional<double>> EdgeRuns::bounds(std::uint64_t b) const {
  check_index(b, size() + 1, "bin bounds");
  std::optional<double> lower;
  std::optional<double> upper;
  if (b > 0) lower = at(b - 1);
  if (b < size()) upper = at(b);
  return {lower, upper};
}

std::optional<std::uint64_t> bin_of(std::span<const double> edges, double x) {
  if (!std::isfinite(x)) return std::nullopt;
  return static_cast<std::uint64_t>(std::upper_bound(edges.begin(), edges.end(), x) - edges.begin());
}

std::pair<std::optional<double>, std::optional<double>> bin_bounds(std::span<const double> edges,
                                                                   std::uint64_t b) {
  check_index(b, edges.size() + 1, "bin bounds");
  std::optional<double> lower;
  std::optional<double> upper;
  if (b > 0) lower = edges[b - 1];
  if (b < edges.size()) upper = edges[b];
  return {lower, upper};
}

namespace {

constexpr std::uint64_t kMaxFastCodes = 65535;

// Bins finite values against fixed edges. For many values a table over the
// top 16 bits of each value's order key gives the number of edges in lower
// buckets, and only edges sharing the value's bucket are compared; for a few
// values building that table costs more than it saves, and a binary search
// over all edges is used instead.
class EdgeBinner {
 public:
  EdgeBinner(std::span<const double> edges, std::size_t n_values) : edges_(edges) {
    if (n_values < kTableMinValues || few()) return;
    below_.assign(kBuckets + 1, 0);
    for (const double e : edges) ++below_[(value_order_key(e) >> kBucketShift) + 1];
    for (std::size_t b = 0; b < kBuckets; ++b) below_[b + 1] += below_[b];
    // Edges followed by +inf, so that a bucket's few edges are counted with a
    // fixed number of comparisons: edges past the bucket are above the value.
    padded_.assign(edges.begin(), edges.end());
    padded_.resize(edges.size() + kWindow, std::numeric_limits<double>::infinity());
  }

  /// Whether bin_few serves: few edges, searched without branches.
  bool few() const { return edges_.size() <= kFewEdges; }

  /// The count of edges <= x by a binary search whose steps are selects, not
  /// branches (a branch on random values misses half the time); for few().
  std::uint16_t bin_few(double x) const {
    const double* base = edges_.data();
    std::size_t n = edges_.size();
    if (n == 0) return 0;
    while (n > 1) {
      const std::size_t half = n / 2;
      base = base[half] <= x ? base + half : base;
      n -= half;
    }
    return static_cast<std::uint16_t>((base - edges_.data()) + (*base <= x ? 1 : 0));
  }

  std::uint16_t bin(double x) const {
    if (below_.empty()) {
      return static_cast<std::uint16_t>(std::upper_bound(edges_.begin(), edges_.end(), x) - edges_.begin());
    }
    const std::size_t bucket = static_cast<std::size_t>(value_order_key(x) >> kBucketShift);
    const std::uint32_t lo = below_[bucket];
    const std::uint32_t hi = below_[bucket + 1];
    if (hi - lo <= kWindow) {
      const double* window = padded_.data() + lo;
      std::uint32_t count = 0;
      for (std::size_t k = 0; k < kWindow; ++k) count += window[k] <= x ? 1u : 0u;
      return static_cast<std::uint16_t>(lo + count);
    }
    return static_cast<std::uint16_t>(std::upper_bound(edges_.begin() + lo, edges_.begin() + hi, x) -
                                      edges_.begin());
  }

 private:
  static constexpr std::size_t kTableMinValues = std::size_t{1} << 15;
  static constexpr std::size_t kFewEdges = 255;
  static constexpr std::size_t kWindow = 8;
  std::span<const double> edges_;
  std::vector<std::uint32_t> below_;
  std::vector<double> padded_;
};

void continuous_bins(std::size_t f, const std::vector<double>& values, std::uint64_t n_bins,
                     FeatureBins& bins) {
  // The edge count is known before the edges are computed: n_bins − 1 once any
  // value is finite. Checking it first lets a huge n_bins fail without
  // allocating its edges.
  const bool any_finite =
      std::any_of(values.begin(), values.end(), [](double x) { return std::isfinite(x); });
  const std::uint64_t n_edges = (n_bins >= 2 && any_finite) ? n_bins - 1 : 0;
  if (n_edges > kMaxFastCodes - 1) {
    throw ValueError("feature " + std::to_string(f) + ": " + std::to_string(n_edges + 1) +
                     " continuous bins exceed fast-mode limit");
  }
  bins.edges = quantile_edges(values, n_bins);
  bins.n_codes = bins.edges.size() + 1;
  bins.is_continuous = true;
  bins.has_missing = !std::all_of(values.begin(), values.end(), [](double x) { return std::isfinite(x); });
}

void categorical_bins(std::size_t f, const std::vector<std::uint32_t>& column,
                      std::vector<std::uint32_t>& scratch, FeatureBins& bins) {
  scratch.clear();
  for (const std::uint32_t c : column) {
    if (c != kMissingCode) scratch.push_back(c);
  }
  bins.has_missing = scratch.size() != column.size();
  std::sort(scratch.begin(), scratch.end());
  scratch.erase(std::unique(scratch.begin(), scratch.end()), scratch.end());
  if (scratch.size() > kMaxFastCodes) {
    throw ValueError("feature " + std::to_string(f) + ": " + std::to_string(scratch.size()) +
                     " categories exceed fast-mode limit");
  }
  bins.categories.assign(scratch.begin(), scratch.end());
  bins.n_codes = bins.categories.size();
  bins.is_continuous = false;
}

// Samples coded per block: the block's rows of the code matrix stay in cache
// while every feature writes its column into them.
constexpr std::size_t kCodeBlock = 4096;

/// Training values read from separate columns.
struct ColumnsSource {
  std::span<const FeatureColumn> columns;

  std::size_t n_features() const { return columns.size(); }
  std::size_t n_samples() const { return columns.empty() ? 0 : columns.front().size(); }
  bool categorical(std::size_t f) const { return columns[f].is_categorical; }
  double value(std::size_t s, std::size_t f) const { return columns[f].values[s]; }
  std::uint32_t category(std::size_t s, std::size_t f) const { return columns[f].codes[s]; }
  /// Calls visit with the listed columns (consecutive ones: no copy is made).
  template <class Visit>
  void with_columns(std::span<const std::size_t> list, Visit&& visit) const {
    for (std::size_t k = 1; k < list.size(); ++k) {
      if (list[k] != list[0] + k) throw InternalError("encoded columns are listed out of order");
    }
    visit(list.empty() ? columns.subspan(0, 0) : columns.subspan(list[0], list.size()));
  }
  /// How many columns the bins pass takes at a time.
  std::size_t group_size() const { return std::max<std::size_t>(columns.size(), 1); }
};

/// Training values read straight from the input matrix: the bins pass copies a
/// few columns at a time, the codes pass reads rows, so the whole matrix is
/// never copied.
struct MatrixSource {
  const MatrixView& x;
  std::span<const std::uint64_t> categorical_list;
  std::uint64_t n_threads = 1;
  mutable std::vector<FeatureColumn> buffer;  // the columns of a group, reused

  std::size_t n_features() const { return x.n_cols; }
  std::size_t n_samples() const { return x.n_rows; }
  bool categorical(std::size_t f) const { return is_categorical(categorical_list, f); }
  double value(std::size_t s, std::size_t f) const { return x.at(s, f); }
  std::uint32_t category(std::size_t s, std::size_t f) const { return category_code(x.at(s, f)); }
  template <class Visit>
  void with_columns(std::span<const std::size_t> list, Visit&& visit) const {
    columns_from_matrix(x, categorical_list, list, buffer, n_threads);
    visit(std::span<const FeatureColumn>(buffer));
  }
  std::size_t group_size() const { return 4; }
};

/// Whether the continuous columns of the matrix are binned in place: many rows
/// (fewer would not repay the bucket tables), an edge count under the
/// fast-mode limit, and write places that fit 32 bits.
bool binned_in_place(const MatrixView& x, std::uint64_t n_bins) {
  return x.n_rows >= kRadixMinKeys && x.n_rows <= std::numeric_limits<std::uint32_t>::max() / 2 && n_bins >= 2 &&
         n_bins <= kMaxFastCodes;
}

/// Bins of the continuous matrix columns `features` on `threads` threads (at
/// most one per block of rows), found without copying the columns. One pass
/// over the rows counts each column's finite values per bucket of the keys'
/// top 16 bits (each thread over its own rows, with its own counts); a second
/// copies out the keys of just the buckets that hold edge ranks, each thread
/// to the places its counts give it; the edges are selected inside those
/// keys, so they are the values a full sort gives. The second pass takes the
/// columns in groups whose copied keys fit the room of eight whole columns
/// (or one, when a column needs more).
void bin_columns_in_place(const MatrixView& x, std::span<const std::size_t> features, std::uint64_t n_bins,
                          std::size_t threads, std::span<FeatureBins> bins) {
  const std::size_t n = x.n_rows;
  const std::size_t n_columns = features.size();
  if (n_columns == 0) return;
  constexpr std::size_t kReadBlock = 256;  // rows whose part of the matrix stays in cache
  const auto on_rows = [&](const auto& work) { for_row_ranges(n, kReadBlock, threads, work); };
  // Pass 1: counts[t][d·kBuckets + b], the finite values of column d in rows
  // of thread t whose key lies in bucket b.
  std::vector<std::vector<std::uint32_t>> counts(threads);
  on_rows([&](std::size_t t, std::size_t begin, std::size_t end) {
    std::vector<std::uint32_t>& own = counts[t];
    own.assign(n_columns * kBuckets, 0);
    for (std::size_t first = begin; first < end; first += kReadBlock) {
      const std::size_t last = std::min(end, first + kReadBlock);
      for (std::size_t d = 0; d < n_columns; ++d) {
        std::uint32_t* column_counts = own.data() + d * kBuckets;
        for (std::size_t r = first; r < last; ++r) {
          const double v = x.at(r, features[d]);
          if (std::isfinite(v)) ++column_counts[total_order_key(v) >> kBucketShift];
        }
      }
    }
  });

  // Each column's edge buckets, marked in a bitmap per column; then each
  // thread's counts of those buckets become its write places in the copied
  // keys.
  std::vector<std::uint64_t> finite(n_columns, 0);
  std::vector<std::vector<EdgeBucket>> needed(n_columns);
  std::vector<std::uint64_t> n_copied(n_columns, 0);
  constexpr std::size_t kMarkWords = kBuckets / 64;
  std::vector<std::uint64_t> marks(n_columns * kMarkWords, 0);
  {
    std::vector<std::uint64_t> starts(kBuckets + 1);
    std::vector<std::uint32_t> places;
    for (std::size_t d = 0; d < n_columns; ++d) {
      starts[0] = 0;
      for (std::size_t b = 0; b < kBuckets; ++b) {
        std::uint64_t total = 0;
        for (std::size_t t = 0; t < threads; ++t) total += counts[t][d * kBuckets + b];
        starts[b + 1] = starts[b] + total;
      }
      finite[d] = starts[kBuckets];
      if (finite[d] > 0) needed[d] = edge_buckets(starts, finite[d], n_bins);
      places.clear();
      for (const EdgeBucket& e : needed[d]) {
        std::uint64_t place = e.offset;
        for (std::size_t t = 0; t < threads; ++t) {
          places.push_back(static_cast<std::uint32_t>(place));
          place += counts[t][d * kBuckets + e.bucket];
        }
        n_copied[d] = e.offset + (e.end_rank - e.first_rank);
      }
      for (std::size_t t = 0; t < threads; ++t) {
        std::uint32_t* own = counts[t].data() + d * kBuckets;
        for (std::size_t k = 0; k < needed[d].size(); ++k) own[needed[d][k].bucket] = places[k * threads + t];
      }
      for (const EdgeBucket& e : needed[d]) marks[d * kMarkWords + e.bucket / 64] |= std::uint64_t{1} << (e.bucket % 64);
    }
  }

  // Pass 2 and the selection, a group of columns at a time.
  const std::uint64_t room = std::max<std::uint64_t>(8 * static_cast<std::uint64_t>(n), 1);
  for (std::size_t d0 = 0; d0 < n_columns;) {
    std::size_t d1 = d0 + 1;
    std::uint64_t used = n_copied[d0];
    while (d1 < n_columns && used + n_copied[d1] <= room) used += n_copied[d1++];
    // Left uninitialised: the threads' writes are the first touch of the
    // memory, so its pages are mapped in parallel, not by a serial fill.
    std::vector<std::unique_ptr<std::uint64_t[]>> keys(d1 - d0);
    for (std::size_t d = d0; d < d1; ++d) keys[d - d0].reset(new std::uint64_t[n_copied[d]]);
    on_rows([&](std::size_t t, std::size_t begin, std::size_t end) {
      std::uint64_t kept[kReadBlock];
      for (std::size_t first = begin; first < end; first += kReadBlock) {
        const std::size_t last = std::min(end, first + kReadBlock);
        for (std::size_t d = d0; d < d1; ++d) {
          if (n_copied[d] == 0) continue;
          // The block's keys in edge buckets, kept without a branch (one
          // would miss about a quarter of the time): a bit test in the
          // column's bitmap, which stays in the first-level cache.
          const std::uint64_t* column_marks = marks.data() + d * kMarkWords;
          std::size_t n_kept = 0;
          for (std::size_t r = first; r < last; ++r) {
            const double v = x.at(r, features[d]);
            const std::uint64_t key = total_order_key(v);
            const std::uint64_t bucket = key >> kBucketShift;
            kept[n_kept] = key;
            n_kept += std::isfinite(v) & (column_marks[bucket / 64] >> (bucket % 64)) & 1u;
          }
          std::uint32_t* places = counts[t].data() + d * kBuckets;
          std::uint64_t* out = keys[d - d0].get();
          for (std::size_t i = 0; i < n_kept; ++i) out[places[kept[i] >> kBucketShift]++] = kept[i];
        }
      }
    });
    const auto select = [&](std::uint64_t k) {
      const std::size_t d = d0 + k;
      FeatureBins& b = bins[features[d]];
      b.edges = finite[d] == 0 ? std::vector<double>{}
                               : edges_in_buckets(std::span<std::uint64_t>(keys[k].get(), n_copied[d]), needed[d],
                                                  finite[d], n_bins);
      b.n_codes = b.edges.size() + 1;
      b.is_continuous = true;
      b.has_missing = finite[d] != n;
      keys[k].reset();
      return 0;
    };
    if (threads >= 2) {
      parallel_map(d1 - d0, threads, select);
    } else {
      for (std::size_t k = 0; k < d1 - d0; ++k) select(k);
    }
    d0 = d1;
  }
}

/// bin_columns_in_place over the columns in chunks whose bucket counts (a
/// table per column and thread) fit 64 MiB, on at most one thread per block
/// of 256 rows.
void matrix_continuous_bins(const MatrixView& x, std::span<const std::size_t> features, std::uint64_t n_bins,
                            std::uint64_t n_threads, std::span<FeatureBins> bins) {
  const std::size_t threads = std::clamp<std::uint64_t>(n_threads, 1, std::max<std::size_t>(1, x.n_rows / 256));
  constexpr std::size_t kCountBytes = std::size_t{64} << 20;
  const std::size_t chunk = std::max<std::size_t>(1, kCountBytes / (threads * kBuckets * sizeof(std::uint32_t)));
  for (std::size_t first = 0; first < features.size(); first += chunk) {
    bin_columns_in_place(x, features.subspan(first, std::min(chunk, features.size() - first)), n_bins, threads, bins);
  }
}

/// Writes the codes of samples [begin, end) into the row-major matrix.
template <class Source, class Code>
void write_codes(const Source& source, std::span<const FeatureBins> bins,
                 std::span<const std::optional<EdgeBinner>> binners, Code* codes, Code missing,
                 std::size_t begin, std::size_t end) {
  const std::size_t n_features = source.n_features();
  for (std::size_t first = begin; first < end; first += kCodeBlock) {
    const std::size_t last = std::min<std::size_t>(end, first + kCodeBlock);
    for (std::size_t f = 0; f < n_features; ++f) {
      if (source.categorical(f)) {
        const auto cat_begin = bins[f].categories.begin();
        const auto cat_end = bins[f].categories.end();
        for (std::size_t s = first; s < last; ++s) {
          const std::uint32_t c = source.category(s, f);
          codes[s * n_features + f] =
              c == kMissingCode ? missing : static_cast<Code>(std::lower_bound(cat_begin, cat_end, c) - cat_begin);
        }
      } else {
        const EdgeBinner& binner = *binners[f];
        if (binner.few()) {
          for (std::size_t s = first; s < last; ++s) {
            const double x = source.value(s, f);
            codes[s * n_features + f] = std::isfinite(x) ? static_cast<Code>(binner.bin_few(x)) : missing;
          }
        } else {
          for (std::size_t s = first; s < last; ++s) {
            const double x = source.value(s, f);
            codes[s * n_features + f] = std::isfinite(x) ? static_cast<Code>(binner.bin(x)) : missing;
          }
        }
      }
    }
  }
}

template <class Source>
EncodedFeatures encode_source(const Source& source, std::uint64_t n_bins, bool allow_narrow,
                              std::uint64_t n_threads) {
  EncodedFeatures out;
  const std::size_t n_features = source.n_features();
  out.n_features = n_features;
  out.bins.resize(n_features);
  out.sample_count = source.n_samples();
  const bool parallel = n_threads >= 2;
  // Every feature's bins first, so that the first feature over a limit, in
  // feature order, ends the call before any code is written. A limit is
  // returned as its message rather than thrown, so that workers can report it.
  // The continuous columns of a large matrix are binned in place when no limit
  // can stop them; the other features go through copied columns.
  std::vector<std::size_t> copied(n_features);
  std::iota(copied.begin(), copied.end(), std::size_t{0});
  if constexpr (std::is_same_v<Source, MatrixSource>) {
    if (binned_in_place(source.x, n_bins)) {
      std::vector<std::size_t> in_place;
      copied.clear();
      for (std::size_t f = 0; f < n_features; ++f) (source.categorical(f) ? copied : in_place).push_back(f);
      matrix_continuous_bins(source.x, in_place, n_bins, n_threads, out.bins);
    }
  }
  const std::size_t group = source.group_size();
  for (std::size_t first = 0; first < copied.size(); first += group) {
    const std::span<const std::size_t> list(copied.data() + first, std::min(copied.size() - first, group));
    std::vector<std::string> failures;
    source.with_columns(list, [&](std::span<const FeatureColumn> columns) {
      const auto feature_bins = [&](std::uint64_t k) -> std::string {
        const std::size_t f = list[k];
        try {
          if (columns[k].is_categorical) {
            std::vector<std::uint32_t> scratch;
            categorical_bins(f, columns[k].codes, scratch, out.bins[f]);
          } else {
            continuous_bins(f, columns[k].values, n_bins, out.bins[f]);
          }
        } catch (const ValueError& limit) {
          return limit.what();
        }
        return {};
      };
      if (parallel) {
        failures = parallel_map(list.size(), n_threads, feature_bins);
      } else {
        for (std::size_t k = 0; k < list.size(); ++k) {
          failures.push_back(feature_bins(k));
          if (!failures.back().empty()) break;
        }
      }
    });
    for (const std::string& failure : failures) {
      if (!failure.empty()) throw ValueError(failure);
    }
  }
  std::vector<std::optional<EdgeBinner>> binners(n_features);
  for (std::size_t f = 0; f < n_features; ++f) {
    if (!source.categorical(f)) binners[f].emplace(out.bins[f].edges, out.sample_count);
  }

  std::uint64_t max_codes = 0;
  for (const FeatureBins& bins : out.bins) max_codes = std::max(max_codes, bins.n_codes);
  out.narrow = allow_narrow && max_codes <= EncodedFeatures::kNarrowMissingCode;
  const auto write_all = [&](auto* codes, auto missing) {
    // Contiguous ranges of whole blocks: each worker writes its own rows.
    for_row_ranges(out.sample_count, kCodeBlock, n_threads, [&](std::size_t, std::size_t begin, std::size_t end) {
      write_codes(source, out.bins, binners, codes, missing, begin, end);
    });
  };
  if (out.narrow) {
    out.narrow_codes.resize(out.sample_count * n_features);
    write_all(out.narrow_codes.data(), EncodedFeatures::kNarrowMissingCode);
  } else {
    out.codes.resize(out.sample_count * n_features);
    write_all(out.codes.data(), kMissingFastCode);
  }
  return out;
}

}  // namespace

std::vector<std::uint16_t> EncodedFeatures::feature_codes(std::uint64_t feature) const {
  std::vector<std::uint16_t> out(sample_count);
  for (std::uint64_t s = 0; s < sample_count; ++s) out[s] = code(s, feature);
  return out;
}

EncodedFeatures encode_features(std::span<const FeatureColumn> columns, std::uint64_t n_bins,
                                bool allow_narrow, std::uint64_t n_threads) {
  const std::size_t n = columns.empty() ? 0 : columns.front().size();
  for (const FeatureColumn& column : columns) {
    if (column.size() != n) throw InternalError("encoded columns differ in length");
  }
  return encode_source(ColumnsSource{columns}, n_bins, allow_narrow, n_threads);
}

EncodedFeatures encode_matrix(const MatrixView& x, std::span<const std::uint64_t> categorical,
                              std::uint64_t n_bins, bool allow_narrow, std::uint64_t n_threads) {
  return encode_source(MatrixSource{x, categorical, n_threads, {}}, n_bins, allow_narrow, n_threads);
}

}  // namespace quor
