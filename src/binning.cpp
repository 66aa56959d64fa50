#include "binning.hpp"

#include <cmath>
#include <memory>
#include <stdexcept>

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

std::uint64_t last_edge_of_rank(std::uint64_t p, std::uint64_t m, std::uint64_t n_bins) {
  // ⌊(j + 1)·m / n_bins⌋ <= p  ⇔  (j + 1)·m < (p + 1)·n_bins  ⇔  j + 1 <= ⌊((p + 1)·n_bins − 1) / m⌋.
  const unsigned __int128 bound =
      ((static_cast<unsigned __int128>(p) + 1) * n_bins - 1) / m;
  return static_cast<std::uint64_t>(bound) - 1;
}

namespace {

// The bounds of bin b among n_edges edges, edge j being edge_at(j).
template <class EdgeAt>
BinBounds bounds_of(std::uint64_t n_edges, std::uint64_t b, const EdgeAt& edge_at) {
  check_index(b, n_edges + 1, "bin bounds");
  BinBounds bounds;
  if (b > 0) bounds.first = edge_at(b - 1);
  if (b < n_edges) bounds.second = edge_at(b);
  return bounds;
}

}  // namespace

double EdgeRuns::at(std::uint64_t j) const {
  check_index(j, size(), "quantile edges");
  return values_[static_cast<std::size_t>(std::upper_bound(ends_.begin(), ends_.end(), j) - ends_.begin())];
}

BinBounds EdgeRuns::bounds(std::uint64_t b) const {
  return bounds_of(size(), b, [&](std::uint64_t j) { return at(j); });
}

BinBounds bin_bounds(std::span<const double> edges, std::uint64_t b) {
  return bounds_of(edges.size(), b, [&](std::uint64_t j) { return edges[j]; });
}

namespace {

// Rows whose part of the matrix stays in cache while every column reads it.
constexpr std::size_t kReadBlock = 256;
constexpr std::size_t kMarkWords = kBuckets / 64;

/// The state of one `matrix_column_edges` call over a chunk of columns: per
/// thread, each column's bucket counts (which then become the thread's write
/// places in the copied keys), and per column what is copied.
struct InPlaceEdges {
  const MatrixView& x;
  std::span<const std::size_t> features;
  std::uint64_t n_bins;
  std::size_t threads;
  std::vector<std::unique_ptr<std::uint32_t[]>> counts;  // [t][d·kBuckets + b]
  std::vector<std::uint64_t> finite;                // per column
  std::vector<std::vector<EdgeBucket>> needed;      // per column: its edge buckets
  std::vector<std::uint64_t> n_copied;              // per column: keys copied out
  std::vector<std::uint64_t> marks;                 // per column: a bit per edge bucket

  template <class Work>
  void on_rows(const Work& work) const {
    for_row_ranges(x.n_rows, kReadBlock, threads, work);
  }

  /// Pass 1: each thread counts the finite values of its rows per column and bucket.
  void count_buckets() {
    const std::size_t n_columns = features.size();
    // Allocated by the calling thread, zeroed by the workers: worker threads
    // are new at every call, and memory they allocated would come from
    // arenas of their own, freshly mapped (every page faulting in again)
    // each time.
    counts.resize(threads);
    for (auto& own : counts) own.reset(new std::uint32_t[n_columns * kBuckets]);
    on_rows([&](std::size_t t, std::size_t begin, std::size_t end) {
      std::uint32_t* own = counts[t].get();
      std::fill_n(own, n_columns * kBuckets, 0u);
      for (std::size_t first = begin; first < end; first += kReadBlock) {
        const std::size_t last = std::min(end, first + kReadBlock);
        for (std::size_t d = 0; d < n_columns; ++d) {
          std::uint32_t* column_counts = own + d * kBuckets;
          for (std::size_t r = first; r < last; ++r) {
            const double v = x.at(r, features[d]);
            if (std::isfinite(v)) ++column_counts[total_order_key(v) >> kBucketShift];
          }
        }
      }
    });
  }

