#include "forest.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "errors.hpp"
#include "fast_grower.hpp"
#include "out_of_bag_importance.hpp"
#include "strict_grower.hpp"
#include "parallel.hpp"
#include "sampling.hpp"
#include "weights.hpp"

namespace quor {

namespace {

// Rows are routed this many at a time through every tree in turn, so that a
// block's rows and sums stay in cache while the trees pass over them.
constexpr std::size_t kRowBlock = 2048;
// Below this many row-tree routings a batch is not worth threads.
constexpr std::uint64_t kParallelRoutings = std::uint64_t{1} << 16;

/// A value whose bin in `bins` is `code`, so that a row made of such values
/// routes through a tree grown on the codes exactly as the original row: for
/// bin b >= 1 the edge b − 1 itself (every value of the bin is at least that
/// edge and below edge b, and the edge lies in the bin), for bin 0 the largest
/// float below the first edge; a category as its code, whose category code is
/// itself; NaN for a missing value.
double value_of_code(const FeatureBins& bins, std::uint16_t code) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  if (!bins.is_continuous) return code < bins.categories.size() ? bins.categories[code] : kNaN;
  if (code == kMissingFastCode || code > bins.edges.size()) return kNaN;
  if (bins.edges.empty()) return 0.0;
  if (code == 0) return std::nextafter(bins.edges.front(), -std::numeric_limits<double>::infinity());
  return bins.edges[code - 1];
}

/// Training rows [begin, end) of the forest's data as a row-major matrix of
/// floats that route as the training rows do.
std::vector<double> training_rows(const ForestData& data, std::size_t begin, std::size_t end) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const std::size_t d = data.n_features;
  std::vector<double> cells((end - begin) * d);
  for (std::size_t r = begin; r < end; ++r) {
    double* row = cells.data() + (r - begin) * d;
    for (std::size_t f = 0; f < d; ++f) {
      if (data.encoded) {
        row[f] = value_of_code(data.encoded->bins[f], data.encoded->code(r, f));
      } else if (data.columns[f].is_categorical) {
        const std::uint32_t code = data.columns[f].codes[r];
        row[f] = code == kMissingCode ? kNaN : static_cast<double>(code);
      } else {
        row[f] = data.columns[f].values[r];
      }
    }
  }
  return cells;
}

MatrixView row_major(std::span<const double> cells, std::size_t n_rows, std::size_t n_cols) {
  const auto cell = static_cast<std::ptrdiff_t>(sizeof(double));
  return MatrixView{reinterpret_cast<const char*>(cells.data()), n_rows, n_cols,
                    static_cast<std::ptrdiff_t>(n_cols) * cell, cell};
}

/// Adds the payload of `leaf` to one row's sums: its value, or its first k
/// probabilities.
void add_leaf(const RoutingTable& table, std::uint32_t leaf, std::size_t k, double* sums) {
  if (k == 0) {
    sums[0] += table.leaf_value(leaf);
    return;
  }
  const std::span<const double> proba = table.leaf_proba(leaf);
  const std::size_t n = std::min(k, proba.size());
  for (std::size_t c = 0; c < n; ++c) sums[c] += proba[c];
}

/// Runs block(begin, end) over blocks of rows of [0, n_rows), each thread a
/// contiguous range of blocks, on `n_threads` threads when `routings` is large
/// enough to pay for them.
template <class Block>
void for_each_row_block(std::size_t n_rows, std::uint64_t routings, std::uint64_t n_threads, const Block& block) {
  const std::uint64_t threads = routings >= kParallelRoutings ? n_threads : 1;
  for_row_ranges(n_rows, kRowBlock, threads, [&](std::size_t, std::size_t begin, std::size_t end) {
    for (std::size_t first = begin; first < end; first += kRowBlock) block(first, std::min(end, first + kRowBlock));
  });
}

