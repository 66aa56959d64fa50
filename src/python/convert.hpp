#pragma once
/// Conversion between Python objects and the core's values: arguments (whose
/// type errors name the argument), dump list elements (whose errors are the
/// plain conversion message), input arrays as strided views, and new arrays.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pyref.hpp"
#include "views.hpp"

namespace quor::py {

/// Up to this many arguments; the constructor of RawObjectiveClassifier has the most.
inline constexpr std::size_t kMaxArguments = 23;

/// Binds a call's arguments by position or keyword to `names` (NULL-terminated,
/// all required) with Python's own errors for a bad argument list.
std::vector<PyRef> parse_arguments(PyObject* args, PyObject* kwargs, const char* function,
                                   const char* const* names);
/// As above, with the names from `n_required` on optional: an optional
/// argument not given is a null reference.
std::vector<PyRef> parse_arguments(PyObject* args, PyObject* kwargs, const char* function,
                                   const char* const* names, std::size_t n_required);

// Element conversions. A wrong type raises TypeError with the conversion's
// message; a value out of range keeps Python's own OverflowError.
std::uint64_t to_u64(PyObject* object);
std::int64_t to_i64(PyObject* object);
double to_f64(PyObject* object);
/// Only Python's bool or NumPy's bool scalar.
bool to_bool(PyObject* object);
/// A str, encoded as UTF-8.
std::string to_string(PyObject* object);
/// Calls `visit(item)` for each item of any sequence but a str, in order.
template <class Visit>
void for_each_item(PyObject* object, Visit visit);
/// Any sequence but a str, each element converted by `convert`.
template <class T, class Convert>
std::vector<T> to_vector(PyObject* object, Convert convert);
/// `object` itself if it is a dict (or a subclass).
PyObject* to_dict(PyObject* object);

/// Runs `convert(object)` as the conversion of argument `name`: a TypeError
/// is re-raised with "argument '<name>': " before its message; anything else
/// (OverflowError included) passes through unchanged.
template <class Convert>
auto argument(const char* name, PyObject* object, Convert convert) -> decltype(convert(object));

/// The unsigned list of a `categorical` argument, in the caller's order.
std::vector<std::uint64_t> to_index_list(PyObject* object);

// Input arrays. The views borrow the array's memory; the caller keeps the
// array alive. A wrong kind of array raises TypeError naming the argument.
MatrixView float64_matrix(PyObject* object, const char* name);
VectorView<double> float64_vector(PyObject* object, const char* name);
VectorView<std::int64_t> int64_vector(PyObject* object, const char* name);
VectorView<std::int32_t> int32_vector(PyObject* object, const char* name);
VectorView<std::uint64_t> uint64_vector(PyObject* object, const char* name);
/// A 1-D NumPy array of floats or integers (any width), copied as float64.
/// Any other kind of object, shape or dtype is a `ValueError` naming the
/// argument: a weight vector that is not one number per row.
std::vector<double> number_vector(PyObject* object, const char* name);
/// A NumPy bool array, one byte (0 or 1) per element.
VectorView<std::uint8_t> bool_vector(PyObject* object, const char* name);

/// New C-contiguous, writable arrays owning their data. Sizes that no array
/// can have raise MemoryError.
PyRef new_float64_array(std::span<const std::uint64_t> shape);
PyRef new_int64_array(std::uint64_t size);
PyRef new_int64_array(std::span<const std::uint64_t> shape);
/// New 1-D arrays holding a copy of `values`.
PyRef int64_array_of(std::span<const std::int64_t> values);
PyRef float64_array_of(std::span<const double> values);
PyRef int32_array_of(std::span<const std::int32_t> values);
PyRef bool_array_of(std::span<const std::uint8_t> values);
PyRef uint64_array_of(std::span<const std::uint64_t> values);
template <class T>
std::span<T> array_data(const PyRef& array);

// Python values from the core's.
PyRef py_bool(bool value);
PyRef py_int(std::int64_t value);
PyRef py_uint(std::uint64_t value);
PyRef py_float(double value);
/// A new 2-tuple holding `first` and `second`.
PyRef py_pair(const PyRef& first, const PyRef& second);
/// A list holding `make(values[i])` for every i.
template <class T, class Make>
PyRef py_list(std::span<const T> values, Make make);

// ---- template definitions ----

namespace detail {
/// Inside a catch block: re-raises the error being handled as the error of
/// argument `name`.
[[noreturn]] void rethrow_with_argument_name(const char* name);
/// The length of a sequence other than a str; TypeError otherwise.
std::size_t sequence_length(PyObject* object);
PyRef sequence_item(PyObject* object, std::size_t index);
void* array_bytes(const PyRef& array);
std::size_t array_size(const PyRef& array);
PyRef new_list(std::size_t size);
void list_set(const PyRef& list, std::size_t index, PyRef item);
}  // namespace detail

template <class Convert>
auto argument(const char* name, PyObject* object, Convert convert) -> decltype(convert(object)) {
  try {
    return convert(object);
  } catch (...) {
    detail::rethrow_with_argument_name(name);
  }
}

template <class Visit>
void for_each_item(PyObject* object, Visit visit) {
  const std::size_t n = detail::sequence_length(object);
  for (std::size_t i = 0; i < n; ++i) {
    // Owned: converting an item may run Python code that changes the sequence.
    const PyRef item = detail::sequence_item(object, i);
    visit(item.get());
  }
}

template <class T, class Convert>
std::vector<T> to_vector(PyObject* object, Convert convert) {
  std::vector<T> out;
  out.reserve(detail::sequence_length(object));
  for_each_item(object, [&](PyObject* item) { out.push_back(convert(item)); });
  return out;
}

template <class T>
std::span<T> array_data(const PyRef& array) {
  return {static_cast<T*>(detail::array_bytes(array)), detail::array_size(array)};
}

template <class T, class Make>
PyRef py_list(std::span<const T> values, Make make) {
  PyRef list = detail::new_list(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) detail::list_set(list, i, make(values[i]));
  return list;
}

}  // namespace quor::py
