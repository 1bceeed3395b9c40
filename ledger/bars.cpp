#include "ledger/bars.hpp"

#include <cstring>

namespace ledger {
namespace {

// Which of two allowed strings `arg` equals: 0, 1, or -1 (no exception).
int choice(PyObject* arg, const char* first, const char* second) noexcept {
  if (!PyUnicode_Check(arg)) return -1;
  if (PyUnicode_CompareWithASCIIString(arg, first) == 0) return 0;
  if (PyUnicode_CompareWithASCIIString(arg, second) == 0) return 1;
  return -1;
}

bool raise_choice(const char* name, const char* first, const char* second,
                  PyObject* got) noexcept {
  PyErr_Format(PyExc_ValueError, "%s must be '%s' or '%s', got %R", name, first, second, got);
  return false;
}

}  // namespace

bool take_bars(PyObject* open, PyObject* high, PyObject* low, const input_array& close,
               bar_arrays* out) noexcept {
  PyObject* const given[3] = {open, high, low};
  const char* const names[3] = {"open", "high", "low"};
  int count = 0;
  for (PyObject* g : given) count += g != Py_None;
  if (count == 0) return true;
  if (count < 3) {
    char listed[32] = "";
    for (int k = 0; k < 3; ++k) {
      if (given[k] == Py_None) continue;
      if (listed[0] != '\0') std::strcat(listed, " and ");
      std::strcat(listed, names[k]);
    }
    PyErr_Format(PyExc_ValueError, "give all three of open, high and low, or none: got %s only",
                 listed);
    return false;
  }
  input_array* const arrays[3] = {&out->open, &out->high, &out->low};
  const npy_intp shape[2] = {close.shape(0), close.shape(1)};
  for (int k = 0; k < 3; ++k) {
    input_array& x = *arrays[k];
    if (!x.take(given[k], names[k])) return false;
    if (!(x.ndim() == 2 && x.shape(0) == shape[0] && x.shape(1) == shape[1]))
      return raise_shape(names[k], x, shape, 2);
    if (!x.open()) return false;
  }
  out->given = true;
  return true;
}

bool read_choices(PyObject* both_hit, PyObject* opposite_entry, bool* take_profit_first,
                  bool* reverse) noexcept {
  const int hit = choice(both_hit, "stop_loss", "take_profit");
  if (hit < 0) return raise_choice("both_hit", "stop_loss", "take_profit", both_hit);
  const int entry = choice(opposite_entry, "ignore", "reverse");
  if (entry < 0) return raise_choice("opposite_entry", "ignore", "reverse", opposite_entry);
  *take_profit_first = hit == 1;
  *reverse = entry == 1;
  return true;
}

bool read_fill_at(PyObject* fill_at, const bar_arrays& bars, bool prices_given,
                  bool* at_open) noexcept {
  const int at = choice(fill_at, "prices", "open");
  if (at < 0) return raise_choice("fill_at", "prices", "open", fill_at);
  if (at == 1 && !bars.given) {
    PyErr_SetString(PyExc_ValueError,
                    "fill_at='open' needs the bars: give open, high and low");
    return false;
  }
  if (at == 1 && prices_given) {
    PyErr_SetString(PyExc_ValueError,
                    "fill_at='open' takes no prices: the market orders fill at the opens");
    return false;
  }
  *at_open = at == 1;
  return true;
}

}  // namespace ledger
