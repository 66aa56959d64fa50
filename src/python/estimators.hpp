#pragma once
/// The three estimator classes RawRegressor, RawClassifier and
/// RawObjectiveClassifier: heap types whose instances own one estimator record.

#include "estimator.hpp"
#include "pyref.hpp"

namespace quor::py {

/// The constructor argument names of the raw class whose task is `T`, in
/// order (null-terminated).
template <class T>
const char* const* constructor_arguments();
/// Converts constructor argument `name` into its field of `options`.
void convert_option(SettingsOptions& options, const char* name, PyObject* value);

/// The `export_tree` dictionary of a tree.
PyRef tree_dump_dict(const Tree& tree, bool classification, std::uint64_t n_classes);

/// Creates the three classes, adds them to `module` and keeps them for the
/// life of the process, so that `from_tree` can make instances of its own class.
void add_estimator_types(PyObject* module);

}  // namespace quor::py
