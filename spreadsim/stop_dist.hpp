// spreadsim's stop distance: the shared rule, with its one error (a zero
// divisor in stop_mode 1) reported and swallowed so the run goes on.
#pragma once

#include <cstdint>

namespace spreadsim {

// The distance of stops::stop_distance. On the zero divisor the
// ZeroDivisionError is printed with its traceback to standard error, then
// passed to the unraisable-exception hook and cleared; the distance is 0.0.
double calc_stop_dist(double ref_price, double stop_value, int32_t stop_mode, double price_tick,
                      double size, double volume_multiple) noexcept;

}  // namespace spreadsim
