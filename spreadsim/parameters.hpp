// The parameters of a pair backtest, in order, as pair_from_signals has
// them: one declaration for every function that takes them
// (pair_from_signals, ledger.pair), each choosing what its arrays accept and
// the defaults of the per-leg settings.
#pragma once

#include "frame/function.hpp"
#include "rules/parameters.hpp"

#include <array>

namespace spreadsim {

// After the shared ones: X(name, kind, default).
#define PAIR_OWN_PARAMETERS(X)                    \
  X(max_hold_bars, kind::i32, d::integer(0))      \
  X(leg_size_ratio, kind::object, d::number(1.0))

#define PAIR_PARAMETERS(X) RULES_SHARED_PARAMETERS(X) PAIR_OWN_PARAMETERS(X)

// The parameters' positions in the table.
namespace pair_args {
enum pair_arg { PAIR_PARAMETERS(FRAME_POSITION) a_count };
}  // namespace pair_args

constexpr std::array<frame::param, pair_args::a_count> pair_parameters(
    frame::kind arrays, const rules::per_slot_defaults& per_slot) {
  namespace d = frame::defaults;
  using frame::kind;
  return {{PAIR_PARAMETERS(FRAME_PARAM)}};
}

}  // namespace spreadsim
