#pragma once
/// Where C++ errors become Python exceptions. Every function Python calls runs
/// its body through `guarded`; nothing else sets a Python exception.

#include <stdexcept>

#include "pyref.hpp"

namespace quor::py {

/// Exceptions of the boundary itself; the core's own are in errors.hpp.
class TypeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class RuntimeError : public std::runtime_error {  // overlapping calls on one estimator
 public:
  using std::runtime_error::runtime_error;
};
class ImportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Sets the Python exception for the C++ exception being handled. Must be
/// called from inside a catch block.
void translate_current_exception() noexcept;

/// The class of internal errors: derived from BaseException so that
/// `except Exception` does not swallow them. Created on first use.
PyObject* panic_exception_type() noexcept;

/// Runs `body` (returning a PyRef) and hands its reference to Python, or
/// returns NULL with the Python exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

}  // namespace quor::py
