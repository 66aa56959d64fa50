#pragma once
/// Gathering values by sample id. The ids of a node come in shuffled or
/// partitioned order, so each read is a likely cache miss; asking for the
/// value a few dozen ids ahead lets the misses overlap.

#include <cstddef>
#include <span>
#include <vector>

#include "errors.hpp"

namespace quor {

inline constexpr std::size_t kGatherAhead = 32;

/// out[i] = values[ids[i]]; an id past the end of `values` is an internal error.
template <class T, class Id>
void gather_at(std::span<const T> values, std::span<const Id> ids, std::vector<T>& out) {
  const std::size_t n = ids.size();
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kGatherAhead < n && ids[i + kGatherAhead] < values.size()) {
      __builtin_prefetch(values.data() + ids[i + kGatherAhead]);
    }
    check_index(ids[i], values.size(), "targets");
    out[i] = values[ids[i]];
  }
}

}  // namespace quor
