// The parameters of a backtest of one column per contract, in order, as
// from_signals has them: one table for every function that takes them
// (from_signals, ledger.solo), each choosing what its arrays accept and the
// defaults of the per-contract settings.
#pragma once

#include "frame/function.hpp"
#include "rules/parameters.hpp"

#include <array>

namespace solosim {

// The parameters' positions in the table.
namespace solo_args {
enum solo_arg {
  a_close, a_entries, a_exits, a_size, a_size_type, a_margin_rate, a_price_tick,
  a_volume_multiple, a_prices, a_min_start_length, a_init_cash, a_commission, a_com_type,
  a_slip_point, a_sl_stop, a_tp_stop, a_stop_mode, a_sl_trail, a_sl_callback_addr,
  a_tp_callback_addr, a_sl_callback_args, a_tp_callback_args, a_max_hold_bars, a_count
};
static_assert(a_sl_callback_addr == rules::shared_parameter_count);
}  // namespace solo_args

constexpr std::array<frame::param, solo_args::a_count> solo_parameters(
    frame::kind arrays, const rules::per_slot_defaults& per_contract) {
  namespace d = frame::defaults;
  using frame::kind;
  return frame::joined(rules::shared_parameters(arrays, per_contract),
                       std::array<frame::param, 5>{{
                           {"sl_callback_addr", kind::i64, d::integer(0)},
                           {"tp_callback_addr", kind::i64, d::integer(0)},
                           {"sl_callback_args", kind::tuple, d::empty_tuple()},
                           {"tp_callback_args", kind::tuple, d::empty_tuple()},
                           {"max_hold_bars", kind::i32, d::integer(0)},
                       }});
}

}  // namespace solosim
