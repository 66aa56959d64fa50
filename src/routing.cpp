#include "routing.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "config.hpp"
#include "errors.hpp"
#include "input.hpp"
#include "parallel.hpp"

namespace quor {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Rows routed together. Every level of the block is one pass over the rows
// still on their way, so the rows' loads and compares overlap in the CPU
// instead of waiting on each other as one row's walk does. Small enough that
// the block's rows stay in the first-level cache from level to level (blocks
// of 16 to 32 rows measured fastest on 1 000 000 x 20; 128 took 1.4 times as
// long in C order), large enough to keep the CPU busy.
constexpr std::size_t kBlockRows = 32;
// Rows searched for infinite values at a time, when a matrix's columns are
// its runs in memory (Fortran order): long runs, for a search that streams.
// When its rows are (C order), each block is searched just before it is
// routed, while its rows are in the first-level cache. Measured on 1 000 000
// x 20: the search costs about 4 ns a row in Fortran order with 16384-row
// chunks (7-8 ns with 32-row ones) and next to nothing in C order with blocks.
constexpr std::size_t kColumnRunRows = 16384;
// A thread is worth starting for this many rows and more.
constexpr std::size_t kRowsPerThread = std::size_t{1} << 15;

// The test of a split node as an interval of the raw float, and the side the
// rows inside it take.
struct IntervalTest {
  double lower;
  double upper;
  bool inside_goes_left;
};

// A test no value satisfies (a NaN bound fails every comparison).
constexpr IntervalTest kNeverInside{kNaN, kNaN, true};

// The side rule of a stored split (Split::goes_left), restated on the raw
// float of the column. Interval (only finite x go left): a lower bound that is
// absent or -inf becomes the lowest finite double, which -inf fails and every
// finite x passes; an absent upper bound is +inf, which +inf fails. NaN fails
// both. Category on a categorical column: the floats whose category code is c
// (below the missing code) are those in [c - 0.5, c + 0.5) (halves round away
// from zero), [0, 0.5) for c = 0 (-0.0 included); the missing code is every
// float outside [0, 4294967294.5), whose codes are 0 ... 4294967294. A split
// whose kind does not match the column's (an interval on category codes, a
// category on plain floats) sends every row right.
IntervalTest interval_test(const Split& split, bool categorical_column) {
  if (split.is_categorical != categorical_column) return kNeverInside;
  if (!split.is_categorical) {
    const bool open_below = !split.lower || *split.lower == -kInfinity;
    return {open_below ? std::numeric_limits<double>::lowest() : *split.lower,
            split.upper ? *split.upper : kInfinity, true};
  }
  constexpr double kPastLastCode = static_cast<double>(kMissingCode) - 0.5;
  if (split.category == kMissingCode) return {0.0, kPastLastCode, false};
  const double c = split.category;
  return {split.category == 0 ? 0.0 : c - 0.5, c + 0.5, true};
}

// Whether a float is missing for a split on its column: not finite, or on a
// categorical column, one whose category code is the missing code.
inline bool is_missing_value(double v, bool categorical) {
  constexpr double kPastLastCode = static_cast<double>(kMissingCode) - 0.5;
  if (categorical) return !((v >= 0.0) & (v < kPastLastCode));
  return !std::isfinite(v);
}

// Routes the rows [0, n) of a block (n <= kBlockRows) from the root split;
// `codes[s]` ends as the code (< 0) at which row s stopped: ~leaf, or an error
// code of a split that reads a column past the row's end. cell(s, feature) is
// the value of row s in that column. No row can stop before the last of the
// first `full_levels` levels, which therefore move every row without
// bookkeeping.
// A set split's interval is [0, 64·words − 0.5): the floats of the codes its
// words cover; the code of such a float is floor(v + 0.5).
inline bool in_set(const std::uint64_t* words, double v) {
  const auto code = static_cast<std::uint32_t>(v + 0.5);
  return ((words[code / 64] >> (code % 64)) & 1u) != 0;
}

template <class Cell>
void route_block(const RoutingSplit* splits, const std::uint64_t* set_words, std::size_t full_levels, std::size_t n,
                 const Cell& cell, std::int32_t* codes) {
  const auto step = [&](std::size_t s, std::int32_t node) {
    const RoutingSplit& split = splits[node];
    const double v = cell(s, split.feature);
    bool inside = (v >= split.lower) & (v < split.upper);
    if (split.set_word != RoutingSplit::kNoSet && inside) inside = in_set(set_words + split.set_word, v);
    if (split.missing_inside && is_missing_value(v, split.categorical)) return split.child[1];
    return split.child[inside];
  };
  std::fill_n(codes, n, 0);
  for (std::size_t level = 0; level < full_levels; ++level) {
    for (std::size_t s = 0; s < n; ++s) codes[s] = step(s, codes[s]);
  }
  std::uint32_t lanes[kBlockRows];
  std::size_t active = 0;
  for (std::size_t s = 0; s < n; ++s) {
    lanes[active] = static_cast<std::uint32_t>(s);
    active += codes[s] >= 0 ? 1 : 0;
  }
  while (active > 0) {
    // Invariant: lanes[0 .. active) are the rows still at a split, in block
    // order; a pass moves each one level down and keeps those not yet done.
    std::size_t kept = 0;
    for (std::size_t a = 0; a < active; ++a) {
      const std::uint32_t s = lanes[a];
      const std::int32_t next = step(s, codes[s]);
      codes[s] = next;
      lanes[kept] = s;
      kept += next >= 0 ? 1 : 0;
    }
    active = kept;
  }
}

double read_cell(const char* p) {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Routes rows [begin, begin + n) of x, choosing the address arithmetic of the
// memory order so that the common orders need no multiplication by a stride.
void route_block(const RoutingSplit* splits, const std::uint64_t* set_words, std::size_t full_levels,
                 const MatrixView& x, std::size_t begin, std::size_t n, std::int32_t* codes) {
  const std::ptrdiff_t rs = x.row_stride;
  const std::ptrdiff_t cs = x.col_stride;
  const char* first = x.data + static_cast<std::ptrdiff_t>(begin) * rs;
  constexpr std::ptrdiff_t kUnit = sizeof(double);
  if (cs == kUnit) {
    route_block(splits, set_words, full_levels, n, [=](std::size_t s, std::uint64_t f) {
      return read_cell(first + static_cast<std::ptrdiff_t>(s) * rs + static_cast<std::ptrdiff_t>(f) * kUnit);
    }, codes);
  } else if (rs == kUnit) {
    route_block(splits, set_words, full_levels, n, [=](std::size_t s, std::uint64_t f) {
      return read_cell(first + static_cast<std::ptrdiff_t>(f) * cs + static_cast<std::ptrdiff_t>(s) * kUnit);
    }, codes);
  } else {
    route_block(splits, set_words, full_levels, n, [=](std::size_t s, std::uint64_t f) {
      return read_cell(first + static_cast<std::ptrdiff_t>(s) * rs + static_cast<std::ptrdiff_t>(f) * cs);
    }, codes);
  }
}

// The splits one call routes through: the table's own, or, when x has fewer
// columns than the tree reads, a copy in which every split past x's columns
// stops its rows with an error code (~(n_leaves + split)) instead of reading.
struct CallSplits {
  std::span<const RoutingSplit> splits;
  std::vector<RoutingSplit> patched;
  bool may_fail = false;
  std::size_t full_levels = 0;  // none when a row may stop early at an error
};

CallSplits call_splits(const RoutingTable& table, const MatrixView& x) {
  CallSplits call;
  call.splits = table.splits();
  call.full_levels = table.full_levels();
  if (x.n_cols >= table.columns_needed()) return call;
  const std::span<const RoutingSplit> splits = table.splits();
  // Every row starts at the root: with no column at all, the first row fails there.
  if (x.n_cols == 0) check_index(splits.front().feature, 0, "row");
  call.patched.assign(splits.begin(), splits.end());
  for (std::size_t i = 0; i < splits.size(); ++i) {
    RoutingSplit& split = call.patched[i];
    if (split.feature < x.n_cols) continue;
    const auto code = static_cast<std::int32_t>(~(table.n_leaves() + i));
    split.feature = 0;
    split.child = {code, code};
  }
  call.splits = call.patched;
  call.may_fail = true;
  call.full_levels = 0;
  return call;
}

// |v| of a cell, and whether the larger of two magnitudes is `a`: a NaN fails
// the comparison, so a running maximum never takes a NaN in.
double magnitude(double v) { return std::fabs(v); }
double larger(double a, double m) { return a > m ? a : m; }

// The largest |v| of n cells from p, `step` bytes apart, NaN left out; an
// infinite cell makes it infinite.
double largest_magnitude(const char* p, std::ptrdiff_t step, std::size_t n) {
  constexpr std::ptrdiff_t kUnit = sizeof(double);
  double m = 0.0;
  std::size_t i = 0;
  if (step == kUnit) {
    // Contiguous cells: four at a time, in two vectors of two (the width of
    // the baseline vector registers); the same comparison, lane by lane.
    using Pair = double __attribute__((vector_size(2 * sizeof(double))));
    using Bits = std::int64_t __attribute__((vector_size(2 * sizeof(double))));
    constexpr Bits kNoSign = {std::numeric_limits<std::int64_t>::max(),
                              std::numeric_limits<std::int64_t>::max()};
    Pair low = {}, high = {};
    for (; i + 4 <= n; i += 4) {
      Bits first, second;
      std::memcpy(&first, p + static_cast<std::ptrdiff_t>(i) * kUnit, sizeof first);
      std::memcpy(&second, p + static_cast<std::ptrdiff_t>(i + 2) * kUnit, sizeof second);
      const Pair a = reinterpret_cast<Pair>(first & kNoSign);
      const Pair b = reinterpret_cast<Pair>(second & kNoSign);
      low = a > low ? a : low;
      high = b > high ? b : high;
    }
    m = std::max({low[0], low[1], high[0], high[1]});
  }
  for (; i < n; ++i) m = larger(magnitude(read_cell(p + static_cast<std::ptrdiff_t>(i) * step)), m);
  return m;
}

// The first of rows [begin, begin + n) of x with an infinite cell in any
// column, or begin + n. The cells are read once in memory order for their
// largest magnitude (NaN left out); only rows of a chunk that holds an
// infinity are looked at again, one by one.
std::size_t first_infinite_row(const MatrixView& x, std::size_t begin, std::size_t n) {
  const std::ptrdiff_t rs = x.row_stride;
  const std::ptrdiff_t cs = x.col_stride;
  const auto n_cols = static_cast<std::ptrdiff_t>(x.n_cols);
  const char* first = x.data + static_cast<std::ptrdiff_t>(begin) * rs;
  double m = 0.0;
  if (cs == sizeof(double) && rs == n_cols * cs) {
    m = largest_magnitude(first, cs, n * x.n_cols);  // the rows are one run
  } else if (std::abs(cs) <= std::abs(rs)) {
    for (std::size_t s = 0; s < n; ++s) {
      m = std::max(m, largest_magnitude(first + static_cast<std::ptrdiff_t>(s) * rs, cs, x.n_cols));
    }
  } else {
    for (std::ptrdiff_t c = 0; c < n_cols; ++c) m = std::max(m, largest_magnitude(first + c * cs, rs, n));
  }
  if (!std::isinf(m)) return begin + n;
  for (std::size_t r = begin; r < begin + n; ++r) {
    for (std::size_t c = 0; c < x.n_cols; ++c) {
      if (std::isinf(x.at(r, c))) return r;
    }
  }
  return begin + n;
}

}  // namespace

bool holds_infinity(const MatrixView& x) { return first_infinite_row(x, 0, x.n_rows) != x.n_rows; }

namespace {

// Where a range of rows stopped early: the first row (in row order) that
// reached a split past its row's end, or that holds an infinite value when
// those are refused.
struct Failure {
  std::size_t row = std::numeric_limits<std::size_t>::max();
  bool infinite = false;
  std::size_t split = 0;  // the split past the row's end
};

// Routes rows [begin, end) block by block and calls on_block(block_begin,
// leaves) with the leaf of each row of the block. Stops at the first block
// with a failing row and returns that row. Infinite values, when refused, are
// looked for a chunk of rows at a time (see kColumnRunRows), in memory order.
template <class OnBlock>
Failure route_range(const RoutingTable& table, const CallSplits& call, const MatrixView& x,
                    bool refuse_infinity, std::size_t begin, std::size_t end,
                    const OnBlock& on_block) {
  std::int32_t codes[kBlockRows];
  std::uint32_t leaves[kBlockRows];
  const std::size_t n_leaves = table.n_leaves();
  const std::size_t chunk_rows =
      std::abs(x.col_stride) <= std::abs(x.row_stride) ? kBlockRows : kColumnRunRows;
  for (std::size_t chunk = begin; chunk < end; chunk += chunk_rows) {
    const std::size_t chunk_end = std::min(end, chunk + chunk_rows);
    const std::size_t infinite_row =
        refuse_infinity ? first_infinite_row(x, chunk, chunk_end - chunk) : chunk_end;
    for (std::size_t first = chunk; first < chunk_end; first += kBlockRows) {
      const std::size_t n = std::min(kBlockRows, chunk_end - first);
      Failure failure;
      if (infinite_row < first + n) failure = {infinite_row, true, 0};
      if (call.splits.empty()) {
        std::fill_n(leaves, n, 0u);  // the root is the only leaf: no row is read
      } else {
        route_block(call.splits.data(), table.set_words().data(), call.full_levels, x, first, n, codes);
        for (std::size_t s = 0; s < n; ++s) leaves[s] = ~static_cast<std::uint32_t>(codes[s]);
        if (call.may_fail) {
          for (std::size_t s = 0; s < n && first + s < failure.row; ++s) {
            if (leaves[s] >= n_leaves) failure = {first + s, false, leaves[s] - n_leaves};
          }
        }
      }
      if (failure.row < end) return failure;
      on_block(first, std::span<const std::uint32_t>(leaves, n));
    }
  }
  return {};
}

void check_routable(const RoutingTable& table, std::size_t n_rows) {
  if (table.empty() && n_rows > 0) throw InternalError("model has not been fitted");
}

// Throws the internal error of a row that reached a split past its end;
// returns false for a refused infinite value, true when nothing failed.
bool settle(const RoutingTable& table, const MatrixView& x, const Failure& failure) {
  if (failure.row == Failure{}.row) return true;
  if (failure.infinite) return false;
  check_index(table.splits()[failure.split].feature, x.n_cols, "row");
  throw InternalError("a row stopped at a split that reads no column past its end");
}

// Routes every row of x, on up to options.n_threads threads for large batches
// (each thread a contiguous range of whole blocks), calling on_block as
// route_range does; on_block must be safe to call from several threads for
// different rows. Returns false if it stopped at a refused infinite value.
template <class OnBlock>
bool route_batch(const RoutingTable& table, const MatrixView& x, const BatchOptions& options,
                 const OnBlock& on_block) {
  check_routable(table, x.n_rows);
  if (x.n_rows == 0) return true;
  const CallSplits call = call_splits(table, x);
  const std::size_t n = x.n_rows;
  const std::size_t threads = std::min<std::uint64_t>(options.n_threads, n / kRowsPerThread);
  std::vector<Failure> failures(std::max<std::size_t>(threads, 1));
  for_row_ranges(n, kBlockRows, threads, [&](std::size_t t, std::size_t begin, std::size_t end) {
    failures[t] = route_range(table, call, x, options.refuse_infinity, begin, end, on_block);
  });
  // The ranges are in row order: the first failing range holds the first failing row.
  for (const Failure& failure : failures) {
    if (failure.row < n) return settle(table, x, failure);
  }
  return true;
}

void check_output(std::size_t out_size, std::size_t expected) {
  if (out_size != expected) {
    throw InternalError("prediction output has " + std::to_string(out_size) + " entries but " +
                        std::to_string(expected) + " are needed");
  }
}

}  // namespace

RoutingTable::RoutingTable(const Tree& tree, std::span<const std::uint64_t> categorical) {
  const std::size_t n = tree.nodes.size();
  if (n == 0) return;
  // Children are 32-bit codes.
  if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw InternalError("a tree of " + std::to_string(n) + " nodes is too large to route");
  }
  // Each node's code as a child: its split number, or ~its leaf number.
  std::vector<std::int32_t> code(n);
  std::int32_t n_splits = 0;
  std::int32_t n_leaves = 0;
  for (std::size_t i = 0; i < n; ++i) code[i] = tree.nodes[i].is_leaf() ? ~n_leaves++ : n_splits++;
  const std::vector<std::uint64_t> depth = node_depths(tree);  // checks the children
  full_levels_ = n;

