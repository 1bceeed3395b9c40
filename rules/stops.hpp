// Stops: the stop-distance rule, the two ways the modules report its one
// failure, and the native stop callbacks with their calling convention.
#pragma once

#include "frame/errors.hpp"
#include "frame/refs.hpp"

#include <cstdint>

namespace rules {

// stop_mode 0: stop_value ticks; 1: a money amount for the whole position;
// 2: a fraction of ref_price; other values, or stop_value <= 0 (NaN goes on
// to the modes and gives NaN or 0.0): 0.0. Returns false (no exception set)
// only when mode 1 meets size * volume_multiple == 0 with both factors
// positive (an underflow).
inline bool stop_distance(double ref_price, double stop_value, int32_t stop_mode,
                          double price_tick, double size, double volume_multiple,
                          double* out) noexcept {
  *out = 0.0;
  if (stop_value <= 0) return true;  // NaN fails this test and goes on
  switch (stop_mode) {
    case 0:
      *out = stop_value * price_tick;
      return true;
    case 1:
      if (size > 0 && volume_multiple > 0) {
        const double d = size * volume_multiple;
        if (d == 0.0) return false;
        *out = stop_value / d;
      }
      return true;
    case 2:
      *out = ref_price * stop_value;
      return true;
    default:
      return true;
  }
}

FRAME_COLD bool raise_stop_division() noexcept;
FRAME_COLD void report_stop_division() noexcept;

// solosim's calc_stop_distance: the zero divisor ends the run with
// ZeroDivisionError "float division" and a traceback entry
// "<module>.calc_stop_distance". False with the exception set.
inline bool calc_stop_distance(double ref_price, double stop_value, int32_t stop_mode,
                               double price_tick, double size, double volume_multiple,
                               double* out) noexcept {
  if (stop_distance(ref_price, stop_value, stop_mode, price_tick, size, volume_multiple, out))
      [[likely]]
    return true;
  return raise_stop_division();
}

// spreadsim's _calc_stop_dist: the zero divisor's ZeroDivisionError is
// printed with its traceback to standard error, then passed to the
// unraisable-exception hook and cleared; the distance is 0.0 and the run
// goes on.
inline double calc_stop_dist(double ref_price, double stop_value, int32_t stop_mode,
                             double price_tick, double size, double volume_multiple) noexcept {
  double distance;
  if (stop_distance(ref_price, stop_value, stop_mode, price_tick, size, volume_multiple,
                    &distance)) [[likely]]
    return distance;
  report_stop_division();
  return 0.0;
}

// The caller-supplied native stop callback: returns a new distance from the
// reference price; a result > 0 takes effect.
typedef double (*stop_callback_t)(int64_t bar, int64_t direction, double entry_price,
                                  double current_price, double ref_price,
                                  double current_distance, double price_tick,
                                  double volume_multiple, double size, const double* args,
                                  int64_t n_args);

// Calls a callback with the interpreter lock released for the call.
inline double call_stop_callback(stop_callback_t cb, int64_t bar, int64_t direction,
                                 double entry_price, double current_price, double ref_price,
                                 double current_distance, double price_tick,
                                 double volume_multiple, double size, const double* args,
                                 int64_t n_args) noexcept {
  frame::gil_released unlocked;
  return cb(bar, direction, entry_price, current_price, ref_price, current_distance, price_tick,
            volume_multiple, size, args, n_args);
}

}  // namespace rules
