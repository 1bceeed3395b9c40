#include "solosim/history.hpp"

#include "rules/numpy_calls.hpp"

namespace solosim {

bool history::create(Py_ssize_t n, Py_ssize_t m) noexcept {
  list_ = frame::ref::steal(PyList_New(0));
  if (!list_) return false;
  for (Py_ssize_t j = 0; j < m; ++j) {
    frame::ref shape = frame::ref::steal(Py_BuildValue("(ni)", n, 6));
    if (!shape) return false;
    frame::ref arr = frame::ref::steal(rules::np_zeros(shape.get()));
    if (!arr || PyList_Append(list_.get(), arr.get()) < 0) return false;
  }
  if (!views_.allocate(m) || !targets_.allocate(m)) return false;
  for (Py_ssize_t j = 0; j < m; ++j)
    if (!open_view(j, n)) return false;
  return true;
}

bool history::open_view(Py_ssize_t j, Py_ssize_t n) noexcept {
  PyObject* obj = PyList_GET_ITEM(list_.get(), j);
  if (!PyArray_CheckExact(obj)) {
    all_typed_ = false;
    return true;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(arr) != 2 || PyArray_DIM(arr, 0) != n || PyArray_DIM(arr, 1) != 6 ||
      PyArray_TYPE(arr) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(arr) ||
      !PyArray_ISALIGNED(arr) || !PyArray_ISWRITEABLE(arr)) {
    all_typed_ = false;
    return true;
  }
  // The held view keeps the array from being resized while the run writes.
  frame::f64_view& view = views_[j];
  if (!view.acquire(obj, 2, "double_t", true)) return false;
  if (n > 0) {
    targets_[j].data = view.bytes();
    targets_[j].s0 = view.stride(0);
    targets_[j].s1 = view.stride(1);
  } else {
    targets_[j].data = reinterpret_cast<char*>(PyArray_DATA(arr));
  }
  return true;
}

PyObject* history::release() noexcept {
  views_.reset();
  return list_.release();
}

bool assign_cell(PyObject* arr, Py_ssize_t i, int col, double value) noexcept {
  frame::ref key = frame::ref::steal(Py_BuildValue("(ni)", i, col));
  if (!key) return false;
  frame::ref v = frame::ref::steal(PyFloat_FromDouble(value));
  return v && PyObject_SetItem(arr, key.get(), v.get()) == 0;
}

}  // namespace solosim