  // Every array is sized once: a forest keeps many tables.
  splits_.reserve(static_cast<std::size_t>(n_splits));
  leaf_nodes_.reserve(static_cast<std::size_t>(n_leaves));
  leaf_values_.reserve(static_cast<std::size_t>(n_leaves));
  leaf_classes_.reserve(static_cast<std::size_t>(n_leaves));
  bool uniform = true;
  bool first = true;
  std::size_t n_probas = 0;
  for (const DecisionNode& node : tree.nodes) {
    if (!node.is_leaf()) continue;
    if (first) proba_width_ = node.proba_size;
    first = false;
    uniform = uniform && node.proba_size == proba_width_;
    n_probas += node.proba_size;
  }
  probas_.reserve(n_probas);
  if (!uniform) {
    proba_width_ = 0;
    proba_offsets_.reserve(static_cast<std::size_t>(n_leaves) + 1);
    proba_offsets_.push_back(0);
  }
  for (std::size_t i = 0; i < n; ++i) {
    const DecisionNode& node = tree.nodes[i];
    if (node.is_leaf()) {
      full_levels_ = std::min(full_levels_, static_cast<std::size_t>(depth[i]));
      leaf_nodes_.push_back(static_cast<std::uint32_t>(i));
      leaf_values_.push_back(node.value);
      leaf_classes_.push_back(static_cast<std::int64_t>(node.predicted_class));
      const std::span<const double> proba = tree.proba(node);
      probas_.insert(probas_.end(), proba.begin(), proba.end());
      if (!uniform) proba_offsets_.push_back(probas_.size());
      continue;
    }
    const std::uint64_t feature = node.split.feature;
    const IntervalTest test = interval_test(node.split, is_categorical(categorical, feature));
    const std::int32_t inside = code[test.inside_goes_left ? node.left : node.right];
    const std::int32_t outside = code[test.inside_goes_left ? node.right : node.left];
    const bool categorical_column = is_categorical(categorical, feature);
    // A missing value lies outside every test, so it reaches the left child
    // through `missing_inside` only when the inside goes left; the one split
    // whose inside goes right (a category split on the missing code) already
    // sends it left, and sends every other category right.
    const bool missing_inside = node.split.missing_left && test.inside_goes_left &&
                                node.split.is_categorical == categorical_column;
    splits_.push_back({test.lower, test.upper, feature, {outside, inside}, missing_inside, categorical_column});
    if (!node.split.category_set.empty() && categorical_column) {
      const std::vector<std::uint64_t>& words = node.split.category_set;
      if (set_words_.size() + words.size() >= RoutingSplit::kNoSet) {
        throw InternalError("a tree's category sets are too large to route");
      }
      splits_.back().set_word = static_cast<std::uint32_t>(set_words_.size());
      splits_.back().lower = 0.0;
      splits_.back().upper = 64.0 * static_cast<double>(words.size()) - 0.5;
      set_words_.insert(set_words_.end(), words.begin(), words.end());
    }
    const std::uint64_t needed = feature == std::numeric_limits<std::uint64_t>::max() ? feature : feature + 1;
    columns_needed_ = std::max(columns_needed_, needed);
  }
}

