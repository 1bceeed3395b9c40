// What one from_signals run is configured with, prepared before the loop.
#pragma once

#include "frame/function.hpp"
#include "rules/stops.hpp"
#include "rules/trade_settings.hpp"
#include "solosim/parameters.hpp"
#include "solosim/setting_list.hpp"

#include <cstdint>

namespace solosim {

// The shared scalar settings, and the stop callbacks only this loop has.
struct run_settings : rules::trade_settings {
  bool sl_active = false;  // sl_stop > 0 or a stop-loss callback
  bool tp_active = false;  // tp_stop > 0 or a take-profit callback
  rules::stop_callback_t sl_cb = nullptr;  // null when none
  rules::stop_callback_t tp_cb = nullptr;
  const double* sl_args = nullptr;
  int64_t sl_args_len = 0;
  const double* tp_args = nullptr;
  int64_t tp_args_len = 0;
};

// The scalar settings of a call bound to the solo parameter table
// (parameters.hpp), the callback blocks left empty.
inline run_settings scalar_settings(const frame::args& a) noexcept {
  using namespace solo_args;
  run_settings s{};
  rules::read_trade_settings(a, a_max_hold_bars, &s);
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