  /// Each column's edge buckets, marked in its bitmap; each thread's counts
  /// of those buckets become its write places in the column's copied keys.
  void plan_copies() {
    const std::size_t n_columns = features.size();
    finite.assign(n_columns, 0);
    needed.assign(n_columns, {});
    n_copied.assign(n_columns, 0);
    marks.assign(n_columns * kMarkWords, 0);
    // Columns are planned apart (each writes only its own entries), on the
    // threads too: the pass reads every bucket count of every thread.
    const auto plan = [&](std::uint64_t d) {
      std::vector<std::uint64_t> starts(kBuckets + 1);
      starts[0] = 0;
      for (std::size_t b = 0; b < kBuckets; ++b) {
        std::uint64_t total = 0;
        for (std::size_t t = 0; t < threads; ++t) total += counts[t][d * kBuckets + b];
        starts[b + 1] = starts[b] + total;
      }
      finite[d] = starts[kBuckets];
      if (finite[d] > 0) needed[d] = edge_buckets(starts, finite[d], n_bins);
      std::vector<std::uint32_t> places;
      for (const EdgeBucket& e : needed[d]) {
        std::uint64_t place = e.offset;
        for (std::size_t t = 0; t < threads; ++t) {
          places.push_back(static_cast<std::uint32_t>(place));
          place += counts[t][d * kBuckets + e.bucket];
        }
        n_copied[d] = e.offset + (e.end_rank - e.first_rank);
      }
      for (std::size_t t = 0; t < threads; ++t) {
        std::uint32_t* own = counts[t].get() + d * kBuckets;
        for (std::size_t k = 0; k < needed[d].size(); ++k) own[needed[d][k].bucket] = places[k * threads + t];
      }
      for (const EdgeBucket& e : needed[d]) marks[d * kMarkWords + e.bucket / 64] |= std::uint64_t{1} << (e.bucket % 64);
      return 0;
    };
    if (threads >= 2) {
      parallel_map(n_columns, threads, plan);
    } else {
      for (std::size_t d = 0; d < n_columns; ++d) plan(d);
    }
  }

  /// Pass 2 for columns [d0, d1): each thread copies the keys of its rows
  /// that lie in edge buckets to its places; keys[d − d0] receives column d's.
  void copy_keys(std::size_t d0, std::size_t d1, std::span<const std::unique_ptr<std::uint64_t[]>> keys) {
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
          std::uint32_t* places = counts[t].get() + d * kBuckets;
          std::uint64_t* out = keys[d - d0].get();
          for (std::size_t i = 0; i < n_kept; ++i) out[places[kept[i] >> kBucketShift]++] = kept[i];
        }
      }
    });
  }

  /// The edges of every column: the keys are copied a group of columns at a
  /// time, a group's keys fitting the room of eight whole columns (or one
  /// column, when it needs more), and the edges selected inside them.
  void find(std::span<ColumnEdges> out) {
    count_buckets();
    plan_copies();
    const std::size_t n_columns = features.size();
    const std::uint64_t room = std::max<std::uint64_t>(8 * static_cast<std::uint64_t>(x.n_rows), 1);
    for (std::size_t d0 = 0; d0 < n_columns;) {
      std::size_t d1 = d0 + 1;
      std::uint64_t used = n_copied[d0];
      while (d1 < n_columns && used + n_copied[d1] <= room) used += n_copied[d1++];
      // Left uninitialised: the threads' writes are the first touch of the
      // memory, so its pages are mapped in parallel, not by a serial fill.
      std::vector<std::unique_ptr<std::uint64_t[]>> keys(d1 - d0);
      for (std::size_t d = d0; d < d1; ++d) keys[d - d0].reset(new std::uint64_t[n_copied[d]]);
      copy_keys(d0, d1, keys);
      const auto select = [&](std::uint64_t k) {
        const std::size_t d = d0 + k;
        out[d].n_finite = finite[d];
        if (finite[d] > 0) {
          out[d].edges = edges_in_buckets(std::span<std::uint64_t>(keys[k].get(), n_copied[d]), needed[d],
                                          finite[d], n_bins);
        }
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
};

}  // namespace

bool column_edges_in_place(std::size_t n_rows) {
  return n_rows >= kRadixMinKeys && n_rows <= std::numeric_limits<std::uint32_t>::max() / 2;
}

std::vector<ColumnEdges> matrix_column_edges(const MatrixView& x, std::span<const std::size_t> features,
                                             std::uint64_t n_bins, std::uint64_t n_threads) {
  if (n_bins < 2 || !column_edges_in_place(x.n_rows)) {
    throw InternalError("column edges in place need at least 2 bins and a matrix of their size");
  }
  check_edge_count(n_bins - 1);
  std::vector<ColumnEdges> out(features.size());
  // At most one thread per block of rows; columns in chunks whose bucket
  // counts (a table per column and thread) fit 64 MiB.
  const std::size_t threads = std::clamp<std::uint64_t>(n_threads, 1, std::max<std::size_t>(1, x.n_rows / kReadBlock));
  constexpr std::size_t kCountBytes = std::size_t{64} << 20;
  const std::size_t chunk = std::max<std::size_t>(1, kCountBytes / (threads * kBuckets * sizeof(std::uint32_t)));
  for (std::size_t first = 0; first < features.size(); first += chunk) {
    const std::size_t size = std::min(chunk, features.size() - first);
    InPlaceEdges finder{x, features.subspan(first, size), n_bins, threads, {}, {}, {}, {}, {}};
    finder.find(std::span<ColumnEdges>(out).subspan(first, size));
  }
  return out;
}

}  // namespace quor
