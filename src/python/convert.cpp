#include "convert.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>

#include "errors.hpp"
#include "guard.hpp"

namespace quor::py {

namespace {

std::string utf8(PyObject* text) {
  const PyRef bytes = checked(PyUnicode_AsUTF8String(text));
  char* data = nullptr;
  Py_ssize_t size = 0;
  check_status(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
  return std::string(data, static_cast<std::size_t>(size));
}

// Takes the pending Python exception and returns its message.
std::string take_error_message() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
  const PyRef text = checked(PyObject_Str(value));
  return utf8(text.get());
}

std::string type_name(PyObject* object) {
  const PyRef name =
      checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  return utf8(name.get());
}

std::string describe(PyObject* object) {
  std::string text = "'";
  text += type_name(object);
  text += "' object";
  return text;
}

// The array `object` if it is a NumPy array of `ndim` dimensions whose dtype is
// equivalent to `type_num`.
PyArrayObject* checked_array(PyObject* object, const char* name, int ndim, int type_num,
                             const char* dtype) {
  const std::string expected = std::string("argument '") + name + "': expected a " +
                               std::to_string(ndim) + "-dimensional NumPy array of " + dtype +
                               ", got ";
  if (!PyArray_Check(object)) throw TypeError(expected + describe(object));
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  const PyRef wanted = checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_num)));
  if (PyArray_NDIM(array) == ndim &&
      PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(wanted.get()))) {
    return array;
  }
  const PyRef got = checked(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
  throw TypeError(expected + "a " + std::to_string(PyArray_NDIM(array)) +
                  "-dimensional array of " + utf8(got.get()));
}

template <class T>
VectorView<T> vector_view(PyObject* object, const char* name, int type_num, const char* dtype) {
  PyArrayObject* array = checked_array(object, name, 1, type_num, dtype);
  return {static_cast<const char*>(PyArray_BYTES(array)),
          static_cast<std::size_t>(PyArray_DIM(array, 0)), PyArray_STRIDE(array, 0)};
}

// The dimensions of a new array of `item_size`-byte elements; sizes NumPy
// cannot represent are reported as failed allocations.
std::array<npy_intp, 2> array_dims(std::span<const std::uint64_t> shape, std::uint64_t item_size) {
  if (shape.size() > 2) throw InternalError("arrays have at most two dimensions");
  constexpr auto kMax = static_cast<std::uint64_t>(NPY_MAX_INTP);
  std::array<npy_intp, 2> dims{};
  std::uint64_t bytes = item_size;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] > kMax) throw std::length_error("array dimension too large");
    if (shape[i] != 0 && bytes > kMax / shape[i]) throw std::length_error("array too large");
    if (shape[i] != 0) bytes *= shape[i];
    dims[i] = static_cast<npy_intp>(shape[i]);
  }
  return dims;
}

}  // namespace

std::vector<PyRef> parse_arguments(PyObject* args, PyObject* kwargs, const char* function,
                                   const char* const* names) {
  return parse_arguments(args, kwargs, function, names, kMaxArguments);
}

std::vector<PyRef> parse_arguments(PyObject* args, PyObject* kwargs, const char* function,
                                   const char* const* names, std::size_t n_required) {
  std::size_t n = 0;
  while (names[n] != nullptr) ++n;
  if (n > kMaxArguments) throw InternalError("too many arguments to parse");
  n_required = std::min(n_required, n);
  const std::string format = std::string(n_required, 'O') + (n_required < n ? "|" : "") +
                             std::string(n - n_required, 'O') + ":" + function;
  std::array<PyObject*, kMaxArguments> o{};
  // The format string reads exactly n of the slots; the rest stay unused.
  const int ok = PyArg_ParseTupleAndKeywords(
      args, kwargs, format.c_str(), const_cast<char**>(names), &o[0], &o[1], &o[2], &o[3], &o[4],
      &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11], &o[12], &o[13], &o[14], &o[15], &o[16],
      &o[17], &o[18], &o[19], &o[20], &o[21], &o[22]);
  if (!ok) throw ErrorAlreadySet{};
  std::vector<PyRef> values;
  values.reserve(n);
  for (std::size_t i = 0; i < n; ++i) values.push_back(PyRef::borrowed(o[i]));
  return values;
}

