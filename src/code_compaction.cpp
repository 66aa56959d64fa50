#include "code_compaction.hpp"

#include <bit>
#include <numeric>

namespace quor {

namespace {

// A node is renumbered when a fold's cells per feature, on average, are at
// least this many times its samples. Renumbering costs a pass over the node's
// codes and a walk over a bit per code of each feature; below this ratio the
// empty cells it saves scanning no longer pay for that.
constexpr std::size_t kCompactRatio = 2;

}  // namespace

bool can_compact(std::span<const FeatureSpec> specs, std::size_t n) {
  return n <= kCompactMaxSamples && !specs.empty();
}

bool compacts(std::span<const FeatureSpec> specs, std::size_t n, std::size_t K) {
  if (!can_compact(specs, n)) return false;
  std::size_t codes = 0;
  for (const FeatureSpec& spec : specs) codes += spec.n_codes;
  return n * specs.size() * kCompactRatio <= codes * K;
}

template <class Code>
void compact_node(const Code* codes, std::size_t stride, std::span<const std::uint32_t> samples,
                  std::span<const std::size_t> columns, std::span<const FeatureSpec> specs, CompactCodes& out) {
  const std::size_t n = samples.size();
  const std::size_t n_features = specs.size();
  out.codes.resize(n * n_features);
  out.rows.resize(n);
  std::iota(out.rows.begin(), out.rows.end(), std::uint32_t{0});
  out.columns.resize(n_features);
  std::iota(out.columns.begin(), out.columns.end(), std::size_t{0});
  // The node's codes feature by feature, read a sample's row at a time.
  std::vector<std::uint32_t>& raw = out.raw;
  raw.resize(n * n_features);
  for (std::size_t i = 0; i < n; ++i) {
    const Code* row = codes + static_cast<std::size_t>(samples[i]) * stride;
    for (std::size_t k = 0; k < n_features; ++k) raw[k * n + i] = row[columns[k]];
  }
  out.specs.assign(specs.begin(), specs.end());
  out.original.clear();
  out.offsets.assign(1, 0);
  std::vector<std::uint64_t>& present = out.present;
  std::vector<std::uint8_t>& renumbered = out.renumbered;
  for (std::size_t k = 0; k < n_features; ++k) {
    // A bit per code present in the node; walking the bits in order numbers
    // the present codes (the numbers of absent codes are never read).
    const std::uint32_t B = static_cast<std::uint32_t>(specs[k].n_codes);
    present.assign((B + 63) / 64, 0);
    if (renumbered.size() < B) renumbered.resize(B);
    const std::uint32_t* column = raw.data() + k * n;
    for (std::size_t i = 0; i < n; ++i) {
      if (column[i] < B) present[column[i] / 64] |= std::uint64_t{1} << (column[i] % 64);
    }
    std::uint32_t m = 0;
    for (std::size_t w = 0; w < present.size(); ++w) {
      for (std::uint64_t bits = present[w]; bits != 0; bits &= bits - 1) {
        const std::uint32_t code = static_cast<std::uint32_t>(w * 64 + std::countr_zero(bits));
        out.original.push_back(code);
        renumbered[code] = static_cast<std::uint8_t>(m++);
      }
    }
    for (std::size_t i = 0; i < n; ++i) {
      out.codes[i * n_features + k] = column[i] >= B ? std::uint8_t{0xFF} : renumbered[column[i]];
    }
    // Under the threshold test the last code is never a candidate; keeping
    // it as an empty end leaves the last present code one when it was.
    if (specs[k].threshold && m > 0 && out.original.back() + 1 < B) {
      out.original.push_back(B - 1);
      ++m;
    }
    out.specs[k].n_codes = m;
    out.offsets.push_back(out.original.size());
  }
  for (std::size_t k = 0; k < n_features; ++k) {
    out.specs[k].original_codes = out.original.data() + out.offsets[k];
  }
}

template void compact_node(const std::uint8_t*, std::size_t, std::span<const std::uint32_t>,
                           std::span<const std::size_t>, std::span<const FeatureSpec>, CompactCodes&);
template void compact_node(const std::uint16_t*, std::size_t, std::span<const std::uint32_t>,
                           std::span<const std::size_t>, std::span<const FeatureSpec>, CompactCodes&);

}  // namespace quor
