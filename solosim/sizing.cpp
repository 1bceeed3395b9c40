#include "solosim/sizing.hpp"

#include <cmath>

namespace sizing {

bool calculate_size(double close_price, double size, int32_t size_type, double init_cash,
                    double margin_rate, double volume_multiple, double* lots) noexcept {
  double x = 0.0;
  if (size_type == 0) {
    x = size;
  } else if (size_type == 1 || size_type == 2) {
    const double one_lot_margin = (close_price * volume_multiple) * margin_rate;
    if (one_lot_margin == 0.0) return frame::raise_float_division();
    x = size_type == 1 ? size / one_lot_margin : (size * init_cash) / one_lot_margin;
  }
  // Truncation toward zero as int() does it, with its errors for NaN and
  // infinity; a finite double truncates to an exactly representable integer.
  if (!std::isfinite(x)) return frame::raise_float_to_int(x);
  const double n = std::trunc(x);
  *lots = 1 > n ? 1.0 : n;
  return true;
}

double calc_commission(double price, double size, double volume_multiple, double commission,
                       int32_t com_type, double price_tick) noexcept {
  switch (com_type) {
    case 0:
      return ((commission * price_tick) * volume_multiple) * size;
    case 1:
      return commission * size;
    case 2:
      return ((price * size) * volume_multiple) * commission;
    default:
      return 0.0;
  }
}

namespace {

PyObject* calculate_size_body(const frame::args& a) noexcept {
  double lots = 0.0;
  if (!calculate_size(a[0].f64, a[1].f64, a[2].i32, a[3].f64, a[4].f64, a[5].f64, &lots))
    return nullptr;
  return PyFloat_FromDouble(lots);
}

PyObject* calculate_commission_body(const frame::args& a) noexcept {
  return PyFloat_FromDouble(
      calc_commission(a[0].f64, a[1].f64, a[2].f64, a[3].f64, a[4].i32, a[5].f64));
}

constexpr frame::param calculate_size_params[] = {
    {"close_price", frame::kind::f64}, {"size", frame::kind::f64},
    {"size_type", frame::kind::i32},   {"init_cash", frame::kind::f64},
    {"margin_rate", frame::kind::f64}, {"volume_multiple", frame::kind::f64},
};

constexpr frame::param calculate_commission_params[] = {
    {"price", frame::kind::f64},      {"size", frame::kind::f64},
    {"volume_multiple", frame::kind::f64}, {"commission", frame::kind::f64},
    {"com_type", frame::kind::i32},   {"price_tick", frame::kind::f64},
};

}  // namespace

const frame::function_def calculate_size_def = {
    "calculate_size", nullptr, calculate_size_params, 6, 6, calculate_size_body};

const frame::function_def calculate_commission_def = {
    "calculate_commission", nullptr, calculate_commission_params, 6, 6,
    calculate_commission_body};

}  // namespace sizing
