// How pair_from_signals' loop reaches what lies outside its arithmetic, with
// the interpreter lock held: calculate_size looked up in the module
// namespace at every sizing (rules/dispatch.hpp) with `size` converted by
// float() each time, the stop distance whose one error is reported and
// passed over, interrupt checks and errors raised at once.
#pragma once

#include "frame/convert.hpp"
#include "frame/interrupts.hpp"
#include "frame/refs.hpp"
#include "rules/dispatch.hpp"
#include "rules/stops.hpp"
#include "spreadsim/pair_settings.hpp"

#include <cstdint>

namespace spreadsim {

struct module_rules {
  using rule = frame::ref;  // the object the name is bound to

  bool lookup_size(rule* r) noexcept {
    *r = frame::ref::steal(rules::lookup_calculate_size());
    return static_cast<bool>(*r);
  }
  // The spread's size for either leg, with spreadsim's strict check of a
  // __float__ result.
  bool leg_size(const pair_settings& s, int /*leg*/, double* size) noexcept {
    return frame::float_call(s.size, size, true);
  }
  bool size(const rule& r, double price, double size, int32_t size_type, double cash,
            double margin_rate, double multiple, double* count) noexcept {
    return rules::call_calculate_size(r.get(), price, size, size_type, cash, margin_rate,
                                      multiple, count);
  }
  double stop_dist(double ref_price, double stop_value, int32_t stop_mode, double tick,
                   double lots, double multiple) noexcept {
    return rules::calc_stop_dist(ref_price, stop_value, stop_mode, tick, lots, multiple);
  }
  bool check_interrupts() noexcept { return frame::check_interrupts(); }
  // Raises with `raise_error` (one of frame's raise_* helpers); false.
  template <class Raise>
  bool raise(Raise raise_error) noexcept {
    return raise_error();
  }
};

}  // namespace spreadsim
