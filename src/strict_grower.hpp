#pragma once
/// Strict-mode growing: every node searches its samples afresh (bins per node
/// and fold), keeps its samples as a list and hands its children lists of
/// their own, with each feature's finite values kept sorted through the splits.

#include <span>

#include "growth.hpp"
#include "input.hpp"
#include "tree.hpp"

namespace quor {

/// Strict mode over the root samples: 0 … n − 1 (n = the columns' length)
/// unless the input's options give them.
Tree grow_strict(const GrowInput& input, std::span<const FeatureColumn> columns);

}  // namespace quor
