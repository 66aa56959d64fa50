#pragma once
/// Read-only strided views of caller-owned memory (NumPy arrays of any memory
/// order). Elements are read with memcpy so unaligned buffers are safe.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quor {

/// n_rows × n_cols doubles; strides are in bytes and may be negative.
struct MatrixView {
  const char* data = nullptr;
  std::size_t n_rows = 0;
  std::size_t n_cols = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 0;

  double at(std::size_t r, std::size_t c) const {
    double v;
    std::memcpy(&v, data + static_cast<std::ptrdiff_t>(r) * row_stride +
                        static_cast<std::ptrdiff_t>(c) * col_stride,
                sizeof v);
    return v;
  }
};

/// n elements of type T; the stride is in bytes.
template <class T>
struct VectorView {
  const char* data = nullptr;
  std::size_t size = 0;
  std::ptrdiff_t stride = sizeof(T);

  T at(std::size_t i) const {
    T v;
    std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof v);
    return v;
  }
};

}  // namespace quor