std::span<const std::uint64_t> RoutingTable::category_set(std::size_t s) const {
  const RoutingSplit& split = splits_.at(s);
  if (split.set_word == RoutingSplit::kNoSet) return {};
  const auto n_words = static_cast<std::size_t>((split.upper + 0.5) / 64.0);
  if (split.set_word > set_words_.size() || n_words > set_words_.size() - split.set_word) {
    throw InternalError("a routing split's category set lies past the table's words");
  }
  return std::span<const std::uint64_t>(set_words_).subspan(split.set_word, n_words);
}

void route_rows(const RoutingTable& table, const MatrixView& x, std::size_t row_begin,
                std::size_t row_end, std::span<std::uint32_t> leaves) {
  check_output(leaves.size(), row_end - row_begin);
  check_routable(table, row_end - row_begin);
  if (row_end == row_begin) return;
  const CallSplits call = call_splits(table, x);
  settle(table, x, route_range(table, call, x, false, row_begin, row_end,
                               [&](std::size_t first, std::span<const std::uint32_t> block) {
    std::copy(block.begin(), block.end(), leaves.begin() + static_cast<std::ptrdiff_t>(first - row_begin));
  }));
}

bool predict_values(const RoutingTable& table, const MatrixView& x, std::span<double> out,
                    const BatchOptions& options) {
  check_output(out.size(), x.n_rows);
  return route_batch(table, x, options, [&](std::size_t first, std::span<const std::uint32_t> leaves) {
    for (std::size_t s = 0; s < leaves.size(); ++s) out[first + s] = table.leaf_value(leaves[s]);
  });
}

