// The pair engine: the bar loop with warm-up, joint entry, per-leg exits and
// the cascade close, writing both legs' rows on every bar.
#pragma once

#include "frame/binding.hpp"
#include "spreadsim/bar_reads.hpp"
#include "spreadsim/pair_settings.hpp"

#include <cstdint>

namespace spreadsim {

struct pair_inputs {
  bar_input entries;  // 1-D
  bar_input exits;    // 1-D
  bar_input prices;   // (n, 2)
};

// Runs bars 0 .. n - 1. `rows[0]` and `rows[1]` are writable views of at
// least n rows and 6 columns. False with the exception set.
bool run_pair(const pair_settings& s, const pair_inputs& in, const frame::f64_view* rows,
              int32_t n) noexcept;

}  // namespace spreadsim
