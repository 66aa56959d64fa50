#include "histogram.hpp"

#include <algorithm>
#include <type_traits>

#include "parallel.hpp"
#include "split.hpp"

namespace quor {

FeatureSpec feature_spec(const EncodedFeatures& encoded, std::uint64_t feature, SplitStyle style,
                         bool learn_missing) {
  const FeatureBins& bins = encoded.bins[feature];
  FeatureSpec spec{feature, bins.n_codes, side_test(style, !bins.is_continuous) == SideTest::Threshold,
                   bins.has_missing};
  spec.learn_missing = learn_missing && bins.has_missing;
  spec.continuous = bins.is_continuous;
  return spec;
}

CodeRows code_rows(const EncodedFeatures& encoded) {
  return CodeRows{encoded.narrow ? encoded.narrow_codes.data() : nullptr,
                  encoded.narrow ? nullptr : encoded.codes.data(), encoded.n_features};
}

BlockLayout::BlockLayout(bool regression, std::span<const FeatureSpec> specs, std::size_t K, std::size_t C)
    : offsets(specs.size() + 1, 0), missing_slot(specs.size(), 0) {
  for (std::size_t k = 0; k < specs.size(); ++k) {
    offsets[k + 1] = offsets[k] + cells_of(regression, specs[k], K, C);
    if (specs[k].has_missing) missing_slot[k] = n_missing++;
  }
}

namespace {

// Rows are read in the node's shuffled fold order, so each is a cache miss;
// asking for the row this many samples ahead hides most of that latency.
constexpr std::size_t kPrefetchAhead = 32;

template <class Code>
inline void prefetch_row(const Code* codes, std::size_t stride, std::span<const std::uint32_t> rows, std::size_t i) {
  if (i + kPrefetchAhead < rows.size()) {
    const Code* row = codes + static_cast<std::size_t>(rows[i + kPrefetchAhead]) * stride;
    __builtin_prefetch(row);
    __builtin_prefetch(row + stride - 1);
  }
}

// Below this many samples a node's counts are not worth splitting over threads.
constexpr std::size_t kParallelCountMin = 8192;

/// Splits a list that holds each fold's samples together (fold numbers never
/// decrease) into at most `parts` runs of whole folds with about as many
/// samples each; returns the run boundaries, first 0 and last n.
std::vector<std::size_t> fold_groups(const NodeTargets& node, std::uint64_t parts) {
  const std::size_t n = node.samples.size();
  std::vector<std::size_t> bounds = {0};
  std::size_t i = 0;
  for (std::uint64_t g = 1; g < parts && i < n; ++g) {
    // Go to the first fold boundary at or after this part's share.
    std::size_t target = std::max(i + 1, n * g / parts);
    if (target >= n) break;
    const std::uint8_t fold = node.fold_ids[target - 1];
    while (target < n && node.fold_ids[target] == fold) ++target;
    if (target >= n) break;
    bounds.push_back(target);
    i = target;
  }
  bounds.push_back(n);
  return bounds;
}

template <class T>
void zero_prefix(std::vector<T>& v, std::size_t n) {
  if (v.size() < n) v.resize(n);
  std::fill_n(v.begin(), n, T{});
}

}  // namespace

template <bool Weighted, class Code>
void fill_regression_cells(const Code* codes, std::size_t stride, std::span<const std::uint32_t> rows,
                           std::span<const std::size_t> columns, std::span<const FeatureSpec> specs,
                           const NodeTargets& node, const BlockLayout& layout, HistogramCells& out,
                           std::uint64_t n_threads) {
  using Cell = std::conditional_t<Weighted, WeightedRegressionCell, RegressionCell>;
  std::vector<Cell>* cell_list = nullptr;
  if constexpr (Weighted) {
    cell_list = &out.weighted_cells;
  } else {
    cell_list = &out.cells;
  }
  const std::size_t K = node.n_folds;
  const std::size_t n_features = specs.size();
  const std::size_t n = node.samples.size();
  zero_prefix(*cell_list, layout.offsets.back());
  zero_prefix(out.fold_sums, layout.n_missing * K);
  zero_prefix(out.fold_sq_sums, layout.n_missing * K);
  Cell* cells = cell_list->data();
  double* fold_sums = out.fold_sums.data();
  double* fold_sq_sums = out.fold_sq_sums.data();
  // Sums depend on order, so they run over the samples in their list order.
  // The list holds each fold's samples together and cells belong to one
  // fold, so with threads each one takes whole folds: same sums, disjoint cells.
  const auto sum_range = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      prefetch_row(codes, stride, rows, i);
      const Code* row = codes + static_cast<std::size_t>(rows[i]) * stride;
      const std::size_t fold = node.fold_ids[i];
      const double t = node.y[i];
      const double t2 = node.y2[i];
      for (std::size_t k = 0; k < n_features; ++k) {
        std::size_t b = row[columns[k]];
        const std::size_t B = specs[k].n_codes;
        const bool missing = b >= B;  // the missing code 0xFFFF is never below B
        if (missing) {
          if (!specs[k].learn_missing) continue;
          b = B;  // the missing samples' own cell
        }
        Cell& cell = cells[layout.offsets[k] + fold * specs[k].width() + b];
        cell.sum += t;
        cell.sq_sum += t2;
        if constexpr (Weighted) {
          cell.count += node.w[i];
        } else {
          ++cell.count;
        }
        if (specs[k].has_missing && !missing) {
          fold_sums[layout.missing_slot[k] * K + fold] += t;
          fold_sq_sums[layout.missing_slot[k] * K + fold] += t2;
        }
      }
    }
  };
  const std::vector<std::size_t> bounds =
      n_threads >= 2 && n >= kParallelCountMin ? fold_groups(node, n_threads) : std::vector<std::size_t>{0, n};
  if (bounds.size() > 2) {
    parallel_map(bounds.size() - 1, n_threads, [&](std::uint64_t g) {
      sum_range(bounds[g], bounds[g + 1]);
      return 0;
    });
  } else {
    sum_range(0, n);
  }
}

