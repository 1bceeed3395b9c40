#include "ledger/settings.hpp"

#include "frame/convert.hpp"
#include "frame/errors.hpp"
#include "frame/refs.hpp"

#include <cmath>

namespace ledger {
namespace {

bool within(double v, bound b) noexcept {
  return std::isfinite(v) && (b == bound::positive ? v > 0.0 : v >= 0.0);
}

const char* rule_text(bound b) noexcept {
  return b == bound::positive ? "must be finite and > 0" : "must be finite and >= 0";
}

// `arg` as a 0-d or 1-d float64 array of real numbers. New reference, or
// nullptr with TypeError naming `name`.
PyObject* as_numbers(PyObject* arg, const char* name) noexcept {
  frame::ref any = frame::ref::steal(PyArray_FromAny(arg, nullptr, 0, 0, 0, nullptr));
  if (!any) return nullptr;
  const char kind = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(any.get()))->kind;
  if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
    PyErr_Format(PyExc_TypeError, "%s must be a number or a sequence of numbers, got %.200s",
                 name, Py_TYPE(arg)->tp_name);
    return nullptr;
  }
  return PyArray_FromAny(any.get(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                         NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr);
}

}  // namespace

bool raise_value(const char* name, Py_ssize_t index, double v, const char* rule) noexcept {
  frame::ref text = frame::ref::steal(PyFloat_FromDouble(v));
  if (text) text = frame::ref::steal(PyObject_Repr(text.get()));
  if (!text) return false;
  if (index < 0)
    PyErr_Format(PyExc_ValueError, "%s is %U; %s %s", name, text.get(), name, rule);
  else
    PyErr_Format(PyExc_ValueError, "%s[%zd] is %U; %s %s", name, index, text.get(), name, rule);
  return false;
}

bool per_slot(PyObject* arg, const char* name, Py_ssize_t slots, const char* what, bound b,
              frame::storage<double>* out) noexcept {
  if (!out->allocate(slots)) return false;
  double one;
  if (PyFloat_Check(arg) || PyLong_Check(arg)) {
    if (!frame::float_call(arg, &one)) return false;
    if (!within(one, b)) return raise_value(name, -1, one, rule_text(b));
    for (Py_ssize_t k = 0; k < slots; ++k) (*out)[k] = one;
    return true;
  }
  frame::ref numbers = frame::ref::steal(as_numbers(arg, name));
  if (!numbers) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(numbers.get());
  const double* v = static_cast<const double*>(PyArray_DATA(array));
  if (PyArray_NDIM(array) == 0) {
    if (!within(v[0], b)) return raise_value(name, -1, v[0], rule_text(b));
    for (Py_ssize_t k = 0; k < slots; ++k) (*out)[k] = v[0];
    return true;
  }
  if (PyArray_NDIM(array) != 1 || PyArray_DIM(array, 0) != slots) {
    if (PyArray_NDIM(array) == 1)
      PyErr_Format(PyExc_ValueError, "%s has %zd values for %zd %s; give one number or %zd",
                   name, static_cast<Py_ssize_t>(PyArray_DIM(array, 0)), slots, what, slots);
    else
      PyErr_Format(PyExc_ValueError, "%s must be one number or %zd numbers, got %d dimensions",
                   name, slots, PyArray_NDIM(array));
    return false;
  }
  for (Py_ssize_t k = 0; k < slots; ++k) {
    if (!within(v[k], b)) return raise_value(name, k, v[k], rule_text(b));
    (*out)[k] = v[k];
  }
  return true;
}

bool check_init_cash(PyObject* given_object, float rounded) noexcept {
  if (within(rounded, bound::positive)) return true;
  double given;
  if (!frame::to_double(given_object, &given)) return false;
  if (within(given, bound::positive)) {
    frame::ref value = frame::ref::steal(PyFloat_FromDouble(given));
    if (value)
      PyErr_Format(PyExc_ValueError,
                   "init_cash %R is beyond single precision, in which the run keeps it",
                   value.get());
    return false;
  }
  return raise_value("init_cash", -1, given, rule_text(bound::positive));
}

bool leg_ratio(PyObject* arg, double ratio[2]) noexcept {
  frame::storage<double> values;
  ratio[1] = 1.0;
  if (PyFloat_Check(arg) || PyLong_Check(arg) || PyArray_IsScalar(arg, Number) ||
      (PyArray_Check(arg) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(arg)) == 0)) {
    if (!per_slot(arg, "leg_size_ratio", 1, "legs", bound::positive, &values)) return false;
    ratio[0] = values[0];
    return true;
  }
  if (!per_slot(arg, "leg_size_ratio", 2, "legs", bound::positive, &values)) return false;
  ratio[0] = values[0];
  ratio[1] = values[1];
  return true;
}

}  // namespace ledger
