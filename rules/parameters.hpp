// The parameters every backtest of the modules begins with, in order (up to
// sl_trail), with what its arrays accept and the defaults of its
// per-contract (per-leg) settings chosen by the function.
#pragma once

#include "frame/function.hpp"

#include <array>

namespace rules {

struct per_slot_defaults {
  frame::default_value margin_rate, price_tick, volume_multiple, commission;
};

constexpr int shared_parameter_count = 18;

constexpr std::array<frame::param, shared_parameter_count> shared_parameters(
    frame::kind arrays, const per_slot_defaults& per_slot) {
  namespace d = frame::defaults;
  using frame::kind;
  return {{
      {"close", arrays},
      {"entries", arrays},
      {"exits", arrays},
      {"size", kind::object, d::number(1.0)},
      {"size_type", kind::i32, d::integer(0)},
      {"margin_rate", kind::object, per_slot.margin_rate},
      {"price_tick", kind::object, per_slot.price_tick},
      {"volume_multiple", kind::object, per_slot.volume_multiple},
      {"prices", arrays, d::none()},
      {"min_start_length", kind::i32, d::integer(1)},
      {"init_cash", kind::f32, d::number(1000000.0)},
      {"commission", kind::object, per_slot.commission},
      {"com_type", kind::i32, d::integer(1)},
      {"slip_point", kind::f32, d::number(0.0)},
      {"sl_stop", kind::f32, d::number(0.0)},
      {"tp_stop", kind::f32, d::number(0.0)},
      {"stop_mode", kind::i32, d::integer(0)},
      {"sl_trail", kind::i32, d::integer(0)},
  }};
}

}  // namespace rules