/// Per row of `x`, the sum over the trees of its leaf's payload into `sums`
/// (width max(k, 1) per row, rows [begin, end)); trees whose bit `skip` has
/// for the row (when given) leave it out, and `counts` counts those that did
/// not. `leaves` is scratch for end − begin rows.
void sum_leaves(std::span<const PackedTree> trees, const MatrixView& x, std::size_t begin, std::size_t end,
                std::size_t k, double* sums, std::vector<std::uint32_t>& leaves, Interrupt* interrupt,
                const std::vector<std::vector<std::uint64_t>>* skip = nullptr, std::uint64_t* counts = nullptr) {
  const std::size_t width = std::max<std::size_t>(k, 1);
  leaves.resize(end - begin);
  for (std::size_t t = 0; t < trees.size(); ++t) {
    check_interrupt(interrupt);
    const RoutingTable& table = trees[t].table;
    route_rows(table, x, 0, end - begin, leaves);
    for (std::size_t i = 0; i < end - begin; ++i) {
      if (skip != nullptr) {
        const std::size_t r = begin + i;
        if (((*skip)[t][r / 64] >> (r % 64)) & 1) continue;
        ++counts[i];
      }
      add_leaf(table, leaves[i], k, sums + i * width);
    }
  }
}

/// A view of rows [begin, end) of x.
MatrixView row_slice(const MatrixView& x, std::size_t begin, std::size_t end) {
  MatrixView slice = x;
  slice.data = x.data + static_cast<std::ptrdiff_t>(begin) * x.row_stride;
  slice.n_rows = end - begin;
  return slice;
}

/// Per row, the mean prediction of the trees whose bitmap (`in_bag`) does
/// not have it.
std::vector<double> out_of_bag(const ForestData& data, std::span<const PackedTree> trees,
                               const std::vector<std::vector<std::uint64_t>>& in_bag, std::size_t k,
                               std::uint64_t n_threads, Interrupt* interrupt) {
  const std::size_t width = std::max<std::size_t>(k, 1);
  std::vector<double> out(data.n_rows * width, -0.0);
  for_each_row_block(data.n_rows, data.n_rows * trees.size(), n_threads, [&](std::size_t begin, std::size_t end) {
    const std::vector<double> cells = training_rows(data, begin, end);
    std::vector<std::uint64_t> counts(end - begin, 0);
    std::vector<std::uint32_t> leaves;
    sum_leaves(trees, row_major(cells, end - begin, data.n_features), begin, end, k, out.data() + begin * width,
               leaves, interrupt, &in_bag, counts.data());
    for (std::size_t r = begin; r < end; ++r) {
      const std::uint64_t count = counts[r - begin];
      for (std::size_t c = 0; c < width; ++c) {
        double& v = out[r * width + c];
        v = count == 0 ? std::numeric_limits<double>::quiet_NaN() : v / static_cast<double>(count);
      }
    }
  });
  return out;
}

}  // namespace

namespace {

/// The rows `kept` of x and of the targets, copied: what the data of a fit
/// whose other rows have weight 0 are made from.
struct KeptRows {
  std::vector<double> cells;  // row-major
  MatrixView x;
};

KeptRows keep_rows(const MatrixView& x, std::span<const std::uint64_t> kept, Targets& targets) {
  KeptRows out;
  out.cells.resize(kept.size() * x.n_cols);
  for (std::size_t i = 0; i < kept.size(); ++i) {
    for (std::size_t f = 0; f < x.n_cols; ++f) out.cells[i * x.n_cols + f] = x.at(kept[i], f);
  }
  out.x = row_major(out.cells, kept.size(), x.n_cols);
  const auto keep = [&](auto& list) {
    if (list.empty()) return;
    for (std::size_t i = 0; i < kept.size(); ++i) list[i] = list[kept[i]];
    list.resize(kept.size());
  };
  keep(targets.values);
  keep(targets.labels);
  return out;
}

}  // namespace

