#pragma once
/// The three estimator classes RawRegressor, RawClassifier and
/// RawObjectiveClassifier: heap types whose instances own one estimator record.

#include "estimator.hpp"
#include "pyref.hpp"

namespace quor::py {

/// The raw class's constructor argument names, in order (NULL-terminated).
const char* const* constructor_arguments(EstimatorKind kind);
/// Converts constructor argument `name` into its field of `options`.
void convert_option(EstimatorOptions& options, const char* name, PyObject* value);

/// The `export_tree` dictionary of a tree.
PyRef tree_dump_dict(const Tree& tree, bool classification, std::uint64_t n_classes);
/// The dump's lists, read in their fixed order; classifiers read the class
/// and probability lists, the regressor the values.
TreeDump read_dump(PyObject* dict, bool classification);

/// Creates the class of `kind` and keeps it for the life of the process, so
/// that `from_tree` can make instances of its own class.
PyRef create_estimator_type(EstimatorKind kind);

}  // namespace quor::py
