#include "rules/stops.hpp"

#include "frame/errors.hpp"
#include "frame/module_state.hpp"

namespace rules {

bool raise_stop_division() noexcept {
  frame::raise_float_division();
  frame::add_module_traceback("calc_stop_distance");
  return false;
}

void report_stop_division() noexcept {
  frame::raise_float_division();
  frame::add_module_traceback("_calc_stop_dist");
  // Printed (traceback included, sys.last_* untouched), then the same
  // exception goes to the unraisable hook, which clears it.
  PyObject* exc = PyErr_GetRaisedException();
  PyErr_SetRaisedException(Py_NewRef(exc));
  PyErr_PrintEx(0);
  PyObject* context = PyUnicode_FromFormat("%s._calc_stop_dist", frame::module_full_name());
  PyErr_SetRaisedException(exc);
  PyErr_WriteUnraisable(context ? context : Py_None);
  Py_XDECREF(context);
}

}  // namespace rules
