#include "rules/numpy_calls.hpp"

#include "frame/convert.hpp"
#include "frame/refs.hpp"
#include "rules/names.hpp"

namespace rules {

PyObject* np_attr(PyObject* name) noexcept {
  frame::ref np = frame::ref::steal(frame::module_lookup(names::np));
  if (!np) return nullptr;
  return PyObject_GetAttr(np.get(), name);
}

PyObject* call_with_float64(PyObject* fn, PyObject* arg) noexcept {
  frame::ref dtype = frame::ref::steal(np_attr(names::float64));
  if (!dtype) return nullptr;
  PyObject* call_args[] = {arg, dtype.get()};
  return PyObject_Vectorcall(fn, call_args, 1, names::dtype_kwnames);
}

PyObject* np_zeros(PyObject* shape) noexcept {
  frame::ref zeros = frame::ref::steal(np_attr(names::zeros));
  if (!zeros) return nullptr;
  return call_with_float64(zeros.get(), shape);
}

}  // namespace rules
