#pragma once
/// The three estimator classes RawRegressor, RawClassifier and
/// RawObjectiveClassifier: heap types whose instances own one estimator record.

#include "estimator.hpp"
#include "pyref.hpp"

namespace quor::py {

/// Creates the class of `kind` and keeps it for the life of the process, so
/// that `from_tree` can make instances of its own class.
PyRef create_estimator_type(EstimatorKind kind);

}  // namespace quor::py
