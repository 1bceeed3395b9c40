// Stop distance: turns a stop setting into a price distance by stop_mode.
// Compiled into solosim and into spreadsim; each wraps the one possible
// error (a zero divisor in mode 1) its own way.
#pragma once

#include <cstdint>

namespace stops {

// stop_mode 0: stop_value ticks; 1: a money amount for the whole position;
// 2: a fraction of ref_price; other values, or stop_value <= 0: 0.0.
// Returns false (no exception set) only when mode 1 meets
// size * volume_multiple == 0 with both factors positive (underflow).
bool stop_distance(double ref_price, double stop_value, int32_t stop_mode, double price_tick,
                   double size, double volume_multiple, double* out) noexcept;

}  // namespace stops
