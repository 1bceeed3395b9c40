#include "spreadsim/names.hpp"

namespace spreadsim {

module_names names{};

bool make_names() noexcept {
  // Module state lives until the process ends, so these are never released.
  names.calculate_size = PyUnicode_InternFromString("calculate_size");
  names.np = PyUnicode_InternFromString("np");
  names.zeros = PyUnicode_InternFromString("zeros");
  names.float64 = PyUnicode_InternFromString("float64");
  PyObject* dtype = PyUnicode_InternFromString("dtype");
  names.dtype_kwnames = dtype ? PyTuple_Pack(1, dtype) : nullptr;
  Py_XDECREF(dtype);
  names.zero = PyLong_FromLong(0);
  return names.calculate_size && names.np && names.zeros && names.float64 &&
         names.dtype_kwnames && names.zero;
}

}  // namespace spreadsim