ForestData prepare_forest_data(const Settings& settings, const MatrixView& x_given, Targets targets,
                               std::uint64_t n_threads, std::span<const double> weights) {
  if (x_given.n_cols == 0) throw ValueError("need at least one feature column");
  check_sample_counts(settings, x_given.n_rows, targets);
  ForestData data;
  data.n_input_rows = x_given.n_rows;
  MatrixView x = x_given;
  KeptRows kept;
  if (!weights.empty()) {
    check_weights(weights, x.n_rows);
    std::vector<std::uint64_t> rows = weighted_rows(weights);
    if (rows.size() != x.n_rows) {
      kept = keep_rows(x, rows, targets);
      x = kept.x;
      for (const std::uint64_t r : rows) data.weights.push_back(weights[r]);
      data.input_rows = std::move(rows);
    } else {
      data.weights.assign(weights.begin(), weights.end());
    }
    if (all_unit(data.weights)) data.weights.clear();
    data.weight_exponent = normalize_weights(data.weights);
  }
  if (settings.config.mode == SplitMode::Fast) check_fast_entry(settings.task, x.n_rows);
  // A tree's drawn rows are 32-bit ids in both modes.
  check_sample_limit(x.n_rows);
  // Leaves hold means of these, and predictions means of leaves: what a
  // forest keeps must be what its loader takes back (forest_dump.hpp).
  if (settings.is_classifier()) {
    const std::uint64_t n_classes = settings.n_classes();
    for (const std::uint64_t label : targets.labels) {
      if (label >= n_classes) {
        throw ValueError("y holds class " + std::to_string(label) + ", not below n_classes " +
                         std::to_string(n_classes));
      }
    }
  } else {
    for (const double value : targets.values) {
      if (!(std::fabs(value) <= kLargestTarget)) {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", value);
        throw ValueError(std::string("y holds ") + text +
                         "; quor takes finite targets of magnitude at most 2**960 (about 9.7e288)");
      }
    }
  }
  data.n_rows = x.n_rows;
  data.n_features = x.n_cols;
  if (settings.config.mode == SplitMode::Fast) {
    data.encoded = encode_matrix(x, settings.categorical, settings.config.n_bins, true, n_threads);
    if (settings.config.threshold_placement == ThresholdPlacement::Midpoint) note_largest_values(x, *data.encoded);
  } else {
    data.columns = columns_from_matrix(x, settings.categorical, n_threads);
  }
  data.targets = std::move(targets);
  return data;
}

