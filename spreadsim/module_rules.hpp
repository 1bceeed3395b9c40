// How pair_from_signals' loop reaches what lies outside its arithmetic,
// with the interpreter lock held: calculate_size looked up in the module
// namespace at every sizing (rules/dispatch.hpp) with `size` converted by
// float() each time, the stop distance whose one error is reported and
// passed over, interrupt checks and errors raised at once.
#pragma once

#include "frame/convert.hpp"
#include "rules/dispatch.hpp"
#include "rules/stops.hpp"
#include "spreadsim/pair_settings.hpp"

#include <cstdint>

namespace spreadsim {

struct module_rules : rules::module_lookups {
  // The spread's size for either leg, with spreadsim's strict check of a
  // __float__ result.
  bool leg_size(const pair_settings& s, int /*leg*/, double* size) noexcept {
    return frame::float_call(s.size, size, true);
  }
  double stop_dist(double ref_price, double stop_value, int32_t stop_mode, double tick,
                   double lots, double multiple) noexcept {
    return rules::calc_stop_dist(ref_price, stop_value, stop_mode, tick, lots, multiple);
  }
};

}  // namespace spreadsim