bool predict_classes(const RoutingTable& table, const MatrixView& x, std::span<std::int64_t> out,
                     const BatchOptions& options) {
  check_output(out.size(), x.n_rows);
  return route_batch(table, x, options, [&](std::size_t first, std::span<const std::uint32_t> leaves) {
    for (std::size_t s = 0; s < leaves.size(); ++s) out[first + s] = table.leaf_class(leaves[s]);
  });
}

bool predict_probabilities(const RoutingTable& table, const MatrixView& x, std::size_t k,
                           std::span<double> out, const BatchOptions& options) {
  if (k != 0 && x.n_rows > SIZE_MAX / k) throw std::length_error("probability matrix too large");
  check_output(out.size(), x.n_rows * k);
  return route_batch(table, x, options, [&](std::size_t first, std::span<const std::uint32_t> leaves) {
    for (std::size_t s = 0; s < leaves.size(); ++s) {
      const std::span<const double> proba = table.leaf_proba(leaves[s]);
      double* row = out.data() + (first + s) * k;
      // A loop, not a copy: rows are short, and a call per row would cost more.
      for (std::size_t j = 0; j < k; ++j) row[j] = j < proba.size() ? proba[j] : 0.0;
    }
  });
}

bool apply_rows(const RoutingTable& table, const MatrixView& x, std::span<std::int64_t> out,
                const BatchOptions& options) {
  check_output(out.size(), x.n_rows);
  return route_batch(table, x, options, [&](std::size_t first, std::span<const std::uint32_t> leaves) {
    for (std::size_t s = 0; s < leaves.size(); ++s) {
      out[first + s] = static_cast<std::int64_t>(table.leaf_node(leaves[s]));
    }
  });
}

