// Stop distances as the engine uses them, and the native stop callbacks.
#pragma once

#include "frame/refs.hpp"

#include <cstdint>

namespace solosim {

// The caller-supplied native stop callback: returns a new distance from the
// reference price; a result > 0 takes effect.
typedef double (*stop_callback_t)(int64_t bar, int64_t direction, double entry_price,
                                  double current_price, double ref_price,
                                  double current_distance, double price_tick,
                                  double volume_multiple, double size, const double* args,
                                  int64_t n_args);

// calc_stop_distance: the stop-distance rule; false with ZeroDivisionError
// "float division" and the traceback entry
// "quorra.accel.solosim.calc_stop_distance" when mode 1 meets a zero
// size x volume_multiple product.
bool calc_stop_distance(double ref_price, double stop_value, int32_t stop_mode, double price_tick,
                        double size, double volume_multiple, double* out) noexcept;

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

}  // namespace solosim
