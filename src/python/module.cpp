// Module initialisation: the only file that fills NumPy's API table.
#define QUOR_NUMPY_IMPORT
#include "python_api.hpp"

#include "estimators.hpp"
#include "options.hpp"
#include "raw_forest.hpp"
#include "guard.hpp"

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_quor",
    "The native extension module `quor._quor`.",
    -1,  // no per-module state: all state lives in the estimator objects
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr const char kModuleNote[] =
    "Native core of quor; use `quor.QUORClassifier` / `quor.QUORRegressor` rather than "
    "these raw classes.";

// Set once a module object exists. The classes are kept in statics, so a
// second module in the same process would share them with the first.
bool g_initialised = false;

}  // namespace

PyMODINIT_FUNC PyInit__quor(void) {
  using namespace quor::py;
  return guarded([]() -> PyRef {
    if (g_initialised) {
      throw ImportError("quor._quor may only be initialised once per interpreter process");
    }
    check_status(_import_array());
    PyRef module = checked(PyModule_Create(&g_module_def));
    g_initialised = true;
    add_estimator_types(module.get());
    PyRef forest = create_forest_type();
    check_status(PyModule_AddObject(module.get(), "RawForest", forest.get()));
    forest.release();  // the module took the reference
    add_option_tables(module.get());
    const PyRef note = checked(PyUnicode_FromString(kModuleNote));
    check_status(PyObject_SetAttrString(module.get(), "__doc__", note.get()));
    return module;
  });
}
