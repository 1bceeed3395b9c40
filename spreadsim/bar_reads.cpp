#include "spreadsim/bar_reads.hpp"

#include "spreadsim/names.hpp"

namespace spreadsim {

void bar_input::open(PyObject* obj, int ndim) noexcept {
  in.open(obj);
  typed = in.typed() && in.ndim() == ndim;
  f64_data = nullptr;
  if (!typed) return;
  // A typed input is an exact ndarray; its buffer is the array's own memory.
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a)) return;
  f64_data = static_cast<const char*>(PyArray_DATA(a));
  for (int d = 0; d < ndim; ++d) {
    f64_shape[d] = PyArray_DIM(a, d);
    f64_strides[d] = PyArray_STRIDE(a, d);
  }
}

bool object_signal(PyObject* signal, Py_ssize_t i, int op, bool* out) noexcept {
  const frame::ref item = frame::ref::steal(frame::get_item(signal, i));
  if (!item) return false;
  const int r = PyObject_RichCompareBool(item.get(), names.zero, op);
  if (r < 0) return false;
  *out = r != 0;
  return true;
}

bool object_price(PyObject* prices, Py_ssize_t i, Py_ssize_t j, double* out) noexcept {
  const frame::ref item = frame::ref::steal(frame::get_item(prices, i, j));
  return item && frame::to_double(item.get(), out);
}

}  // namespace spreadsim
