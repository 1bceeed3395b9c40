#include "spreadsim/stop_dist.hpp"

#include "frame/binding.hpp"
#include "solosim/stop_distance.hpp"

namespace spreadsim {

namespace {

constexpr const char* stop_dist_qualname = "quorra.accel.spreadsim._calc_stop_dist";

// Prints the pending exception (traceback included, sys.last_* untouched),
// then hands the same exception to the unraisable hook, which clears it.
FRAME_COLD void report_unraisable(const char* context) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  PyErr_SetRaisedException(Py_NewRef(exc));
  PyErr_PrintEx(0);
  PyObject* ctx = PyUnicode_FromString(context);
  PyErr_SetRaisedException(exc);
  PyErr_WriteUnraisable(ctx ? ctx : Py_None);
  Py_XDECREF(ctx);
}

FRAME_COLD void report_zero_divisor() noexcept {
  frame::raise_float_division();
  frame::add_traceback(stop_dist_qualname);
  report_unraisable(stop_dist_qualname);
}

}  // namespace

double calc_stop_dist(double ref_price, double stop_value, int32_t stop_mode, double price_tick,
                      double size, double volume_multiple) noexcept {
  double distance;
  if (stops::stop_distance(ref_price, stop_value, stop_mode, price_tick, size, volume_multiple,
                           &distance)) [[likely]]
    return distance;
  report_zero_divisor();
  return 0.0;
}

}  // namespace spreadsim
