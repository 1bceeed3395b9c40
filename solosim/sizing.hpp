// Order sizing and commission: how many lots an entry buys and what a fill
// costs in fees. Compiled into solosim and into spreadsim.
#pragma once

#include "frame/binding.hpp"

#include <cstdint>

namespace sizing {

// Lots for an order, a whole number >= 1 as a double. size_type 0 reads
// `size` as lots, 1 as money committed as margin, 2 as a fraction of
// `init_cash` committed as margin; other values give one lot. False with
// ZeroDivisionError "float division" (zero one-lot margin), ValueError (NaN
// lot count) or OverflowError (infinite lot count) set.
bool calculate_size(double close_price, double size, int32_t size_type, double init_cash,
                    double margin_rate, double volume_multiple, double* lots) noexcept;

// Fee of a fill: com_type 0 ticks per unit, 1 fixed per lot, 2 rate on the
// traded value, other values none. Products left to right as written.
double calc_commission(double price, double size, double volume_multiple, double commission,
                       int32_t com_type, double price_tick) noexcept;

// The Python-visible functions (the same definitions serve both modules).
extern const frame::function_def calculate_size_def;
extern const frame::function_def calculate_commission_def;

}  // namespace sizing
