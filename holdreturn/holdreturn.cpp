#include "holdreturn/holdreturn.hpp"

#include "holdreturn/engine.hpp"

#include <algorithm>
#include <climits>

namespace holdreturn {
namespace {

bool find_signals(const frame::f64_view& signals, int32_t n, signal_list* out,
                  frame::interrupt_budget* budget) noexcept {
  if (!out->index.allocate_for_overwrite(n) || !out->direction.allocate_for_overwrite(n))
    return false;
  const price_series values{signals.bytes(), signals.stride(0)};
  int32_t* index = out->index.get();
  int8_t* direction = out->direction.get();
  int32_t count = 0;
  // Branch-free: every bar is written at the next free slot, which only
  // advances on a signal (0, -0 and NaN are none).
  for (int64_t from = 0; from < n; from += frame::interrupt_period) {
    const int32_t to = static_cast<int32_t>(std::min<int64_t>(n, from + frame::interrupt_period));
    for (int32_t j = static_cast<int32_t>(from); j < to; ++j) {
      const double v = values.at(j);
      const int8_t d = static_cast<int8_t>((v > 0.0) - (v < 0.0));
      index[count] = j;
      direction[count] = d;
      count += d != 0;
    }
    if (!budget->spend(to - from)) return false;
  }
  out->count = count;
  return true;
}

PyObject* new_matrix(int32_t rows, int32_t cols, bool zeroed) noexcept {
  npy_intp dims[2] = {rows, cols};
  return zeroed ? PyArray_ZEROS(2, dims, NPY_DOUBLE, 0) : PyArray_EMPTY(2, dims, NPY_DOUBLE, 0);
}

double* matrix_data(PyObject* a) noexcept {
  return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)));
}

PyObject* make_result(PyObject* long_profits, PyObject* short_profits, PyObject* indices,
                      PyObject* directions, PyObject* curves, PyObject* bars) noexcept {
  frame::ref result = frame::ref::steal(PyDict_New());
  if (!result || PyDict_SetItem(result.get(), names::long_profits, long_profits) < 0 ||
      PyDict_SetItem(result.get(), names::short_profits, short_profits) < 0 ||
      PyDict_SetItem(result.get(), names::signal_indices, indices) < 0 ||
      PyDict_SetItem(result.get(), names::signal_directions, directions) < 0 ||
      PyDict_SetItem(result.get(), names::cum_profit, curves) < 0 ||
      PyDict_SetItem(result.get(), names::bars, bars) < 0)
    return nullptr;
  return result.release();
}

PyObject* no_signal_result(int32_t m, PyObject* bars) noexcept {
  frame::ref long_profits = frame::ref::steal(new_matrix(0, m, true));
  frame::ref short_profits = frame::ref::steal(new_matrix(0, m, true));
  frame::ref indices = frame::ref::steal(PyList_New(0));
  frame::ref directions = frame::ref::steal(PyList_New(0));
  frame::ref curves = frame::ref::steal(PyList_New(0));
  if (!long_profits || !short_profits || !indices || !directions || !curves) return nullptr;
  return make_result(long_profits.get(), short_profits.get(), indices.get(), directions.get(),
                     curves.get(), bars);
}

// The signal positions and directions as lists of Python ints.
bool signal_lists(const signal_list& signals, frame::ref* indices,
                  frame::ref* directions) noexcept {
  *indices = frame::ref::steal(PyList_New(signals.count));
  *directions = frame::ref::steal(PyList_New(signals.count));
  if (!*indices || !*directions) return false;
  for (int32_t j = 0; j < signals.count; ++j) {
    PyObject* index = PyLong_FromLong(signals.index[j]);
    PyObject* direction = PyLong_FromLong(signals.direction[j]);
    // SET_ITEM steals even a null item; the lists release what they hold.
    PyList_SET_ITEM(indices->get(), j, index);
    PyList_SET_ITEM(directions->get(), j, direction);
    if (index == nullptr || direction == nullptr) return false;
  }
  return true;
}

// Converts every holding length once and orders them by length for the
// single walk. Only for lengths whose conversion runs no Python code: then
// converting up front is indistinguishable from converting at each use, and
// the first failing element is the one the call would stop at either way.
bool prepare_holds(PyObject* bars, int32_t m, frame::storage<int32_t>* holds,
                   frame::storage<int32_t>* order) noexcept {
  if (!holds->allocate_for_overwrite(m) || !order->allocate_for_overwrite(m)) return false;
  for (int32_t k = 0; k < m; ++k) {
    if (!hold_length(bars, k, &(*holds)[k])) return false;
    (*order)[k] = k;
  }
  const int32_t* h = holds->get();
  std::sort(order->get(), order->get() + m, [h](int32_t a, int32_t b) { return h[a] < h[b]; });
  return true;
}

}  // namespace

