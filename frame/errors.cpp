#include "frame/errors.hpp"

#include "frame/module_state.hpp"

#include <cmath>
#include <cstdio>

namespace frame {

void add_traceback(const char* qualname) noexcept {
  // The entry names the function; the file is the module's own.
  _PyTraceback_Add(qualname, module_full_name(), 0);
}

void add_module_traceback(const char* function) noexcept {
  char qualname[256];
  std::snprintf(qualname, sizeof qualname, "%s.%s", module_full_name(), function);
  add_traceback(qualname);
}

// ---- binding

bool raise_arg_count(const char* function, int n_required, int n_params,
                     Py_ssize_t given) noexcept {
  const char* more_or_less;
  Py_ssize_t expected;
  if (n_required == n_params) {
    more_or_less = "exactly";
    expected = n_params;
  } else if (given < n_required) {
    more_or_less = "at least";
    expected = n_required;
  } else {
    more_or_less = "at most";
    expected = n_params;
  }
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               function, more_or_less, expected, expected == 1 ? "" : "s", given);
  return false;
}

bool raise_keyword_not_string(const char* function) noexcept {
  PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
  return false;
}

bool raise_keyword_repeats(const char* function, PyObject* key) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function,
               key);
  return false;
}

bool raise_keyword_unknown(const char* function, PyObject* key) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
  return false;
}

bool raise_arg_type(const char* param, const char* expected, PyObject* got) noexcept {
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
               expected, Py_TYPE(got)->tp_name);
  return false;
}

bool raise_missing_type() noexcept {
  PyErr_SetString(PyExc_SystemError, "Missing type object");
  return false;
}

bool raise_none_arg(const char* param) noexcept {
  PyErr_Format(PyExc_TypeError, "Argument '%s' must not be None", param);
  return false;
}

// ---- typed buffer views

bool raise_buffer_ndim(int expected, int got) noexcept {
  PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
               expected, got);
  return false;
}

bool raise_buffer_big_endian() noexcept {
  PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
  return false;
}

bool raise_buffer_format_char(char c, bool standard_sizes) noexcept {
  if (standard_sizes)
    PyErr_Format(PyExc_ValueError,
                 "Does not understand character buffer dtype format string ('%c')", c);
  else
    PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", c);
  return false;
}

bool raise_buffer_dtype(const char* type_name, const char* found) noexcept {
  PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
               type_name, "'", found);
  return false;
}

bool raise_buffer_itemsize(Py_ssize_t itemsize, const char* type_name) noexcept {
  PyErr_Format(PyExc_ValueError,
               "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
               itemsize, itemsize == 1 ? "" : "s", type_name, static_cast<Py_ssize_t>(8), "s");
  return false;
}

// ---- values and indexing

bool raise_list_index() noexcept {
  PyErr_SetString(PyExc_IndexError, "list index out of range");
  return false;
}

bool raise_float_division() noexcept {
  PyErr_SetString(PyExc_ZeroDivisionError, "float division");
  return false;
}

bool raise_too_many(const char* what, Py_ssize_t count) noexcept {
  PyErr_Format(PyExc_OverflowError, "too many %s: %zd exceeds 2147483647", what, count);
  return false;
}

bool raise_float_to_int(double x) noexcept {
  if (std::isnan(x))
    PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer");
  else
    PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
  return false;
}

bool raise_int32_overflow() noexcept {
  PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
  return false;
}

bool raise_no_memory() noexcept {
  PyErr_NoMemory();
  return false;
}

}  // namespace frame
