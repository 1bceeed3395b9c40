// How from_signals' loop reaches what lies outside its arithmetic, with the
// interpreter lock held: calculate_size and calculate_commission looked up
// in the module namespace at every use (rules/dispatch.hpp), the stop
// distance with its ZeroDivisionError, native callbacks with the lock
// released around each call, interrupt checks and errors raised at once.
#pragma once

#include "frame/interrupts.hpp"
#include "frame/refs.hpp"
#include "rules/dispatch.hpp"
#include "rules/stops.hpp"

#include <cstdint>

namespace solosim {

struct module_rules : rules::module_lookups {
  bool lookup_commission(rule* r) noexcept {
    *r = frame::ref::steal(rules::lookup_calculate_commission());
    return static_cast<bool>(*r);
  }
  bool commission(const rule& r, double price, double lots, double multiple, double commission,
                  int32_t com_type, double tick, double* fee) noexcept {
    return rules::call_calculate_commission(r.get(), price, lots, multiple, commission,
                                            com_type, tick, fee);
  }
  bool stop_distance(double ref_price, double stop_value, int32_t stop_mode, double tick,
                     double lots, double multiple, double* d) noexcept {
    return rules::calc_stop_distance(ref_price, stop_value, stop_mode, tick, lots, multiple, d);
  }
  double callback(rules::stop_callback_t cb, int64_t bar, int64_t direction, double entry,
                  double price, double ref, double distance, double tick, double multiple,
                  double lots, const double* args, int64_t n_args) noexcept {
    return rules::call_stop_callback(cb, bar, direction, entry, price, ref, distance, tick,
                                     multiple, lots, args, n_args);
  }
  bool check_interrupts_after_callback() noexcept { return frame::check_interrupts(); }
};

}  // namespace solosim
