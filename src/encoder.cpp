#include "encoder.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

#include "config.hpp"
#include "errors.hpp"
#include "parallel.hpp"

namespace quor {

namespace {

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

/// Whether the continuous columns of the matrix get their edges in place:
/// a matrix the in-place search serves, and an edge count under the
/// fast-mode limit (no limit can then stop a continuous column).
bool binned_in_place(const MatrixView& x, std::uint64_t n_bins) {
  return column_edges_in_place(x.n_rows) && n_bins >= 2 && n_bins <= kMaxFastCodes;
}

/// Writes the codes of samples [begin, end) into the row-major matrix.
template <class Code>
void write_codes(const MatrixSource& source, std::span<const FeatureBins> bins,
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

/// Every feature's bins, in feature order, so that the first feature over a
/// limit ends the call before any code is written. A limit is returned as its
/// message rather than thrown, so that workers can report it. The continuous
/// columns of a large matrix get their edges in place when no limit can stop
/// them; the other features go through copied columns.
void find_bins(const MatrixSource& source, std::uint64_t n_bins, std::uint64_t n_threads, std::span<FeatureBins> bins) {
  const std::size_t n_features = source.n_features();
  std::vector<std::size_t> copied(n_features);
  std::iota(copied.begin(), copied.end(), std::size_t{0});
  if (binned_in_place(source.x, n_bins)) {
    std::vector<std::size_t> in_place;
    copied.clear();
    for (std::size_t f = 0; f < n_features; ++f) (source.categorical(f) ? copied : in_place).push_back(f);
    std::vector<ColumnEdges> found = matrix_column_edges(source.x, in_place, n_bins, n_threads);
    for (std::size_t k = 0; k < in_place.size(); ++k) {
      FeatureBins& b = bins[in_place[k]];
      b.edges = std::move(found[k].edges);
      b.n_codes = b.edges.size() + 1;
      b.is_continuous = true;
      b.has_missing = found[k].n_finite != source.n_samples();
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
            categorical_bins(f, columns[k].codes, scratch, bins[f]);
          } else {
            continuous_bins(f, columns[k].values, n_bins, bins[f]);
          }
        } catch (const ValueError& limit) {
          return limit.what();
        }
        return {};
      };
      if (n_threads >= 2) {
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
}

/// Every sample's codes, in one byte each when every feature has at most 255
/// codes (and `allow_narrow`), else two; each thread writes its own rows.
void write_all_codes(const MatrixSource& source, bool allow_narrow, std::uint64_t n_threads, EncodedFeatures& out) {
  std::vector<std::optional<EdgeBinner>> binners(out.n_features);
  for (std::size_t f = 0; f < out.n_features; ++f) {
    if (!source.categorical(f)) binners[f].emplace(out.bins[f].edges, out.sample_count);
  }
  std::uint64_t max_codes = 0;
  for (const FeatureBins& bins : out.bins) max_codes = std::max(max_codes, bins.n_codes);
  out.narrow = allow_narrow && max_codes <= EncodedFeatures::kNarrowMissingCode;
  const auto write_all = [&](auto* codes, auto missing) {
    for_row_ranges(out.sample_count, kCodeBlock, n_threads, [&](std::size_t, std::size_t begin, std::size_t end) {
      write_codes(source, out.bins, binners, codes, missing, begin, end);
    });
  };
  if (out.narrow) {
    out.narrow_codes.resize(out.sample_count * out.n_features);
    write_all(out.narrow_codes.data(), EncodedFeatures::kNarrowMissingCode);
  } else {
    out.codes.resize(out.sample_count * out.n_features);
    write_all(out.codes.data(), kMissingFastCode);
  }
}

}  // namespace

EncodedFeatures encode_matrix(const MatrixView& x, std::span<const std::uint64_t> categorical,
                              std::uint64_t n_bins, bool allow_narrow, std::uint64_t n_threads) {
  const MatrixSource source{x, categorical, n_threads, {}};
  EncodedFeatures out;
  out.n_features = source.n_features();
  out.bins.resize(out.n_features);
  out.sample_count = source.n_samples();
  find_bins(source, n_bins, n_threads, out.bins);
  write_all_codes(source, allow_narrow, n_threads, out);
  return out;
}

void note_largest_values(const MatrixView& x, EncodedFeatures& encoded) {
  std::vector<std::size_t> continuous;
  for (std::size_t f = 0; f < encoded.n_features; ++f) {
    FeatureBins& bins = encoded.bins[f];
    if (!bins.is_continuous) continue;
    bins.largest.assign(bins.n_codes, std::numeric_limits<double>::quiet_NaN());
    continuous.push_back(f);
  }
  for (std::size_t s = 0; s < encoded.sample_count; ++s) {
    for (const std::size_t f : continuous) {
      const double v = x.at(s, f);
      if (!std::isfinite(v)) continue;
      double& largest = encoded.bins[f].largest[encoded.code(s, f)];
      // NaN compares false: the first value of a code replaces it.
      if (!(largest >= v)) largest = v;
    }
  }
}

}  // namespace quor