DecisionPaths decision_paths(const Tree& tree, const RoutingTable& table, const MatrixView& x,
                             std::uint64_t n_threads) {
  std::vector<std::uint32_t> leaves(x.n_rows);
  route_batch(table, x, {n_threads, false}, [&](std::size_t first, std::span<const std::uint32_t> block) {
    std::copy(block.begin(), block.end(), leaves.begin() + static_cast<std::ptrdiff_t>(first));
  });
  // A leaf's path is its chain of parents, depth + 1 nodes long.
  const std::vector<std::uint64_t> depth = node_depths(tree);
  std::vector<std::size_t> parent(tree.nodes.size(), 0);
  for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
    const DecisionNode& node = tree.nodes[i];
    if (!node.is_leaf()) parent[node.left] = parent[node.right] = i;
  }
  DecisionPaths paths;
  paths.indptr.resize(x.n_rows + 1);
  paths.indptr[0] = 0;
  for (std::size_t r = 0; r < x.n_rows; ++r) {
    const auto length = static_cast<std::int64_t>(depth[table.leaf_node(leaves[r])] + 1);
    paths.indptr[r + 1] = paths.indptr[r] + length;
  }
  paths.indices.resize(static_cast<std::size_t>(paths.indptr.back()));
  for (std::size_t r = 0; r < x.n_rows; ++r) {
    std::size_t node = table.leaf_node(leaves[r]);
    // Written from the leaf back to the root.
    for (auto k = paths.indptr[r + 1]; k-- > paths.indptr[r]; node = parent[node]) {
      paths.indices[static_cast<std::size_t>(k)] = static_cast<std::int64_t>(node);
    }
  }
  return paths;
}

}  // namespace quor
