// The scalar settings both engines read on every bar, converted once
// before the run: how entries are sized and charged, how stops are
// measured and trail, the holding limit, the warm-up, the starting cash and
// slippage. Each engine's settings add what only it has (the solo loop's
// callbacks, the pair's per-leg lists and lot ratio).
#pragma once

#include "frame/function.hpp"
#include "rules/parameters.hpp"
#include "rules/position.hpp"

#include <cstdint>

namespace rules {

// The shared parameters' positions, the same at the head of every table.
namespace shared_args {
enum shared_arg { RULES_SHARED_PARAMETERS(FRAME_POSITION) a_shared_count };
}  // namespace shared_args

struct trade_settings {
  int32_t size_type = 0;
  int32_t com_type = 0;
  int32_t stop_mode = 0;
  int32_t sl_trail = 0;
  int32_t max_hold_bars = 0;
  int64_t warmup_end = 0;  // bars i < min_start_length - 1 do not trade (64-bit: no overflow)
  double init_cash = 0.0;  // the four single-precision settings, widened
  double slip_point = 0.0;
  double sl_stop = 0.0;
  double tp_stop = 0.0;
  // Set only by the ledger: an opposite entry reverses the position; a bar
  // that reaches both stops fills the take-profit; with bars, the market
  // orders fill at the open (the loop's trigger says so at compile time).
  bool reverse = false;
  bool take_profit_first = false;
  bool fill_at_open = false;
};

// The scalar settings of a call bound to a table that begins with the
// shared parameters; `max_hold_bars_at` is that parameter's position in
// the table (each engine has it in its own place).
inline void read_trade_settings(const frame::args& a, int max_hold_bars_at,
                                trade_settings* s) noexcept {
  using namespace shared_args;
  s->size_type = a[a_size_type].i32;
  s->com_type = a[a_com_type].i32;
  s->stop_mode = a[a_stop_mode].i32;
  s->sl_trail = a[a_sl_trail].i32;
  s->max_hold_bars = a[max_hold_bars_at].i32;
  s->warmup_end = warmup_end(a[a_min_start_length].i32);
  s->init_cash = a[a_init_cash].f32;
  s->slip_point = a[a_slip_point].f32;
  s->sl_stop = a[a_sl_stop].f32;
  s->tp_stop = a[a_tp_stop].f32;
}

}  // namespace rules