std::uint64_t to_u64(PyObject* object) {
  const PyRef index = checked(PyNumber_Index(object));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
  return value;
}

std::int64_t to_i64(PyObject* object) {
  const PyRef index = checked(PyNumber_Index(object));
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
  return value;
}

double to_f64(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
  return value;
}

bool to_bool(PyObject* object) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (PyObject_TypeCheck(object, &PyBoolArrType_Type)) {
    const int truth = PyObject_IsTrue(object);
    check_status(truth);
    return truth != 0;
  }
  throw TypeError(describe(object) + " is not a bool");
}

std::string to_string(PyObject* object) {
  if (!PyUnicode_Check(object)) throw TypeError(describe(object) + " is not a str");
  try {
    return utf8(object);
  } catch (const ErrorAlreadySet&) {
    // A str the core cannot hold (a lone surrogate) is refused like a wrong type.
    if (PyErr_ExceptionMatches(PyExc_UnicodeError)) throw TypeError(take_error_message());
    throw;
  }
}

PyObject* to_dict(PyObject* object) {
  if (!PyDict_Check(object)) throw TypeError(describe(object) + " is not a dict");
  return object;
}

std::vector<std::uint64_t> to_index_list(PyObject* object) {
  return to_vector<std::uint64_t>(object, to_u64);
}

MatrixView float64_matrix(PyObject* object, const char* name) {
  PyArrayObject* array = checked_array(object, name, 2, NPY_FLOAT64, "float64");
  return {static_cast<const char*>(PyArray_BYTES(array)),
          static_cast<std::size_t>(PyArray_DIM(array, 0)),
          static_cast<std::size_t>(PyArray_DIM(array, 1)), PyArray_STRIDE(array, 0),
          PyArray_STRIDE(array, 1)};
}

VectorView<double> float64_vector(PyObject* object, const char* name) {
  return vector_view<double>(object, name, NPY_FLOAT64, "float64");
}

VectorView<std::int64_t> int64_vector(PyObject* object, const char* name) {
  return vector_view<std::int64_t>(object, name, NPY_INT64, "int64");
}

VectorView<std::uint64_t> uint64_vector(PyObject* object, const char* name) {
  return vector_view<std::uint64_t>(object, name, NPY_UINT64, "uint64");
}

VectorView<std::int32_t> int32_vector(PyObject* object, const char* name) {
  return vector_view<std::int32_t>(object, name, NPY_INT32, "int32");
}

