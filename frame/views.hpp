// Typed float64 element views with the buffer checks and messages of the
// binding: dimensions, element format, item size.
#pragma once

#include "frame/errors.hpp"
#include "frame/refs.hpp"
#include "frame/unaligned.hpp"

namespace frame {

class f64_view {
 public:
  // Takes the view of `obj` (None gives the empty view, no checks) with
  // `ndim` dimensions. `type_name` is the element type named in the dtype
  // mismatch message ("double" or "double_t"). `writable` also asks for a
  // writable buffer. False with the exception set; nothing is held then.
  bool acquire(PyObject* obj, int ndim, const char* type_name,
               bool writable = false) noexcept;

  // True for the view of None.
  bool empty() const noexcept { return !buf_.held(); }
  Py_ssize_t shape(int d) const noexcept { return shape_[d]; }
  Py_ssize_t stride(int d) const noexcept { return strides_[d]; }
  // Address of element 0, for readers that load possibly unaligned elements
  // byte-wise (a buffer need not be 8-byte aligned); null for None.
  char* bytes() const noexcept { return data_; }

  // Element access without bounds checks: callers check indices against
  // shape() before the reads. The buffer need not be aligned.
  double get(Py_ssize_t i) const noexcept {
    FRAME_ASSERT(i >= 0 && i < shape_[0]);
    return load_unaligned<double>(data_ + i * strides_[0]);
  }
  double get(Py_ssize_t i, Py_ssize_t j) const noexcept {
    FRAME_ASSERT(i >= 0 && i < shape_[0] && j >= 0 && j < shape_[1]);
    return load_unaligned<double>(data_ + i * strides_[0] + j * strides_[1]);
  }
  void set(Py_ssize_t i, Py_ssize_t j, double v) const noexcept {
    FRAME_ASSERT(i >= 0 && i < shape_[0] && j >= 0 && j < shape_[1]);
    store_unaligned(data_ + i * strides_[0] + j * strides_[1], v);
  }

 private:

  held_buffer buf_;
  char* data_ = nullptr;
  Py_ssize_t shape_[2] = {0, 0};
  Py_ssize_t strides_[2] = {0, 0};
};

}  // namespace frame
