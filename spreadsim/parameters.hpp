// The parameters of a pair backtest, in order, as pair_from_signals has
// them: one table for every function that takes them (pair_from_signals,
// ledger.pair), each choosing what its arrays accept and the defaults of
// the per-leg settings.
#pragma once

#include "frame/function.hpp"
#include "rules/parameters.hpp"

#include <array>

namespace spreadsim {

// The parameters' positions in the table.
namespace pair_args {
enum pair_arg {
  a_close, a_entries, a_exits, a_size, a_size_type, a_margin_rate, a_price_tick,
  a_volume_multiple, a_prices, a_min_start_length, a_init_cash, a_commission, a_com_type,
  a_slip_point, a_sl_stop, a_tp_stop, a_stop_mode, a_sl_trail, a_max_hold_bars,
  a_leg_size_ratio, a_count
};
static_assert(a_max_hold_bars == rules::shared_parameter_count);
}  // namespace pair_args

constexpr std::array<frame::param, pair_args::a_count> pair_parameters(
    frame::kind arrays, const rules::per_slot_defaults& per_leg) {
  namespace d = frame::defaults;
  using frame::kind;
  return frame::joined(rules::shared_parameters(arrays, per_leg),
                       std::array<frame::param, 2>{{
                           {"max_hold_bars", kind::i32, d::integer(0)},
                           {"leg_size_ratio", kind::object, d::number(1.0)},
                       }});
}

}  // namespace spreadsim
