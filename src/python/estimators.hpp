#pragma once
/// The three estimator classes RawRegressor, RawClassifier and
/// RawObjectiveClassifier: heap types whose instances own one estimator record.

#include "estimator.hpp"
#include "pyref.hpp"

namespace quor::py {

/// Creates the three classes, adds them to `module` and keeps them for the
/// life of the process, so that `from_tree` can make instances of its own class.
void add_estimator_types(PyObject* module);

}  // namespace quor::py
