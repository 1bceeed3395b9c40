// The parameters every backtest of the modules begins with, in order (up to
// sl_trail), each declared once: the position enums, the tables and the
// docstrings' signature lines are all expanded from this list. What the
// arrays accept (`arrays`) and the defaults of the per-contract (per-leg)
// settings (`per_slot`) are chosen by the function.
#pragma once

#include "frame/function.hpp"

#include <array>

namespace rules {

struct per_slot_defaults {
  frame::default_value margin_rate, price_tick, volume_multiple, commission;
};

// X(name, kind, default), expanded where `arrays`, `per_slot`, `kind` and
// `d` (frame::defaults) are in scope.
#define RULES_SHARED_PARAMETERS(X)                  \
  X(close, arrays, d::required())                   \
  X(entries, arrays, d::required())                 \
  X(exits, arrays, d::required())                   \
  X(size, kind::object, d::number(1.0))             \
  X(size_type, kind::i32, d::integer(0))            \
  X(margin_rate, kind::object, per_slot.margin_rate) \
  X(price_tick, kind::object, per_slot.price_tick)  \
  X(volume_multiple, kind::object, per_slot.volume_multiple) \
  X(prices, arrays, d::none())                      \
  X(min_start_length, kind::i32, d::integer(1))     \
  X(init_cash, kind::f32, d::number(1000000.0))     \
  X(commission, kind::object, per_slot.commission)  \
  X(com_type, kind::i32, d::integer(1))             \
  X(slip_point, kind::f32, d::number(0.0))          \
  X(sl_stop, kind::f32, d::number(0.0))             \
  X(tp_stop, kind::f32, d::number(0.0))             \
  X(stop_mode, kind::i32, d::integer(0))            \
  X(sl_trail, kind::i32, d::integer(0))

}  // namespace rules
