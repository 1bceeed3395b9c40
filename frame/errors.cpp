#include "frame/errors.hpp"

#include "frame/module.hpp"

#include <cmath>

namespace frame {

void add_traceback(const char* qualname) noexcept {
  // The entry names the function; the file is the module's own.
  _PyTraceback_Add(qualname, module_full_name(), 0);
}

bool raise_arg_type(const char* param, const char* expected, PyObject* got) noexcept {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               param, expected, Py_TYPE(got)->tp_name);
  return false;
}

bool raise_none_arg(const char* param) noexcept {
  PyErr_Format(PyExc_TypeError, "Argument '%s' must not be None", param);
  return false;
}

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

}  // namespace frame
