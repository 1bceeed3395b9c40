#include "ledger/checks.hpp"

#include "frame/interrupts.hpp"
#include "frame/refs.hpp"
#include "frame/unaligned.hpp"
#include "ledger/arrays.hpp"

#include <cmath>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ledger {
namespace {

// Each test for one value, and (with SSE2, on every x86-64) for two lanes
// at once as a lane mask.
struct valid_signal {
  bool operator()(double v) const noexcept { return (v == 0.0) | (v == 1.0) | (v == -1.0); }
#if defined(__SSE2__)
  __m128d operator()(__m128d v) const noexcept {
    const __m128d zero_or_one =
        _mm_or_pd(_mm_cmpeq_pd(v, _mm_set1_pd(0.0)), _mm_cmpeq_pd(v, _mm_set1_pd(1.0)));
    return _mm_or_pd(zero_or_one, _mm_cmpeq_pd(v, _mm_set1_pd(-1.0)));
  }
#endif
};
struct valid_price {
  bool operator()(double v) const noexcept { return (v > 0.0) & (v < HUGE_VAL); }
#if defined(__SSE2__)
  __m128d operator()(__m128d v) const noexcept {
    return _mm_and_pd(_mm_cmpgt_pd(v, _mm_setzero_pd()), _mm_cmplt_pd(v, _mm_set1_pd(HUGE_VAL)));
  }
#endif
};

// `count` float64 values from `p`, four at a time with no early exit.
template <class Test>
bool span_passes(const char* p, Py_ssize_t count, Test test) noexcept {
  Py_ssize_t k = 0;
  bool pass = true;
#if defined(__SSE2__)
  __m128d low = _mm_castsi128_pd(_mm_set1_epi32(-1)), high = low;
  for (; k + 4 <= count; k += 4) {
    low = _mm_and_pd(low, test(_mm_loadu_pd(reinterpret_cast<const double*>(p) + k)));
    high = _mm_and_pd(high, test(_mm_loadu_pd(reinterpret_cast<const double*>(p) + k + 2)));
  }
  pass = _mm_movemask_pd(_mm_and_pd(low, high)) == 3;
#endif
  for (; k < count; ++k)
    pass &= test(frame::load_unaligned<double>(p + k * Py_ssize_t{sizeof(double)}));
  return pass;
}

inline double element(const frame::numeric_input& in, Py_ssize_t i, Py_ssize_t j) noexcept {
  double v = 0.0;
  if (in.ndim() == 2)
    in.get(i, j, &v);
  else
    in.get(i, &v);
  return v;
}

// The same for int8 and bool elements, whose loops the compiler vectorises.
bool int8_span_passes(const char* p, Py_ssize_t count, value_rule rule) noexcept {
  const auto* v = reinterpret_cast<const int8_t*>(p);
  int bad = 0;
  if (rule == value_rule::signal)
    for (Py_ssize_t k = 0; k < count; ++k) bad |= (v[k] < -1) | (v[k] > 1);
  else
    for (Py_ssize_t k = 0; k < count; ++k) bad |= v[k] <= 0;
  return bad == 0;
}

bool bool_span_passes(const char* p, Py_ssize_t count, value_rule rule) noexcept {
  if (rule == value_rule::signal) return true;  // False and True are 0 and 1
  const auto* v = reinterpret_cast<const uint8_t*>(p);
  int bad = 0;
  for (Py_ssize_t k = 0; k < count; ++k) bad |= v[k] == 0;
  return bad == 0;
}

template <class Test>
bool range_passes(const frame::numeric_input& in, Py_ssize_t from, Py_ssize_t to,
                  Test test) noexcept {
  const Py_ssize_t width = in.ndim() == 2 ? in.shape(1) : 1;
  bool all = true;
  if (in.contiguous_rows()) {
    const Py_ssize_t count = (to - from) * width;
    const value_rule rule =
        std::is_same_v<Test, valid_signal> ? value_rule::signal : value_rule::price;
    switch (in.kind()) {
      case frame::element::float64: return span_passes(in.row(from), count, test);
      case frame::element::int8: return int8_span_passes(in.row(from), count, rule);
      case frame::element::boolean: return bool_span_passes(in.row(from), count, rule);
      default: break;
    }
  }
  for (Py_ssize_t i = from; i < to; ++i)
    for (Py_ssize_t j = 0; j < width; ++j) all &= test(element(in, i, j));
  return all;
}

bool array_range_passes(const checked_array& c, Py_ssize_t from, Py_ssize_t to) noexcept {
  const frame::numeric_input& in = c.array->view();
  return c.rule == value_rule::signal ? range_passes(in, from, to, valid_signal{})
                                      : range_passes(in, from, to, valid_price{});
}

struct offending_value {
  bool found = false;
  Py_ssize_t i = 0, j = 0;
  double value = 0.0;
};

// The first offending element of one array in row-major order, checking
// for pending signals on the way. False when a handler raised.
bool find_first(const checked_array& c, frame::lock_released& lock,
                offending_value* bad) noexcept {
  const frame::numeric_input& in = c.array->view();
  const Py_ssize_t rows = in.shape(0);
  const Py_ssize_t width = in.ndim() == 2 ? in.shape(1) : 1;
  frame::interrupt_budget budget;
  for (Py_ssize_t i = 0; i < rows; ++i) {
    if (!array_range_passes(c, i, i + 1)) {
      for (Py_ssize_t j = 0; j < width; ++j) {
        const double v = element(in, i, j);
        if (!(c.rule == value_rule::signal ? valid_signal{}(v) : valid_price{}(v))) {
          *bad = {true, i, j, v};
          return true;
        }
      }
    }
    if (budget.due(width) && !lock.check_interrupts()) return false;
  }
  return true;
}

void raise_offending(const checked_array& c, const offending_value& bad) noexcept {
  PyErr_Clear();  // an offending value is the call's error, not the run's
  frame::ref text = frame::ref::steal(PyFloat_FromDouble(bad.value));
  if (text) text = frame::ref::steal(PyObject_Repr(text.get()));
  if (!text) return;
  const char* what = c.rule == value_rule::signal ? "signals must be -1, 0 or 1"
                                                  : "prices must be finite and > 0";
  if (c.array->ndim() == 2)
    PyErr_Format(PyExc_ValueError, "%s[%zd, %zd] is %U; %s", c.name, bad.i, bad.j, text.get(),
                 what);
  else
    PyErr_Format(PyExc_ValueError, "%s[%zd] is %U; %s", c.name, bad.i, text.get(), what);
}

}  // namespace

bool value_checks::rows_pass(Py_ssize_t from, Py_ssize_t to) const noexcept {
  bool all = true;
  for (int k = 0; k < count_; ++k)
    if (arrays_[k].array != nullptr) all &= array_range_passes(arrays_[k], from, to);
  return all;
}

value_checks::outcome value_checks::raise_first(frame::lock_released& lock) const noexcept {
  for (int k = 0; k < count_; ++k) {
    const checked_array& c = arrays_[k];
    if (c.array == nullptr) continue;
    offending_value bad;
    if (!find_first(c, lock, &bad)) return outcome::raised;
    if (bad.found) {
      lock.locked([&] { raise_offending(c, bad); });
      return outcome::raised;
    }
  }
  return outcome::clean;
}

}  // namespace ledger