Forest grow_forest(const Settings& settings, const ForestData& data, std::span<const std::uint64_t> seeds,
                   const ForestOptions& options, std::uint64_t n_threads, Interrupt* interrupt,
                   std::atomic<std::uint64_t>* trees_done) {
  const bool fast = data.encoded.has_value();
  if (seeds.empty()) throw ValueError("a forest needs at least one tree");
  if (options.balanced_subsample && !settings.is_classifier()) {
    throw ValueError("balanced_subsample balances classes: it applies to classification forests only");
  }
  if (options.max_thresholds != 0 && !fast) throw ValueError(kThresholdsNeedFastMode);
  const std::size_t n_trees = seeds.size();
  const std::uint64_t workers = std::clamp<std::uint64_t>(n_threads, 1, n_trees);
  // One thread per tree, but that threads left over (more threads than
  // trees: a single tree) grow each tree on several; a tree is the same on
  // any number of threads.
  Settings tree_settings = settings;
  tree_settings.config.n_threads = std::max<std::uint64_t>(1, n_threads / workers);
  tree_settings.config.parallel = tree_settings.config.n_threads > 1;
  Forest forest;
  forest.trees.resize(n_trees);
  forest.roots.resize(n_trees);
  const std::size_t d = data.n_features;
  if (options.oob_importances) forest.oob_contributions.assign(n_trees * d, 0.0);
  // Out-of-bag importances square the values: scaled by a power of two
  // (exactly) so that the largest is below 1 and no square overflows.
  double value_scale = 1.0;
  const std::uint64_t oob_classes = settings.is_classifier() ? std::max<std::uint64_t>(settings.n_classes(), 1) : 0;
  if (options.oob_importances && !settings.is_classifier()) {
    double largest = 0.0;
    for (const double v : data.targets.values) largest = std::max(largest, std::abs(v));
    int exponent = 0;
    std::frexp(largest, &exponent);
    value_scale = std::ldexp(1.0, -exponent);
  }
  const RowGoesLeft goes_left = [&data](const Split& split, std::uint32_t row) {
    const std::uint64_t f = split.feature;
    if (!data.encoded) return split.goes_left(data.columns[f], row);
    const double value = value_of_code(data.encoded->bins[f], data.encoded->code(row, f));
    if (!split.is_categorical) return split.goes_left(value);
    return split.goes_left_category(std::isnan(value) ? kMissingCode : static_cast<std::uint32_t>(value));
  };
  const bool bagged = options.oob || options.keep_in_bag;
  std::vector<std::vector<std::uint64_t>> in_bag(bagged ? n_trees : 0);
  std::atomic<std::size_t> next{0};
  // Each worker takes the next tree until none is left; a tree is a function
  // of its seed alone, so which worker grows it does not matter.
  detail::run_workers(workers, [&](std::size_t) {
    for (std::size_t t = next++; t < n_trees; t = next++) {
      check_interrupt(interrupt);
      const std::vector<std::uint32_t> rows = draw_rows(seeds[t], data.n_rows, options.max_samples);
      GrowInput input = grow_input(tree_settings, data.targets);
      GrowOptions& grow = input.options;
      // All rows in order is the single tree's root, which needs no copy.
      if (rows.size() != data.n_rows) grow.root_samples = rows;
      std::vector<double> tree_weights;
      if (options.balanced_subsample) {
        tree_weights = balanced_subsample_weights(data.weights, data.targets.labels, settings.n_classes(), rows);
        grow.weights = tree_weights;
      } else {
        grow.weights = data.weights;
      }
      grow.max_features = options.max_features;
      grow.max_thresholds = options.max_thresholds;
      grow.tree_seed = seeds[t];
      grow.interrupt = interrupt;
      grow.root_report = &forest.roots[t];
      // The package's estimators read their importances from these credits.
      grow.held_out = true;
      // A forest keeps many trees: each is packed, and its nodes dropped,
      // as soon as it is grown.
      const Tree tree = fast ? grow_fast(input, *data.encoded) : grow_strict(input, data.columns);
      if (options.oob_importances && rows.size() < data.n_rows) {
        std::vector<std::uint32_t> unseen;
        unseen.reserve(data.n_rows - rows.size());
        std::size_t next = 0;  // rows are ascending
        for (std::uint32_t r = 0; r < data.n_rows; ++r) {
          if (next < rows.size() && rows[next] == r) {
            ++next;
          } else {
            unseen.push_back(r);
          }
        }
        add_out_of_bag_contributions(tree, unseen, data.targets, data.weights, oob_classes, value_scale, goes_left,
                                     std::span(forest.oob_contributions).subspan(t * d, d));
      }
      forest.trees[t] = pack_tree(tree, settings.categorical);
      for (double& w : forest.trees[t].leaf_weights) w = std::ldexp(w, data.weight_exponent);
      if (bagged) {
        std::vector<std::uint64_t>& bits = in_bag[t];
        bits.assign((data.n_rows + 63) / 64, 0);
        for (const std::uint32_t r : rows) bits[r / 64] |= std::uint64_t{1} << (r % 64);
      }
      if (trees_done != nullptr) trees_done->fetch_add(1, std::memory_order_relaxed);
    }
  });
  if (options.oob) {
    const std::size_t k = settings.is_classifier() ? std::max<std::uint64_t>(settings.n_classes(), 1) : 0;
    forest.oob_prediction = out_of_bag(data, forest.trees, in_bag, k, n_threads, interrupt);
    if (!data.input_rows.empty()) {
      // Rows of weight 0 are not in the data: no tree predicts them.
      const std::size_t width = std::max<std::size_t>(k, 1);
      std::vector<double> all(data.n_input_rows * width, std::numeric_limits<double>::quiet_NaN());
      for (std::size_t i = 0; i < data.input_rows.size(); ++i) {
        std::copy_n(forest.oob_prediction.begin() + i * width, width, all.begin() + data.input_rows[i] * width);
      }
      forest.oob_prediction = std::move(all);
    }
  }
  if (bagged) {
    const std::size_t words = (data.n_input_rows + 63) / 64;
    forest.in_bag.assign(n_trees * words, 0);
    for (std::size_t t = 0; t < n_trees; ++t) {
      std::uint64_t* bits = forest.in_bag.data() + t * words;
      for (std::size_t w = 0; w < in_bag[t].size(); ++w) {
        for (std::uint64_t word = in_bag[t][w]; word != 0; word &= word - 1) {
          const std::uint64_t r = w * 64 + static_cast<std::uint64_t>(std::countr_zero(word));
          const std::uint64_t row = data.input_rows.empty() ? r : data.input_rows[r];
          bits[row / 64] |= std::uint64_t{1} << (row % 64);
        }
      }
    }
  }
  return forest;
}

