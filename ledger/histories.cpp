#include "ledger/histories.hpp"

namespace ledger {

PyObject* new_float64(bool zeroed, Py_ssize_t rows, Py_ssize_t cols) noexcept {
  npy_intp dims[2] = {rows, cols};
  const int ndim = cols < 0 ? 1 : 2;
  return zeroed ? PyArray_ZEROS(ndim, dims, NPY_DOUBLE, 0)
                : PyArray_EMPTY(ndim, dims, NPY_DOUBLE, 0);
}

bool history_arrays::create(Py_ssize_t count, Py_ssize_t n) noexcept {
  list_ = frame::ref::steal(PyList_New(0));
  if (!list_ || !views_.allocate(count) || !targets_.allocate(count)) return false;
  for (Py_ssize_t j = 0; j < count; ++j) {
    frame::ref rows = frame::ref::steal(new_float64(true, n, 6));
    if (!rows || PyList_Append(list_.get(), rows.get()) < 0) return false;
    if (!views_[j].acquire(rows.get(), 2, "double_t", true)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(rows.get());
    targets_[j].data = static_cast<char*>(PyArray_DATA(array));
    targets_[j].s0 = 6 * sizeof(double);
    targets_[j].s1 = sizeof(double);
  }
  return true;
}

PyObject* history_arrays::release() noexcept {
  views_.reset();
  return list_.release();
}

}  // namespace ledger
