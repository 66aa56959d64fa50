#pragma once
/// The one place that includes the Python and NumPy C headers. Every
/// translation unit of the extension shares one NumPy API table; only the
/// module initialisation defines it (QUOR_NUMPY_IMPORT) and fills it.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL quor_numpy_api
#ifndef QUOR_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
