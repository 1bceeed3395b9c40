// The per-signal return walk shared by both ways of filling the matrices.
#pragma once

#include "frame/interrupts.hpp"
#include "holdreturn/engine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace holdreturn {

// An entry close at or below 0, NaN or infinite gives no returns.
inline bool valid_entry(double open) noexcept { return open > 0.0 && open < HUGE_VAL; }

inline void mark_invalid(const return_matrices& out, int32_t i) noexcept {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  double* long_row = out.long_row(i);
  double* short_row = out.short_row(i);
  for (int32_t k = 0; k < out.m; ++k) long_row[k] = short_row[k] = nan;
}

// Multiplies the factors of the held bars from..to into the running ratios,
// skipping NaN and infinite closes. Each factor is evaluated as written
// (subtract, divide, add 1, multiply) so results are bit-exact.
inline void hold_bars(const price_series& close, int64_t from, int64_t to, double open,
                      double* long_ratio, double* short_ratio) noexcept {
  double l = *long_ratio;
  double s = *short_ratio;
  for (int64_t t = from; t <= to; ++t) {
    const double current = close.at(t);
    if (!std::isfinite(current)) continue;
    l = l * (((current - open) / open) + 1.0);
    s = s * (((open - current) / open) + 1.0);
  }
  *long_ratio = l;
  *short_ratio = s;
}

// The same in pieces, with a check for pending signals after each piece; the
// factors are multiplied in the same order. False with the exception set.
inline bool hold_bars(const price_series& close, int64_t from, int64_t to, double open,
                      double* long_ratio, double* short_ratio,
                      frame::interrupt_budget* budget) noexcept {
  while (from <= to) {
    const int64_t end = std::min(to, from + frame::interrupt_period - 1);
    hold_bars(close, from, end, open, long_ratio, short_ratio);
    if (!budget->spend(end - from + 1)) return false;
    from = end + 1;
  }
  return true;
}

}  // namespace holdreturn