std::vector<double> number_vector(PyObject* object, const char* name) {
  const std::string prefix = std::string("argument '") + name + "': ";
  if (!PyArray_Check(object)) {
    throw ValueError(prefix + "expected a 1-dimensional NumPy array of numbers, got " + describe(object));
  }
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  const char kind = PyArray_DESCR(array)->kind;
  if (PyArray_NDIM(array) != 1 || (kind != 'f' && kind != 'i' && kind != 'u')) {
    const PyRef got = checked(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    throw ValueError(prefix + "expected a 1-dimensional array of floats or integers, got a " +
                     std::to_string(PyArray_NDIM(array)) + "-dimensional array of " + utf8(got.get()));
  }
  const PyRef copy = checked(PyArray_FROMANY(object, NPY_FLOAT64, 1, 1, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
  const auto* data = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(copy.get())));
  return std::vector<double>(data, data + PyArray_DIM(reinterpret_cast<PyArrayObject*>(copy.get()), 0));
}

VectorView<std::uint8_t> bool_vector(PyObject* object, const char* name) {
  return vector_view<std::uint8_t>(object, name, NPY_BOOL, "bool");
}

PyRef new_float64_array(std::span<const std::uint64_t> shape) {
  std::array<npy_intp, 2> dims = array_dims(shape, sizeof(double));
  return checked(PyArray_SimpleNew(static_cast<int>(shape.size()), dims.data(), NPY_FLOAT64));
}

PyRef new_int64_array(std::uint64_t size) {
  const std::uint64_t shape[1] = {size};
  return new_int64_array(std::span<const std::uint64_t>(shape));
}

PyRef new_int64_array(std::span<const std::uint64_t> shape) {
  std::array<npy_intp, 2> dims = array_dims(shape, sizeof(std::int64_t));
  return checked(PyArray_SimpleNew(static_cast<int>(shape.size()), dims.data(), NPY_INT64));
}

PyRef int64_array_of(std::span<const std::int64_t> values) {
  PyRef out = new_int64_array(values.size());
  std::copy(values.begin(), values.end(), array_data<std::int64_t>(out).begin());
  return out;
}

PyRef float64_array_of(std::span<const double> values) {
  const std::uint64_t shape[1] = {values.size()};
  PyRef out = new_float64_array(std::span<const std::uint64_t>(shape));
  std::copy(values.begin(), values.end(), array_data<double>(out).begin());
  return out;
}

namespace {

template <class T>
PyRef array_of(std::span<const T> values, int type_num) {
  const std::uint64_t shape[1] = {values.size()};
  std::array<npy_intp, 2> dims = array_dims(shape, sizeof(T));
  PyRef out = checked(PyArray_SimpleNew(1, dims.data(), type_num));
  std::copy(values.begin(), values.end(), array_data<T>(out).begin());
  return out;
}

}  // namespace

PyRef int32_array_of(std::span<const std::int32_t> values) { return array_of(values, NPY_INT32); }
PyRef bool_array_of(std::span<const std::uint8_t> values) { return array_of(values, NPY_BOOL); }
PyRef uint64_array_of(std::span<const std::uint64_t> values) { return array_of(values, NPY_UINT64); }

PyRef py_pair(const PyRef& first, const PyRef& second) {
  return checked(PyTuple_Pack(2, first.get(), second.get()));
}

PyRef py_bool(bool value) { return checked(PyBool_FromLong(value)); }
PyRef py_int(std::int64_t value) { return checked(PyLong_FromLongLong(value)); }
PyRef py_uint(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }
PyRef py_float(double value) { return checked(PyFloat_FromDouble(value)); }

namespace detail {

void rethrow_with_argument_name(const char* name) {
  const std::string prefix = std::string("argument '") + name + "': ";
  try {
    throw;
  } catch (const TypeError& e) {
    throw TypeError(prefix + e.what());
  } catch (const ErrorAlreadySet&) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) throw TypeError(prefix + take_error_message());
    throw;
  }
}

std::size_t sequence_length(PyObject* object) {
  if (PyUnicode_Check(object)) throw TypeError("a str is not accepted as a sequence");
  if (!PySequence_Check(object)) throw TypeError(describe(object) + " is not a sequence");
  const Py_ssize_t size = PySequence_Size(object);
  check_status(static_cast<int>(size < 0 ? -1 : 0));
  return static_cast<std::size_t>(size);
}

PyRef sequence_item(PyObject* object, std::size_t index) {
  return checked(PySequence_GetItem(object, static_cast<Py_ssize_t>(index)));
}

void* array_bytes(const PyRef& array) {
  return PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()));
}

std::size_t array_size(const PyRef& array) {
  return static_cast<std::size_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array.get())));
}

PyRef new_list(std::size_t size) {
  if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::length_error("list too long");
  return checked(PyList_New(static_cast<Py_ssize_t>(size)));
}

void list_set(const PyRef& list, std::size_t index, PyRef item) {
  // PyList_SetItem takes the reference whether or not it succeeds.
  check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(index), item.release()));
}

}  // namespace detail

}  // namespace quor::py