template <bool Weighted, class Code>
void fill_class_counts(const Code* codes, std::size_t stride, std::span<const std::uint32_t> rows,
                       std::span<const std::size_t> columns, std::span<const FeatureSpec> specs,
                       const NodeTargets& node, std::size_t n_classes, const BlockLayout& layout,
                       HistogramCells& out, std::uint64_t n_threads) {
  const std::size_t C = n_classes;
  const std::size_t n_features = specs.size();
  const std::size_t n = node.samples.size();
  if constexpr (Weighted) {
    // Weight sums depend on order: every cell is summed over the samples in
    // list order, and threads take shares of the features (disjoint cells).
    zero_prefix(out.class_weights, layout.offsets.back());
    double* sums = out.class_weights.data();
    const auto sum_features = [&](std::size_t first, std::size_t last) {
      for (std::size_t i = 0; i < n; ++i) {
        prefetch_row(codes, stride, rows, i);
        const std::uint64_t c = node.labels[i];
        if (c >= C) continue;
        const Code* row = codes + static_cast<std::size_t>(rows[i]) * stride;
        const std::size_t fold = node.fold_ids[i];
        const double w = node.w[i];
        for (std::size_t k = first; k < last; ++k) {
          std::size_t b = row[columns[k]];
          const std::size_t B = specs[k].n_codes;
          if (b >= B) {
            if (!specs[k].learn_missing) continue;
            b = B;
          }
          sums[layout.offsets[k] + (fold * specs[k].width() + b) * C + c] += w;
        }
      }
    };
    const std::size_t shares =
        n_threads >= 2 && n >= kParallelCountMin ? std::min<std::size_t>(n_threads, n_features) : 1;
    if (shares > 1) {
      parallel_map(shares, n_threads, [&](std::uint64_t t) {
        sum_features(n_features * t / shares, n_features * (t + 1) / shares);
        return 0;
      });
    } else {
      sum_features(0, n_features);
    }
    return;
  }
  // Counting needs no order, so with threads each one counts a contiguous
  // share of the samples into its own cells (reading only its share of the
  // rows) and the shares are added up: the same integers in any order.
  const auto count_range = [&](std::uint32_t* counts, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      prefetch_row(codes, stride, rows, i);
      const std::uint64_t c = node.labels[i];
      if (c >= C) continue;
      const Code* row = codes + static_cast<std::size_t>(rows[i]) * stride;
      const std::size_t fold = node.fold_ids[i];
      for (std::size_t k = 0; k < n_features; ++k) {
        std::size_t b = row[columns[k]];
        const std::size_t B = specs[k].n_codes;
        if (b >= B) {
          if (!specs[k].learn_missing) continue;
          b = B;
        }
        ++counts[layout.offsets[k] + (fold * specs[k].width() + b) * C + c];
      }
    }
  };
  zero_prefix(out.class_counts, layout.offsets.back());
  std::uint32_t* counts = out.class_counts.data();
  if (n_threads >= 2 && n >= kParallelCountMin) {
    const std::size_t shares = std::min<std::size_t>(n_threads, n / (kParallelCountMin / 2));
    const std::size_t per_share = (n + shares - 1) / shares;
    auto partial = parallel_map(shares, n_threads, [&](std::uint64_t t) {
      std::vector<std::uint32_t> own(layout.offsets.back(), 0);
      count_range(own.data(), std::min(n, t * per_share), std::min(n, (t + 1) * per_share));
      return own;
    });
    for (const auto& own : partial) {
      for (std::size_t cell = 0; cell < own.size(); ++cell) counts[cell] += own[cell];
    }
  } else {
    count_range(counts, 0, n);
  }
}

#define QUOR_FILL_DEFINITIONS(W, Code)                                                                       \
  template void fill_regression_cells<W, Code>(const Code*, std::size_t, std::span<const std::uint32_t>,       \
                                               std::span<const std::size_t>, std::span<const FeatureSpec>,       \
                                               const NodeTargets&, const BlockLayout&, HistogramCells&,          \
                                               std::uint64_t);                                                   \
  template void fill_class_counts<W, Code>(const Code*, std::size_t, std::span<const std::uint32_t>,           \
                                           std::span<const std::size_t>, std::span<const FeatureSpec>,           \
                                           const NodeTargets&, std::size_t, const BlockLayout&, HistogramCells&, \
                                           std::uint64_t);
QUOR_FILL_DEFINITIONS(false, std::uint8_t)
QUOR_FILL_DEFINITIONS(false, std::uint16_t)
QUOR_FILL_DEFINITIONS(true, std::uint8_t)
QUOR_FILL_DEFINITIONS(true, std::uint16_t)
#undef QUOR_FILL_DEFINITIONS

}  // namespace quor
