// Order sizing and commission: how many lots an entry buys and what a fill
// costs in fees. Plain arithmetic in the written order, so that results are
// bit-exact wherever they are computed; the Python-visible functions are
// calculate_size and calculate_commission.
#pragma once

#include "frame/errors.hpp"
#include "frame/function.hpp"

#include <cmath>
#include <cstdint>

namespace rules {

// What can stop the sizing rule: a zero one-lot margin (a division by zero),
// or a lot count that is NaN or infinite (int() of it fails).
enum class size_fault : uint8_t { none, zero_margin, not_finite };

struct lot_count {
  double lots;       // a whole number >= 1 when fault is none
  double raw;        // the count before truncation (reported when not finite)
  size_fault fault;
};

// Lots for an order. size_type 0 reads `size` as lots, 1 as money committed
// as margin, 2 as a fraction of `init_cash` committed as margin; other values
// give one lot. Truncated toward zero as int() does, then raised to 1.
inline lot_count count_lots(double close_price, double size, int32_t size_type, double init_cash,
                            double margin_rate, double volume_multiple) noexcept {
  double x = 0.0;
  if (size_type == 0) {
    x = size;
  } else if (size_type == 1 || size_type == 2) {
    const double one_lot_margin = (close_price * volume_multiple) * margin_rate;
    if (one_lot_margin == 0.0) return {0.0, 0.0, size_fault::zero_margin};
    x = size_type == 1 ? size / one_lot_margin : (size * init_cash) / one_lot_margin;
  }
  // A finite double truncates to an exactly representable integer.
  if (!std::isfinite(x)) return {0.0, x, size_fault::not_finite};
  const double n = std::trunc(x);
  return {1 > n ? 1.0 : n, x, size_fault::none};
}

// The exception a fault raises: ZeroDivisionError "float division", or
// int()'s ValueError (NaN) / OverflowError (infinity). Returns false.
FRAME_COLD bool raise_size_fault(const lot_count& c) noexcept;

// The sizing rule with its exceptions; false with the exception set.
inline bool calculate_size(double close_price, double size, int32_t size_type, double init_cash,
                           double margin_rate, double volume_multiple, double* lots) noexcept {
  const lot_count c =
      count_lots(close_price, size, size_type, init_cash, margin_rate, volume_multiple);
  if (c.fault != size_fault::none) [[unlikely]]
    return raise_size_fault(c);
  *lots = c.lots;
  return true;
}

// Fee of a fill: com_type 0 ticks per unit, 1 fixed per lot, 2 rate on the
// traded value, other values none. Products left to right as written.
inline double calc_commission(double price, double size, double volume_multiple,
                              double commission, int32_t com_type, double price_tick) noexcept {
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

// The Python-visible functions (each module that lists them links its own
// copy, so is_own_function tells a module's own from another's).
extern const frame::function_def calculate_size_def;
extern const frame::function_def calculate_commission_def;

}  // namespace rules
