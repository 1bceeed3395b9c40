#include "solosim/flat_args.hpp"

#include "frame/code_address.hpp"
#include "frame/convert.hpp"
#include "frame/errors.hpp"
#include "frame/refs.hpp"
#include "frame/views.hpp"
#include "rules/numpy_calls.hpp"
#include "solosim/names.hpp"

namespace solosim {

namespace {

// Appends float(item) for every item along the first axis of
// np.atleast_1d(np.asarray(element, dtype=np.float64)).
bool append_element(PyObject* element, PyObject* values) noexcept {
  frame::ref asarray = frame::ref::steal(rules::np_attr(names::asarray));
  if (!asarray) return false;
  frame::ref arr = frame::ref::steal(rules::call_with_float64(asarray.get(), element));
  if (!arr) return false;
  frame::ref atleast_1d = frame::ref::steal(rules::np_attr(names::atleast_1d));
  if (!atleast_1d) return false;
  arr = frame::ref::steal(PyObject_CallOneArg(atleast_1d.get(), arr.get()));
  if (!arr) return false;
  const Py_ssize_t len = PyObject_Size(arr.get());
  if (len < 0) return false;
  for (Py_ssize_t i = 0; i < len; ++i) {
    frame::ref item = frame::ref::steal(frame::get_item(arr.get(), i));
    if (!item) return false;
    double v;
    if (!frame::float_call(item.get(), &v)) return false;
    frame::ref f = frame::ref::steal(PyFloat_FromDouble(v));
    if (!f || PyList_Append(values, f.get()) < 0) return false;
  }
  return true;
}

PyObject* flatten(PyObject* args) noexcept {
  frame::ref values = frame::ref::steal(PyList_New(0));
  if (!values) return nullptr;
  if (args == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return nullptr;
  }
  frame::ref it = frame::ref::steal(PyObject_GetIter(args));
  if (!it) return nullptr;
  while (PyObject* raw = PyIter_Next(it.get())) {
    frame::ref element = frame::ref::steal(raw);
    if (!append_element(element.get(), values.get())) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  frame::ref array = frame::ref::steal(rules::np_attr(names::array));
  if (!array) return nullptr;
  return rules::call_with_float64(array.get(), values.get());
}

}  // namespace

PyObject* build_flat_args(PyObject* args) noexcept {
  PyObject* result = flatten(args);
  if (result == nullptr) frame::add_module_traceback("_build_flat_args");
  return result;
}

bool flat_block::build(PyObject* args) noexcept {
  frame::ref arr;
  if (args != Py_None && PyObject_Size(args) > 0) {
    arr = frame::ref::steal(build_flat_args(args));
  } else {
    if (PyErr_Occurred()) return false;  // the size query itself failed
    frame::ref shape = frame::ref::steal(PyLong_FromLong(0));
    if (!shape) return false;
    arr = frame::ref::steal(rules::np_zeros(shape.get()));
  }
  if (!arr) return false;
  frame::f64_view view;
  if (!view.acquire(arr.get(), 1, "double_t")) return false;
  len_ = view.shape(0);
  if (len_ == 0) return true;
  // A private contiguous copy: the callbacks get one plain pointer whatever
  // the strides of the array were.
  if (!values_.allocate(len_)) return false;
  for (int64_t k = 0; k < len_; ++k) values_[k] = view.get(k);
  return true;
}

bool callback_blocks::prepare(const frame::args& a, run_settings* s) noexcept {
  using namespace solo_args;
  if (!frame::check_callback_address("sl_callback_addr", a[a_sl_callback_addr].i64) ||
      !frame::check_callback_address("tp_callback_addr", a[a_tp_callback_addr].i64) ||
      !sl_.build(a[a_sl_callback_args].obj) || !tp_.build(a[a_tp_callback_args].obj))
    return false;
  s->sl_args = sl_.data();
  s->sl_args_len = sl_.size();
  s->tp_args = tp_.data();
  s->tp_args_len = tp_.size();
  return true;
}

}  // namespace solosim
