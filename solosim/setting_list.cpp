#include "solosim/setting_list.hpp"

#include "frame/convert.hpp"
#include "frame/refs.hpp"

namespace solosim {

bool setting_list::build(PyObject* arg, Py_ssize_t m) noexcept {
  if (PyLong_Check(arg) || PyFloat_Check(arg)) {
    double v;
    if (!frame::float_call(arg, &v)) return false;
    if (m == 0) return true;
    if (!values_.allocate(m)) return false;
    for (Py_ssize_t j = 0; j < m; ++j) values_[j] = v;
    return true;
  }
  frame::ref it = frame::ref::steal(PyObject_GetIter(arg));
  if (!it) return false;
  while (PyObject* raw = PyIter_Next(it.get())) {
    frame::ref element = frame::ref::steal(raw);
    double v;
    if (!frame::float_call(element.get(), &v) || !values_.append(v)) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace solosim
