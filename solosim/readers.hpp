// How the bar loop reads entries, exits and prices, as two policies of one
// loop. typed_inputs serves runs whose three inputs are exact 2-D ndarrays
// of real numeric dtypes: every element is read through a held buffer and
// widened to double, which gives the same comparisons, float() and int()
// results as Python's reads of the NumPy scalars. general_inputs serves any
// mix: each input is typed or read through Python indexing, one element at
// a time, with Python's comparison and conversion semantics.
#pragma once

#include "frame/convert.hpp"
#include "frame/inputs.hpp"
#include "frame/refs.hpp"
#include "rules/names.hpp"

#include <cstdint>

namespace solosim {

// A typed input the loop may read without Python: an exact 2-D ndarray of a
// real numeric dtype. Others go through Python indexing.
inline bool typed_2d(const frame::numeric_input& in) noexcept {
  return in.typed() && in.ndim() == 2;
}

// o[i, j] read through Python after a typed read missed: raises NumPy's own
// IndexError. New reference or nullptr.
[[gnu::cold, gnu::noinline]] inline PyObject* read_missed(const frame::numeric_input& in,
                                                          int32_t i, int32_t j) noexcept {
  return frame::get_item(in.object(), i, j);
}

// Signals read as doubles: the comparisons, float() and int() of the
// widened value (typed_inputs here, and other loops' typed readers).
struct double_signals {
  using signal = double;

  static bool nonzero(const signal& s, bool* out) noexcept {
    *out = s != 0.0;
    return true;
  }
  static bool equals(const signal& s, int k, bool* out) noexcept {
    *out = s == static_cast<double>(k);
    return true;
  }
  static signal zero() noexcept { return 0.0; }
  static double value_of(const signal& s) noexcept { return s; }
  static bool to_float(const signal& s, double* out) noexcept {
    *out = s;
    return true;
  }
  static bool to_int32(const signal& s, int32_t* out) noexcept {
    return frame::double_to_int32(s, out);
  }
};

struct typed_inputs : double_signals {
  const frame::numeric_input& entries;
  const frame::numeric_input& exits;
  const frame::numeric_input& prices;

  static bool read(const frame::numeric_input& in, int32_t i, int32_t j, double* out) noexcept {
    if (in.get(i, j, out)) [[likely]]
      return true;
    // Out of bounds on a 2-D array: Python indexing raises. Should it ever
    // return an element, it is taken by float conversion.
    frame::ref o = frame::ref::steal(read_missed(in, i, j));
    return o && frame::to_double(o.get(), out);
  }

  bool price(int32_t i, int32_t j, double* out) const noexcept { return read(prices, i, j, out); }
  bool entry(int32_t i, int32_t j, signal* out) const noexcept { return read(entries, i, j, out); }
  bool exit(int32_t i, int32_t j, signal* out) const noexcept { return read(exits, i, j, out); }
};

// A signal element of the general path: a typed read's value (obj null), or
// the Python object an indexing returned. Exact floats are unboxed: their
// comparisons, float() and int() are those of the double.
struct py_signal {
  double v = 0.0;
  frame::ref obj;
};

struct general_inputs {
  using signal = py_signal;

  const frame::numeric_input& entries;
  const frame::numeric_input& exits;
  const frame::numeric_input& prices;

  static PyObject* item(const frame::numeric_input& in, int32_t i, int32_t j) noexcept {
    return typed_2d(in) ? read_missed(in, i, j) : frame::get_item(in.object(), i, j);
  }

  static bool read_signal(const frame::numeric_input& in, int32_t i, int32_t j,
                          signal* out) noexcept {
    out->obj.reset();
    if (typed_2d(in) && in.get(i, j, &out->v)) return true;
    PyObject* o = item(in, i, j);
    if (o == nullptr) return false;
    if (PyFloat_CheckExact(o)) {
      out->v = PyFloat_AS_DOUBLE(o);
      Py_DECREF(o);
    } else {
      out->obj.reset(o);
    }
    return true;
  }

  bool price(int32_t i, int32_t j, double* out) const noexcept {
    if (typed_2d(prices) && prices.get(i, j, out)) return true;
    frame::ref o = frame::ref::steal(item(prices, i, j));
    return o && frame::to_double(o.get(), out);
  }
  bool entry(int32_t i, int32_t j, signal* out) const noexcept {
    return read_signal(entries, i, j, out);
  }
  bool exit(int32_t i, int32_t j, signal* out) const noexcept {
    return read_signal(exits, i, j, out);
  }

  static bool compare(const signal& s, PyObject* k, int op, bool* out) noexcept {
    const int r = PyObject_RichCompareBool(s.obj.get(), k, op);
    if (r < 0) return false;
    *out = r != 0;
    return true;
  }
  static bool nonzero(const signal& s, bool* out) noexcept {
    if (!s.obj) {
      *out = s.v != 0.0;
      return true;
    }
    return compare(s, rules::names::int_zero, Py_NE, out);
  }
  static bool equals(const signal& s, int k, bool* out) noexcept {
    if (!s.obj) {
      *out = s.v == static_cast<double>(k);
      return true;
    }
    return compare(s, k == 1 ? rules::names::int_one : rules::names::int_minus_one, Py_EQ, out);
  }
  static signal zero() noexcept { return py_signal{}; }
  static bool to_float(const signal& s, double* out) noexcept {
    if (!s.obj) {
      *out = s.v;
      return true;
    }
    return frame::float_call(s.obj.get(), out);
  }
  static bool to_int32(const signal& s, int32_t* out) noexcept {
    return s.obj ? frame::to_int32(s.obj.get(), out) : frame::double_to_int32(s.v, out);
  }
};

}  // namespace solosim
