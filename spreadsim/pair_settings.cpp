#include "spreadsim/pair_settings.hpp"

namespace spreadsim {

namespace {

// float(o) with spreadsim's strict check of a __float__ result.
bool to_float(PyObject* o, double* out) noexcept { return frame::float_call(o, out, true); }

bool item_to_float(PyObject* x, Py_ssize_t i, double* out) noexcept {
  const frame::ref item = frame::ref::steal(frame::get_item(x, i));
  return item && to_float(item.get(), out);
}

}  // namespace

bool normalise_leg_setting(PyObject* x, leg_values* out) noexcept {
  if (PyLong_Check(x) || PyFloat_Check(x)) {
    // float(x) is evaluated once per element, as the list is written out.
    if (!to_float(x, &out->v[0]) || !to_float(x, &out->v[1])) return false;
    out->len = 2;
    return true;
  }
  const Py_ssize_t len = PyObject_Size(x);
  if (len < 0) return false;
  if (len == 1) {
    if (!item_to_float(x, 0, &out->v[0]) || !item_to_float(x, 0, &out->v[1])) return false;
    out->len = 2;
    return true;
  }
  // Every element is converted, in iteration order, even those never used.
  const frame::ref it = frame::ref::steal(PyObject_GetIter(x));
  if (!it) return false;
  Py_ssize_t count = 0;
  while (const frame::ref e = frame::ref::steal(PyIter_Next(it.get()))) {
    double value;
    if (!to_float(e.get(), &value)) return false;
    if (count < 2) out->v[count] = value;
    ++count;
  }
  if (PyErr_Occurred()) return false;
  out->len = count;
  return true;
}

bool read_leg_size_ratio(PyObject* x, double ratio[2]) noexcept {
  ratio[0] = 1.0;
  ratio[1] = 1.0;
  if (PyLong_Check(x) || PyFloat_Check(x)) return to_float(x, &ratio[0]);
  if (!PyList_Check(x) && !PyTuple_Check(x)) return true;
  if (!item_to_float(x, 0, &ratio[0])) return false;
  const Py_ssize_t len = PyObject_Size(x);
  if (len < 0) return false;
  return len < 2 || item_to_float(x, 1, &ratio[1]);
}

}  // namespace spreadsim
