// The parameters of a backtest of one column per contract, in order, as
// from_signals has them: one declaration for every function that takes
// them (from_signals, ledger.solo), each choosing what its arrays accept
// and the defaults of the per-contract settings.
#pragma once

#include "frame/function.hpp"
#include "rules/parameters.hpp"

#include <array>

namespace solosim {

// After the shared ones: X(name, kind, default).
#define SOLO_OWN_PARAMETERS(X)                           \
  X(sl_callback_addr, kind::i64, d::integer(0))          \
  X(tp_callback_addr, kind::i64, d::integer(0))          \
  X(sl_callback_args, kind::tuple, d::empty_tuple())     \
  X(tp_callback_args, kind::tuple, d::empty_tuple())     \
  X(max_hold_bars, kind::i32, d::integer(0))

#define SOLO_PARAMETERS(X) RULES_SHARED_PARAMETERS(X) SOLO_OWN_PARAMETERS(X)

// The parameters' positions in the table.
namespace solo_args {
enum solo_arg { SOLO_PARAMETERS(FRAME_POSITION) a_count };
}  // namespace solo_args

constexpr std::array<frame::param, solo_args::a_count> solo_parameters(
    frame::kind arrays, const rules::per_slot_defaults& per_slot) {
  namespace d = frame::defaults;
  using frame::kind;
  return {{SOLO_PARAMETERS(FRAME_PARAM)}};
}

}  // namespace solosim
