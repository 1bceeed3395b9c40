// What one from_signals run is configured with, prepared before the loop.
#pragma once

#include "solosim/setting_list.hpp"
#include "rules/stops.hpp"

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
};

// The per-contract settings, element j for contract j.
struct contract_lists {
  setting_list size;
  setting_list margin_rate;
  setting_list price_tick;
  setting_list volume_multiple;
  setting_list commission;
};

}  // namespace solosim
