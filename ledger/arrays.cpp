#include "ledger/arrays.hpp"

#include "frame/errors.hpp"

#include <cstdio>

namespace ledger {
namespace {

// "(a, b)" or "(a,)" as Python writes a shape.
struct shape_text {
  char text[96];
  shape_text(const npy_intp* dims, int ndim) noexcept {
    int at = std::snprintf(text, sizeof text, "(");
    for (int d = 0; d < ndim && at < int(sizeof text); ++d)
      at += std::snprintf(text + at, sizeof text - at, d > 0 ? ", %zd" : "%zd",
                          static_cast<Py_ssize_t>(dims[d]));
    if (at < int(sizeof text)) std::snprintf(text + at, sizeof text - at, ndim == 1 ? ",)" : ")");
  }
};

bool real_numbers(PyArray_Descr* descr) noexcept {
  switch (descr->kind) {
    case 'b':  // bool
    case 'i':
    case 'u':
    case 'f':
      return true;
    default:
      return false;
  }
}

}  // namespace

bool input_array::take(PyObject* arg, const char* name) noexcept {
  if (arg == Py_None) return frame::raise_none_arg(name);
  // Subclasses become plain arrays: their overrides play no part.
  array_ = frame::ref::steal(PyArray_FromAny(arg, nullptr, 0, 0, NPY_ARRAY_ENSUREARRAY, nullptr));
  if (!array_) return false;
  PyArray_Descr* descr = PyArray_DESCR(array());
  if (!real_numbers(descr)) {
    frame::ref dtype = frame::ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(descr)));
    if (!dtype) return false;
    PyErr_Format(PyExc_TypeError,
                 "%s must hold real numbers (bool, integers or floats), got dtype %U", name,
                 dtype.get());
    return false;
  }
  return true;
}

bool input_array::open() noexcept {
  if (!PyArray_ISNOTSWAPPED(array())) {
    array_ = frame::ref::steal(
        PyArray_FromAny(array_.get(), nullptr, 0, 0, NPY_ARRAY_NOTSWAPPED, nullptr));
    if (!array_) return false;
  }
  view_.open(array_.get());
  if (view_.typed()) return true;
  // A dtype the typed views do not read (long double) is widened to a
  // float64 copy, as float() would read each element.
  array_ = frame::ref::steal(PyArray_FromAny(array_.get(), PyArray_DescrFromType(NPY_DOUBLE), 0,
                                             0, NPY_ARRAY_FORCECAST, nullptr));
  if (!array_) return false;
  view_.open(array_.get());
  return true;
}

bool raise_shape(const char* name, const input_array& got, const npy_intp* want,
                 int want_ndim) noexcept {
  const shape_text have(PyArray_DIMS(reinterpret_cast<PyArrayObject*>(got.object())),
                        got.ndim());
  PyErr_Format(PyExc_ValueError, "%s has shape %s; it must have shape %s", name, have.text,
               shape_text(want, want_ndim).text);
  return false;
}

bool raise_pair_dimensions(const input_array& close) noexcept {
  PyErr_Format(PyExc_ValueError,
               "close must be two-dimensional (bars x legs, shape (n, 2)), got %d dimensions",
               close.ndim());
  return false;
}

}  // namespace ledger
