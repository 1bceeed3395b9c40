// The ledger's array inputs: any array-like of real numbers (bool, integers,
// floats), any strides, taken once as a native-order ndarray and read
// through a typed view for the whole run.
#pragma once

#include "frame/inputs.hpp"
#include "frame/refs.hpp"

namespace ledger {

class input_array {
 public:
  // `arg` as an ndarray of a real numeric dtype (no copy of an ndarray).
  // TypeError for None and for object, complex, string and other dtypes,
  // naming `name`. False with the exception set.
  bool take(PyObject* arg, const char* name) noexcept;

  // After the shape checks (so that nothing is copied for an array that is
  // refused): the typed view, through a native-order copy where the bytes
  // are swapped, or a float64 one where no typed view reads the dtype (long
  // double). False with the exception set.
  bool open() noexcept;

  const frame::numeric_input& view() const noexcept { return view_; }
  PyObject* object() const noexcept { return array_.get(); }
  int ndim() const noexcept { return PyArray_NDIM(array()); }
  Py_ssize_t shape(int d) const noexcept { return PyArray_DIM(array(), d); }

 private:
  PyArrayObject* array() const noexcept { return reinterpret_cast<PyArrayObject*>(array_.get()); }

  frame::ref array_;
  frame::numeric_input view_;
};

// ValueError "<name> has shape (a, b); it must have shape (c, d)".
[[gnu::cold]] bool raise_shape(const char* name, const input_array& got, const npy_intp* want,
                               int want_ndim) noexcept;

// ValueError for a pair's close without bars (0-d): "close must be
// two-dimensional (bars x legs, shape (n, 2)), got 0 dimensions".
[[gnu::cold]] bool raise_pair_dimensions(const input_array& close) noexcept;

}  // namespace ledger
