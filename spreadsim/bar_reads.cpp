#include "spreadsim/bar_reads.hpp"

#include "rules/names.hpp"

namespace spreadsim {

void bar_input::open(PyObject* obj, int ndim) noexcept {
  in.open(obj);
  typed = in.typed() && in.ndim() == ndim;
}

bool object_signal(PyObject* signal, Py_ssize_t i, int op, bool* out) noexcept {
  const frame::ref item = frame::ref::steal(frame::get_item(signal, i));
  if (!item) return false;
  const int r = PyObject_RichCompareBool(item.get(), rules::names::int_zero, op);
  if (r < 0) return false;
  *out = r != 0;
  return true;
}

bool object_price(PyObject* prices, Py_ssize_t i, Py_ssize_t j, double* out) noexcept {
  const frame::ref item = frame::ref::steal(frame::get_item(prices, i, j));
  return item && frame::to_double(item.get(), out);
}

}  // namespace spreadsim
