#include "holdreturn/walk.hpp"

namespace holdreturn {
namespace {

bool read_entry(PyObject* close_obj, const price_series& close, bool from_buffer, int64_t at,
                double* open) noexcept {
  if (from_buffer) {
    *open = close.at(at);
    return true;
  }
  frame::ref item = frame::ref::steal(frame::get_item(close_obj, at));
  return item && frame::to_double(item.get(), open);
}

}  // namespace

bool entry_reads_buffer(PyObject* close) noexcept {
  PyTypeObject* type = Py_TYPE(close);
  PyTypeObject* ndarray = frame::ndarray_type();
  if (type == ndarray) return true;
  if (!PyType_IsSubtype(type, ndarray)) return false;
  // A subclass may override indexing or the buffer; then they can differ.
  return type->tp_as_mapping->mp_subscript == ndarray->tp_as_mapping->mp_subscript &&
         type->tp_as_buffer->bf_getbuffer == ndarray->tp_as_buffer->bf_getbuffer;
}

bool returns_in_call_order(PyObject* close_obj, const price_series& close, int32_t n,
                           const signal_list& signals, PyObject* bars,
                           const return_matrices& out, frame::interrupt_budget* budget) noexcept {
  const bool from_buffer = entry_reads_buffer(close_obj);
  const int64_t last = n - 1;
  for (int32_t i = 0; i < signals.count; ++i) {
    const int64_t sig = signals.index[i];
    double open;
    if (!read_entry(close_obj, close, from_buffer, sig, &open)) return false;
    if (!valid_entry(open)) {
      mark_invalid(out, i);
      continue;
    }
    for (int32_t k = 0; k < out.m; ++k) {
      int32_t hold;
      if (!hold_length(bars, k, &hold)) return false;
      int64_t end = sig + hold;
      if (end > last) end = last;
      double long_ratio = 1.0;
      double short_ratio = 1.0;
      if (!hold_bars(close, sig + 1, end, open, &long_ratio, &short_ratio, budget)) return false;
      out.long_row(i)[k] = long_ratio;
      out.short_row(i)[k] = short_ratio;
    }
  }
  return true;
}

}  // namespace holdreturn
