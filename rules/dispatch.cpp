#include "rules/dispatch.hpp"

#include "frame/convert.hpp"
#include "frame/errors.hpp"
#include "frame/function.hpp"
#include "frame/refs.hpp"
#include "rules/names.hpp"
#include "rules/sizing.hpp"

namespace rules {

namespace {

// fn(a0, ..., a5) with Python floats, and an int at `int_slot`, built from
// the values; the result read back as a double.
[[gnu::noinline]] bool call_python(PyObject* fn, const double (&f)[6], int int_slot,
                                   int32_t int_value, double* out) noexcept {
  frame::ref objs[6];
  PyObject* call_args[6];
  for (int k = 0; k < 6; ++k) {
    objs[k] = frame::ref::steal(k == int_slot ? PyLong_FromLong(int_value)
                                              : PyFloat_FromDouble(f[k]));
    if (!objs[k]) return false;
    call_args[k] = objs[k].get();
  }
  frame::ref result = frame::ref::steal(PyObject_Vectorcall(fn, call_args, 6, nullptr));
  return result && frame::to_double(result.get(), out);
}

}  // namespace

PyObject* lookup_calculate_size() noexcept { return frame::module_lookup(names::calculate_size); }

PyObject* lookup_calculate_commission() noexcept {
  return frame::module_lookup(names::calculate_commission);
}

bool call_calculate_size(PyObject* fn, double close_price, double size, int32_t size_type,
                         double init_cash, double margin_rate, double volume_multiple,
                         double* lots) noexcept {
  if (frame::is_own_function(fn, calculate_size_def)) [[likely]] {
    if (calculate_size(close_price, size, size_type, init_cash, margin_rate, volume_multiple,
                       lots))
      return true;
    frame::add_module_traceback("calculate_size");
    return false;
  }
  return call_python(fn, {close_price, size, 0.0, init_cash, margin_rate, volume_multiple}, 2,
                     size_type, lots);
}

bool call_calculate_commission(PyObject* fn, double price, double size, double volume_multiple,
                               double commission, int32_t com_type, double price_tick,
                               double* fee) noexcept {
  if (frame::is_own_function(fn, calculate_commission_def)) [[likely]] {
    *fee = calc_commission(price, size, volume_multiple, commission, com_type, price_tick);
    return true;
  }
  return call_python(fn, {price, size, volume_multiple, commission, 0.0, price_tick}, 4, com_type,
                     fee);
}

}  // namespace rules
