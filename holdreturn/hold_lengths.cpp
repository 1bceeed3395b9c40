#include "holdreturn/engine.hpp"

namespace holdreturn {

bool hold_length(PyObject* bars, int32_t k, int32_t* out) noexcept {
  // Fetched bounds-checked and held while converting: an element's __int__
  // may shrink or clear the list.
  frame::ref item = frame::ref::steal(frame::get_item(bars, k));
  if (!item || !frame::to_int32(item.get(), out)) return false;
  if (*out < 0) {
    PyErr_Format(PyExc_ValueError, "holding length must be non-negative, got %d", *out);
    return false;
  }
  return true;
}

namespace {

// ints (subclasses are read by value), exact floats and NumPy's own integer
// and floating scalars convert in C; anything else may have a Python __int__.
bool converts_natively(PyObject* item) noexcept {
  if (PyLong_Check(item) || PyFloat_CheckExact(item)) return true;
  if (PyType_GetFlags(Py_TYPE(item)) & Py_TPFLAGS_HEAPTYPE) return false;
  return PyArray_IsScalar(item, Integer) || PyArray_IsScalar(item, Floating);
}

}  // namespace

bool holds_convert_natively(PyObject* bars, int32_t m) noexcept {
  if (PyList_GET_SIZE(bars) < m) return false;
  for (int32_t k = 0; k < m; ++k)
    if (!converts_natively(PyList_GET_ITEM(bars, k))) return false;
  return true;
}

}  // namespace holdreturn
