// The from_signals-style histories a ledger run writes when asked: one
// zeroed (n, 6) float64 array per contract or leg, written through typed
// targets while the lock is released.
#pragma once

#include "frame/refs.hpp"
#include "frame/storage.hpp"
#include "frame/views.hpp"
#include "solosim/history.hpp"

namespace ledger {

class history_arrays {
 public:
  // `count` arrays of shape (n, 6). False with the exception set.
  bool create(Py_ssize_t count, Py_ssize_t n) noexcept;

  const solosim::history_target* targets() const noexcept { return targets_.get(); }
  const frame::f64_view* views() const noexcept { return views_.get(); }
  // The list of arrays, handed to the caller.
  PyObject* release() noexcept;

 private:
  frame::ref list_;
  frame::storage<frame::f64_view> views_;
  frame::storage<solosim::history_target> targets_;
};

// A new C-contiguous float64 array of shape (rows,) or (rows, cols), zeroed
// or uninitialised, made by NumPy's own constructors (PyArray_Zeros and
// PyArray_Empty, what numpy.zeros and numpy.empty call), so its size and
// dtype are the ones asked for whatever the numpy module's names are bound
// to. Zeroed arrays come from calloc, whose pages the kernel zeroes lazily.
// New reference, or nullptr with MemoryError (or ValueError for a size
// beyond the address space).
PyObject* new_float64(bool zeroed, Py_ssize_t rows, Py_ssize_t cols = -1) noexcept;

// The first element of a new 1-D float64 array.
inline double* curve_data(PyObject* array) noexcept {
  return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

}  // namespace ledger
