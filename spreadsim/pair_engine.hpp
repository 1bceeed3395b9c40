// pair_from_signals' run: the pair loop with the read policy the inputs allow.
#pragma once

#include "frame/views.hpp"
#include "spreadsim/pair_loop.hpp"

#include <cstdint>

namespace spreadsim {

// Runs bars 0 .. n - 1. `rows[0]` and `rows[1]` are writable views of at
// least n rows and 6 columns. False with the exception set.
bool run_pair(const pair_settings& s, const pair_inputs& in, const frame::f64_view* rows,
              int32_t n) noexcept;

}  // namespace spreadsim
