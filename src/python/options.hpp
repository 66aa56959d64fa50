#pragma once
/// The option names and limits the core exports, so that the package reads
/// them instead of writing them again: `OPTIONS` and `LIMITS`, two
/// dictionaries of the module.

#include "python_api.hpp"

namespace quor::py {

/// Adds `OPTIONS` (each string option's accepted names, in the order its
/// messages list them) and `LIMITS` (the numbers the core refuses past) to
/// `module`.
void add_option_tables(PyObject* module);

}  // namespace quor::py
