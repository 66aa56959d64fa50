#pragma once
/// The class RawForest: a heap type whose instances own a forest's settings
/// and, once fitted, its trees.

#include "pyref.hpp"

namespace quor::py {

PyRef create_forest_type();

}  // namespace quor::py
