#include "holdreturn/engine.hpp"

#include <algorithm>
#include <limits>

namespace holdreturn {
namespace {

// Writes `value` at positions from .. to-1 (none when the range is empty).
inline void fill(double* curve, int64_t from, int64_t to, double value) noexcept {
  if (from < to) std::fill(curve + from, curve + to, value);
}

// The same in pieces of a checking period, with a check for pending signals
// after each (for the rare stretches longer than a period).
bool fill_checked(double* curve, int64_t from, int64_t to, double value,
                  frame::interrupt_budget* budget) noexcept {
  while (to - from > frame::interrupt_period) {
    fill(curve, from, from + frame::interrupt_period, value);
    if (!budget->spend(frame::interrupt_period)) return false;
    from += frame::interrupt_period;
  }
  fill(curve, from, to, value);
  return true;
}

}  // namespace

bool write_curves(double* const* curves, const int32_t* holds, int32_t m, int32_t n,
                  const signal_list& signals, const return_matrices& ratios,
                  frame::interrupt_budget* budget) noexcept {
  if (m == 0) return true;
  constexpr double open_trade = std::numeric_limits<double>::quiet_NaN();
  const int64_t last = n - 1;
  const int64_t first = signals.count > 0 ? signals.index[0] : n;
  for (int32_t k = 0; k < m; ++k)
    if (!fill_checked(curves[k], 0, first, 1.0, budget)) return false;
  // From each signal bar to the next one: NaN while the trade is open, then
  // its ratio from the settle bar on. A signal at or before the settle bar
  // takes over, and the trade's ratio is never shown. All curves advance
  // together so each signal's row of ratios is read once.
  for (int32_t j = 0; j < signals.count; ++j) {
    const int64_t sig = signals.index[j];
    const int64_t next = j + 1 < signals.count ? signals.index[j + 1] : n;
    const double* shown_ratio =
        signals.direction[j] == 1 ? ratios.long_row(j) : ratios.short_row(j);
    if (next - sig > frame::interrupt_period) {
      for (int32_t k = 0; k < m; ++k) {
        const int64_t shown = std::min(std::min(sig + holds[k], last), next);
        if (!fill_checked(curves[k], sig, shown, open_trade, budget) ||
            !fill_checked(curves[k], shown, next, shown_ratio[k], budget))
          return false;
      }
      continue;
    }
    for (int32_t k = 0; k < m; ++k) {
      const int64_t settle = std::min(sig + holds[k], last);
      const int64_t shown = std::min(settle, next);
      fill(curves[k], sig, shown, open_trade);
      fill(curves[k], shown, next, shown_ratio[k]);
    }
    if (!budget->spend((next - sig) * m)) return false;
  }
  return true;
}

}  // namespace holdreturn
