#pragma once
/// A move-only owned reference: every new reference lives in one from the
/// moment the C API returns it, so an early return or an exception never
/// leaks and never double-frees.

#include <utility>

#include "python_api.hpp"

namespace quor::py {

/// Thrown when a C API call failed and left a Python exception set; the guard
/// returns NULL with that exception as it is.
struct ErrorAlreadySet {};

class PyRef {
 public:
  PyRef() = default;
  /// Takes over a new reference (may be NULL).
  explicit PyRef(PyObject* owned) noexcept : ptr_(owned) {}
  /// A new reference to an object the caller only borrows.
  static PyRef borrowed(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }
  PyRef(PyRef&& other) noexcept : ptr_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef old(std::exchange(ptr_, other.release()));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(ptr_); }

  PyObject* get() const noexcept { return ptr_; }
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  PyObject* ptr_ = nullptr;
};

/// Owns the result of a C API call that returns a new reference, turning a NULL
/// result (the call failed and set an exception) into `ErrorAlreadySet`.
inline PyRef checked(PyObject* result) {
  if (result == nullptr) throw ErrorAlreadySet{};
  return PyRef(result);
}

/// For C API calls that report failure with a negative int.
inline void check_status(int status) {
  if (status < 0) throw ErrorAlreadySet{};
}

}  // namespace quor::py
