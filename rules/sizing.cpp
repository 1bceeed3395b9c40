#include "rules/sizing.hpp"

namespace rules {

bool raise_size_fault(const lot_count& c) noexcept {
  if (c.fault == size_fault::zero_margin) return frame::raise_float_division();
  return frame::raise_float_to_int(c.raw);
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
    {"price", frame::kind::f64},           {"size", frame::kind::f64},
    {"volume_multiple", frame::kind::f64}, {"commission", frame::kind::f64},
    {"com_type", frame::kind::i32},        {"price_tick", frame::kind::f64},
};

}  // namespace

const frame::function_def calculate_size_def = {.name = "calculate_size",
                                               .doc = nullptr,
                                               .params = frame::table(calculate_size_params),
                                               .body = calculate_size_body};

const frame::function_def calculate_commission_def = {
    .name = "calculate_commission",
    .doc = nullptr,
    .params = frame::table(calculate_commission_params),
    .body = calculate_commission_body};

}  // namespace rules
