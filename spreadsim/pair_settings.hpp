// The trading settings of one pair_from_signals call after conversion and
// normalisation: what the engine reads on every bar.
#pragma once

#include "frame/binding.hpp"
#include "rules/trade_settings.hpp"
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

// The shared scalar settings, and the pair's size, per-leg lists and lot
// ratio.
struct pair_settings : rules::trade_settings {
  PyObject* size = nullptr;  // borrowed; pair_from_signals converts it with float() at every sizing
  leg_values margin_rate;
  leg_values price_tick;
  leg_values volume_multiple;
  leg_values commission;
  double ratio[2] = {1.0, 1.0};  // lot ratio of leg A and leg B
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
  rules::read_trade_settings(a, pair_args::a_max_hold_bars, s);
}

}  // namespace spreadsim
