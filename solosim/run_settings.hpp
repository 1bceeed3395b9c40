// What one from_signals run is configured with, prepared before the loop.
#pragma once

#include "frame/function.hpp"
#include "rules/position.hpp"
#include "rules/stops.hpp"
#include "solosim/parameters.hpp"
#include "solosim/setting_list.hpp"

#include <cstdint>

namespace solosim {

struct run_settings {
  int32_t size_type;
  int32_t com_type;
  int32_t stop_mode;
  int32_t sl_trail;
  int32_t max_hold_bars;
  int64_t warmup_end;  // bars i < min_start_length - 1 do not trade (64-bit: no overflow)
  double init_cash;    // the four single-precision settings, widened
  double slip_point;
  double sl_stop;
  double tp_stop;
  bool sl_active;  // sl_stop > 0 or a stop-loss callback
  bool tp_active;  // tp_stop > 0 or a take-profit callback
  rules::stop_callback_t sl_cb;  // null when none
  rules::stop_callback_t tp_cb;
  const double* sl_args;
  int64_t sl_args_len;
  const double* tp_args;
  int64_t tp_args_len;
  // Set only by the ledger: an opposite entry reverses the position; a bar
  // that reaches both stops fills the take-profit.
  bool reverse = false;
  bool take_profit_first = false;
  bool fill_at_open = false;  // with bars: the loop's trigger fills market orders at the open
};

// The scalar settings of a call bound to the solo parameter table
// (parameters.hpp), the callback blocks left empty.
inline run_settings scalar_settings(const frame::args& a) noexcept {
  using namespace solo_args;
  run_settings s{};
  s.size_type = a[a_size_type].i32;
  s.com_type = a[a_com_type].i32;
  s.stop_mode = a[a_stop_mode].i32;
  s.sl_trail = a[a_sl_trail].i32;
  s.max_hold_bars = a[a_max_hold_bars].i32;
  s.warmup_end = rules::warmup_end(a[a_min_start_length].i32);
  s.init_cash = a[a_init_cash].f32;
  s.slip_point = a[a_slip_point].f32;
  s.sl_stop = a[a_sl_stop].f32;
  s.tp_stop = a[a_tp_stop].f32;
  // The addresses are the caller's promise of a stop_callback_t (checked
  // to be executable memory before the run).
  s.sl_cb = reinterpret_cast<rules::stop_callback_t>(
      static_cast<intptr_t>(a[a_sl_callback_addr].i64));
  s.tp_cb = reinterpret_cast<rules::stop_callback_t>(
      static_cast<intptr_t>(a[a_tp_callback_addr].i64));
  s.sl_active = s.sl_stop > 0 || s.sl_cb != nullptr;
  s.tp_active = s.tp_stop > 0 || s.tp_cb != nullptr;
  return s;
}

// The per-contract settings, element j for contract j.
struct contract_lists {
  setting_list size;
  setting_list margin_rate;
  setting_list price_tick;
  setting_list volume_multiple;
  setting_list commission;
};

}  // namespace solosim
