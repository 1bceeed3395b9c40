// How the pair engine reads its per-bar inputs: entries[i] and exits[i]
// compared with 0, and prices[i, j] as a double.
//
// An exact 1-D (signals) or 2-D (prices) ndarray of a real numeric dtype is
// read through a typed view; anything else through Python indexing, with the
// comparison made between Python objects. Both give the same answers for
// numeric arrays. A typed read outside the view falls back to Python
// indexing, which raises NumPy's own IndexError.
#pragma once

#include "frame/binding.hpp"

#include <cstring>

namespace spreadsim {

// One engine input with its read path decided once per call.
struct bar_input {
  frame::numeric_input in;
  bool typed = false;

  void open(PyObject* obj, int ndim) noexcept;
};

// `op` is Py_NE, Py_GT or Py_LT: the element against 0.
inline bool compare_with_zero(double v, int op) noexcept {
  return op == Py_NE ? v != 0.0 : op == Py_GT ? v > 0.0 : v < 0.0;
}

// Python indexing paths; false with the exception set.
bool object_signal(PyObject* signal, Py_ssize_t i, int op, bool* out) noexcept;
bool object_price(PyObject* prices, Py_ssize_t i, Py_ssize_t j, double* out) noexcept;

// Where a typed element comes from: the in-place float64 view, the frame's
// widening typed view, or (per input) whichever of them applies.
struct f64_elements {
  static bool get(const bar_input& s, Py_ssize_t i, double* out) noexcept {
    return s.in.get<true>(i, out);
  }
  static bool get(const bar_input& s, Py_ssize_t i, Py_ssize_t j, double* out) noexcept {
    return s.in.get<true>(i, j, out);
  }
};

struct typed_elements {
  static bool get(const bar_input& s, Py_ssize_t i, double* out) noexcept {
    return s.in.get(i, out);
  }
  static bool get(const bar_input& s, Py_ssize_t i, Py_ssize_t j, double* out) noexcept {
    return s.in.get(i, j, out);
  }
};

struct any_elements {
  static bool get(const bar_input& s, Py_ssize_t i, double* out) noexcept {
    return s.typed && s.in.get(i, out);
  }
  static bool get(const bar_input& s, Py_ssize_t i, Py_ssize_t j, double* out) noexcept {
    return s.typed && s.in.get(i, j, out);
  }
};

// The engine's reader policy: a typed element when there is one, else Python
// indexing (which also raises NumPy's IndexError for a typed read outside
// the view).
template <class Elements>
struct bar_reads {
  static bool signal(const bar_input& s, Py_ssize_t i, int op, bool* out) noexcept {
    double v;
    if (Elements::get(s, i, &v)) [[likely]] {
      *out = compare_with_zero(v, op);
      return true;
    }
    return object_signal(s.in.object(), i, op, out);
  }
  static bool price(const bar_input& p, Py_ssize_t i, Py_ssize_t j, double* out) noexcept {
    if (Elements::get(p, i, j, out)) [[likely]]
      return true;
    return object_price(p.in.object(), i, j, out);
  }
};

// All three inputs native float64; all three typed; anything else.
using f64_reads = bar_reads<f64_elements>;
using typed_reads = bar_reads<typed_elements>;
using any_reads = bar_reads<any_elements>;

}  // namespace spreadsim