PyObject* calc_holdreturn(PyObject* signals, const frame::f64_view& signals_view, PyObject* close,
                          const frame::f64_view& close_view, PyObject* bars) noexcept {
  if (signals == Py_None) {
    frame::raise_none_arg("signals");
    return nullptr;
  }
  // Counts are 32-bit; a longer input is refused rather than wrapped.
  if (signals_view.shape(0) > INT32_MAX) {
    frame::raise_too_many("bars", signals_view.shape(0));
    return nullptr;
  }
  const Py_ssize_t m_size = PyObject_Length(bars);
  if (m_size < 0) return nullptr;
  if (m_size > INT32_MAX) {
    frame::raise_too_many("holding lengths", m_size);
    return nullptr;
  }
  const int32_t n = static_cast<int32_t>(signals_view.shape(0));
  const int32_t m = static_cast<int32_t>(m_size);

  frame::interrupt_budget budget;
  signal_list found;
  if (!find_signals(signals_view, n, &found, &budget)) return nullptr;
  if (found.count == 0) return no_signal_result(m, bars);

  // The walks read close by stride up to bar n-1; a shorter close is refused
  // before any of it is read. A None close fails at the first entry price.
  if (close != Py_None && close_view.shape(0) < n) {
    PyErr_Format(PyExc_ValueError,
                 "close must have at least as many elements as signals (got %zd, need %d)",
                 close_view.shape(0), n);
    return nullptr;
  }

  frame::ref long_profits = frame::ref::steal(new_matrix(found.count, m, false));
  frame::ref short_profits = frame::ref::steal(new_matrix(found.count, m, false));
  if (!long_profits || !short_profits) return nullptr;
  const return_matrices ratios{matrix_data(long_profits.get()), matrix_data(short_profits.get()),
                               m};
  const price_series prices{close_view.bytes(), close_view.stride(0)};

  frame::storage<int32_t> holds;
  frame::storage<int32_t> order;
  const bool one_walk = entry_reads_buffer(close) && holds_convert_natively(bars, m);
  if (one_walk) {
    if (!prepare_holds(bars, m, &holds, &order)) return nullptr;
    if (!returns_one_walk(prices, n, found, holds.get(), order.get(), ratios, &budget))
      return nullptr;
  } else if (!returns_in_call_order(close, prices, n, found, bars, ratios, &budget)) {
    return nullptr;
  }

  // The curves: on the written-order path each length is converted again,
  // all of them before any curve exists, so no Python code runs while the
  // curve list is half built or the curve block could be touched.
  if (!one_walk) {
    if (!holds.allocate_for_overwrite(m)) return nullptr;
    for (int32_t k = 0; k < m; ++k)
      if (!hold_length(bars, k, &holds[k])) return nullptr;
  }
  frame::storage<double*> curve_data;
  // Filled by appending: a list with empty slots must never be reachable
  // (an allocation may run the collector and its Python callbacks).
  frame::ref curves = frame::ref::steal(PyList_New(0));
  if (!curves || !curve_data.allocate_for_overwrite(m)) return nullptr;
  // One (m, n) block holds every curve, each curve a row of it: one large
  // allocation faults in far fewer pages than m separate ones.
  if (m > 0) {
    frame::ref block = frame::ref::steal(new_matrix(m, n, false));
    if (!block) return nullptr;
    for (int32_t k = 0; k < m; ++k) {
      frame::ref curve = frame::ref::steal(PySequence_GetItem(block.get(), k));
      if (!curve || PyList_Append(curves.get(), curve.get()) < 0) return nullptr;
      curve_data[k] = matrix_data(curve.get());
    }
  }
  if (!write_curves(curve_data.get(), holds.get(), m, n, found, ratios, &budget)) return nullptr;

  frame::ref indices;
  frame::ref directions;
  if (!signal_lists(found, &indices, &directions)) return nullptr;
  return make_result(long_profits.get(), short_profits.get(), indices.get(), directions.get(),
                     curves.get(), bars);
}

}  // namespace holdreturn
