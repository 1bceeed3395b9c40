#include "solosim/names.hpp"

namespace solosim::names {

PyObject* calculate_size = nullptr;
PyObject* calculate_commission = nullptr;
PyObject* np = nullptr;
PyObject* zeros = nullptr;
PyObject* float64 = nullptr;
PyObject* asarray = nullptr;
PyObject* atleast_1d = nullptr;
PyObject* array = nullptr;
PyObject* dtype_kwnames = nullptr;
PyObject* int_zero = nullptr;
PyObject* int_one = nullptr;
PyObject* int_minus_one = nullptr;

namespace {

bool intern(PyObject** slot, const char* text) noexcept {
  *slot = PyUnicode_InternFromString(text);
  return *slot != nullptr;
}

}  // namespace

// The objects live as long as the process: the module is never torn down.
bool init() noexcept {
  if (!intern(&calculate_size, "calculate_size") ||
      !intern(&calculate_commission, "calculate_commission") || !intern(&np, "np") ||
      !intern(&zeros, "zeros") || !intern(&float64, "float64") || !intern(&asarray, "asarray") ||
      !intern(&atleast_1d, "atleast_1d") || !intern(&array, "array"))
    return false;
  PyObject* dtype = PyUnicode_InternFromString("dtype");
  if (dtype == nullptr) return false;
  dtype_kwnames = PyTuple_Pack(1, dtype);
  Py_DECREF(dtype);
  if (dtype_kwnames == nullptr) return false;
  int_zero = PyLong_FromLong(0);
  int_one = PyLong_FromLong(1);
  int_minus_one = PyLong_FromLong(-1);
  return int_zero != nullptr && int_one != nullptr && int_minus_one != nullptr;
}

}  // namespace solosim::names
