// The trading settings of one pair_from_signals call after conversion and
// normalisation: what the engine reads on every bar.
#pragma once

#include "frame/binding.hpp"
#include "rules/position.hpp"
#include "spreadsim/parameters.hpp"

#include <cstdint>

namespace spreadsim {

// A per-leg setting normalised into a list of floats (element 0 leg A,
// element 1 leg B). Only the first two values are ever used; the list may
// be shorter, and reading a missing element is the list's IndexError,
// raised by the run when it first needs the element.
struct leg_values {
  Py_ssize_t len = 0;
  double v[2] = {0.0, 0.0};

  bool has(int j) const noexcept { return j < len; }
  double at(int j) const noexcept {
    FRAME_ASSERT(j < len);
    return v[j];
  }
};

struct pair_settings {
  PyObject* size;  // borrowed; pair_from_signals converts it with float() at every sizing
  int32_t size_type;
  leg_values margin_rate;
  leg_values price_tick;
  leg_values volume_multiple;
  leg_values commission;
  int64_t warmup_end;  // bars i < min_start_length - 1 do not trade (rules::warmed_up)
  double init_cash;     // the single-precision values, widened
  int32_t com_type;
  double slip_point;
  double sl_stop;
  double tp_stop;
  int32_t stop_mode;
  int32_t sl_trail;
  int32_t max_hold_bars;
  double ratio[2];  // lot ratio of leg A and leg B
  // Set only by the ledger: an opposite entry reverses the spread; a bar
  // that reaches both stops fills the take-profit.
  bool reverse = false;
  bool take_profit_first = false;
  bool fill_at_open = false;  // with bars: the loop's trigger fills market orders at the open
};

// A number gives [float(x), float(x)]; a one-element sequence
// [float(x[0]), float(x[0])]; anything else [float(e) for e in x].
bool normalise_leg_setting(PyObject* x, leg_values* out) noexcept;

// A number sets leg A's ratio; a list or tuple sets leg A's and, when it
// has a second element, leg B's; anything else leaves both at 1.0.
bool read_leg_size_ratio(PyObject* x, double ratio[2]) noexcept;

// The scalar settings of a call bound to the pair parameter table
// (parameters.hpp): everything but size, the per-leg settings and the lot
// ratio.
inline void scalar_settings(const frame::args& a, pair_settings* s) noexcept {
  using namespace pair_args;
  s->size_type = a[a_size_type].i32;
  s->warmup_end = rules::warmup_end(a[a_min_start_length].i32);
  s->init_cash = a[a_init_cash].f32;
  s->com_type = a[a_com_type].i32;
  s->slip_point = a[a_slip_point].f32;
  s->sl_stop = a[a_sl_stop].f32;
  s->tp_stop = a[a_tp_stop].f32;
  s->stop_mode = a[a_stop_mode].i32;
  s->sl_trail = a[a_sl_trail].i32;
  s->max_hold_bars = a[a_max_hold_bars].i32;
}

}  // namespace spreadsim