void predict_forest(std::span<const PackedTree> trees, const MatrixView& x, std::size_t k, std::span<double> out,
                    std::uint64_t n_threads, Interrupt* interrupt) {
  const std::size_t width = std::max<std::size_t>(k, 1);
  if (out.size() != x.n_rows * width) throw InternalError("forest prediction output has the wrong size");
  if (trees.empty() && x.n_rows > 0) throw InternalError("forest has no trees");
  std::fill(out.begin(), out.end(), -0.0);
  for_each_row_block(x.n_rows, x.n_rows * trees.size(), n_threads, [&](std::size_t begin, std::size_t end) {
    std::vector<std::uint32_t> leaves;
    sum_leaves(trees, row_slice(x, begin, end), begin, end, k, out.data() + begin * width, leaves, interrupt);
    const double n_trees = static_cast<double>(trees.size());
    for (std::size_t i = begin * width; i < end * width; ++i) out[i] /= n_trees;
  });
}

void vote_forest(std::span<const PackedTree> trees, const MatrixView& x, std::size_t k, std::span<std::int64_t> out,
                 std::uint64_t n_threads, Interrupt* interrupt) {
  if (out.size() != x.n_rows || k == 0) throw InternalError("forest vote output has the wrong size");
  if (trees.empty() && x.n_rows > 0) throw InternalError("forest has no trees");
  for_each_row_block(x.n_rows, x.n_rows * trees.size(), n_threads, [&](std::size_t begin, std::size_t end) {
    std::vector<std::uint32_t> leaves(end - begin);
    std::vector<std::uint64_t> votes((end - begin) * k, 0);
    const MatrixView rows = row_slice(x, begin, end);
    for (const PackedTree& tree : trees) {
      check_interrupt(interrupt);
      route_rows(tree.table, rows, 0, end - begin, leaves);
      for (std::size_t i = 0; i < end - begin; ++i) {
        const auto c = static_cast<std::size_t>(tree.table.leaf_class(leaves[i]));
        if (c < k) ++votes[i * k + c];
      }
    }
    for (std::size_t i = 0; i < end - begin; ++i) {
      out[begin + i] = static_cast<std::int64_t>(majority_class(std::span<const std::uint64_t>(votes.data() + i * k, k)));
    }
  });
}

void apply_forest(std::span<const PackedTree> trees, const MatrixView& x, std::span<std::int64_t> out,
                  std::uint64_t n_threads, Interrupt* interrupt) {
  const std::size_t n_trees = trees.size();
  if (out.size() != x.n_rows * n_trees) throw InternalError("forest apply output has the wrong size");
  for_each_row_block(x.n_rows, x.n_rows * n_trees, n_threads, [&](std::size_t begin, std::size_t end) {
    std::vector<std::uint32_t> leaves(end - begin);
    const MatrixView rows = row_slice(x, begin, end);
    for (std::size_t t = 0; t < n_trees; ++t) {
      check_interrupt(interrupt);
      const RoutingTable& table = trees[t].table;
      route_rows(table, rows, 0, end - begin, leaves);
      for (std::size_t r = begin; r < end; ++r) {
        out[r * n_trees + t] = static_cast<std::int64_t>(table.leaf_node(leaves[r - begin]));
      }
    }
  });
}

void classes_from_probabilities(std::span<const double> proba, std::size_t k, std::span<std::int64_t> out) {
  for (std::size_t r = 0; r < out.size(); ++r) {
    std::size_t best = 0;
    for (std::size_t c = 1; c < k; ++c) {
      if (proba[r * k + c] > proba[r * k + best]) best = c;
    }
    out[r] = static_cast<std::int64_t>(best);
  }
}

}  // namespace quor
