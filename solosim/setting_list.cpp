#include "solosim/setting_list.hpp"

#include "frame/convert.hpp"
#include "frame/refs.hpp"

namespace solosim {

bool setting_list::push(double v) noexcept {
  if (len_ == cap_) {
    const Py_ssize_t cap = cap_ < 8 ? 8 : cap_ * 2;
    auto* grown = static_cast<double*>(PyMem_Realloc(data_, cap * sizeof(double)));
    if (grown == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    data_ = grown;
    cap_ = cap;
  }
  data_[len_++] = v;
  return true;
}

bool setting_list::build(PyObject* arg, Py_ssize_t m) noexcept {
  if (PyLong_Check(arg) || PyFloat_Check(arg)) {
    double v;
    if (!frame::float_call(arg, &v)) return false;
    if (m == 0) return true;
    data_ = static_cast<double*>(PyMem_Malloc(m * sizeof(double)));
    if (data_ == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    for (Py_ssize_t j = 0; j < m; ++j) data_[j] = v;
    len_ = cap_ = m;
    return true;
  }
  frame::ref it = frame::ref::steal(PyObject_GetIter(arg));
  if (!it) return false;
  while (PyObject* raw = PyIter_Next(it.get())) {
    frame::ref element = frame::ref::steal(raw);
    double v;
    if (!frame::float_call(element.get(), &v) || !push(v)) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace solosim
