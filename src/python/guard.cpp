#include "guard.hpp"

#include <new>

#include "errors.hpp"

namespace quor::py {

PyObject* panic_exception_type() noexcept {
  // Kept for the life of the process; not a module attribute.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewException("quor._quor.PanicException", PyExc_BaseException, nullptr);
  }
  return type;
}

namespace {

void set_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type != nullptr) PyErr_SetString(type, message);  // else creating it set an error
}

}  // namespace

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_Occurred()) set_panic("a Python call failed without setting an exception");
  } catch (const quor::Interrupted&) {
    // The poll that asked for the stop left its exception (KeyboardInterrupt
    // from Ctrl-C, or whatever a signal handler raised).
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const quor::ValueError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const TypeError& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const RuntimeError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const ImportError& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error& e) {
    // A size past what any container can hold: an allocation that cannot succeed.
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const quor::InternalError& e) {
    set_panic(e.what());
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic("unknown C++ exception");
  }
}

}  // namespace quor::py
