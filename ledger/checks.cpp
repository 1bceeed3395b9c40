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

// A high (or low) is a valid price on the right side of the bar's open and
// close.
template <bool High>
bool within_bar(double x, double open, double close) noexcept {
  if (High) return valid_price{}(x) & (x >= open) & (x >= close);
  return valid_price{}(x) & (x <= open) & (x <= close);
}

template <bool High>
bool bar_range_passes(const checked_array& c, Py_ssize_t from, Py_ssize_t to) noexcept {
  const frame::numeric_input& x = c.array->view();
  const frame::numeric_input& o = c.open->view();
  const frame::numeric_input& k = c.close->view();
  const Py_ssize_t width = x.shape(1);
  const auto f64 = frame::element::float64;
  bool all = true;
  if (x.contiguous_rows() && o.contiguous_rows() && k.contiguous_rows() && x.kind() == f64 &&
      o.kind() == f64 && k.kind() == f64) {
    const char* xp = x.row(from);
    const char* op = o.row(from);
    const char* kp = k.row(from);
    const Py_ssize_t count = (to - from) * width;
    for (Py_ssize_t e = 0; e < count; ++e) {
      const Py_ssize_t at = e * Py_ssize_t{sizeof(double)};
      all &= within_bar<High>(frame::load_unaligned<double>(xp + at),
                              frame::load_unaligned<double>(op + at),
                              frame::load_unaligned<double>(kp + at));
    }
    return all;
  }
  for (Py_ssize_t i = from; i < to; ++i)
    for (Py_ssize_t j = 0; j < width; ++j)
      all &= within_bar<High>(element(x, i, j), element(o, i, j), element(k, i, j));
  return all;
}

bool array_range_passes(const checked_array& c, Py_ssize_t from, Py_ssize_t to) noexcept {
  const frame::numeric_input& in = c.array->view();
  switch (c.rule) {
    case value_rule::signal: return range_passes(in, from, to, valid_signal{});
    case value_rule::price: return range_passes(in, from, to, valid_price{});
    case value_rule::high: return bar_range_passes<true>(c, from, to);
    case value_rule::low: return bar_range_passes<false>(c, from, to);
  }
  return false;
}

bool value_passes(const checked_array& c, Py_ssize_t i, Py_ssize_t j) noexcept {
  const double v = element(c.array->view(), i, j);
  switch (c.rule) {
    case value_rule::signal: return valid_signal{}(v);
    case value_rule::price: return valid_price{}(v);
    case value_rule::high:
      return within_bar<true>(v, element(c.open->view(), i, j), element(c.close->view(), i, j));
    case value_rule::low:
      return within_bar<false>(v, element(c.open->view(), i, j), element(c.close->view(), i, j));
  }
  return false;
}

struct offending_value {
  bool found = false;
  Py_ssize_t i = 0, j = 0;
  double value = 0.0;
  double open = 0.0, close = 0.0;  // the bar's, for a high or low
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
        if (!value_passes(c, i, j)) {
          *bad = {true, i, j, element(in, i, j)};
          if (c.open != nullptr) {
            bad->open = element(c.open->view(), i, j);
            bad->close = element(c.close->view(), i, j);
          }
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
  if (c.open != nullptr && valid_price{}(bad.value)) {
    // The bar's extreme it falls short of: the open when that is beyond
    // the close, else the close.
    const bool high = c.rule == value_rule::high;
    const bool open_side = high ? bad.open > bad.close : bad.open < bad.close;
    frame::ref bar = frame::ref::steal(PyFloat_FromDouble(open_side ? bad.open : bad.close));
    if (bar) bar = frame::ref::steal(PyObject_Repr(bar.get()));
    if (!bar) return;
    PyErr_Format(PyExc_ValueError, "%s[%zd, %zd] is %U, %s the bar's %s %U", c.name, bad.i,
                 bad.j, text.get(), high ? "below" : "above", open_side ? "open" : "close",
                 bar.get());
    return;
  }
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
