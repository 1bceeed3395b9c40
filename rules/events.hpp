// What happens in a backtest run, as the bar loops report it to an event
// sink: an entry accepted or refused, a close-out with its reason, the end
// of a bar. The Python-visible backtests run with a sink that does nothing
// (every call compiles away); a recording sink turns the events into trades
// and curves.
#pragma once

#include <cstdint>

namespace rules {

// Why a position was closed (0: still open at the last bar).
enum class exit_reason : int8_t {
  open = 0,
  stop_loss = 1,
  take_profit = 2,
  max_hold = 3,
  signal = 4,
  cascade = 5,  // a pair leg closed because the other leg closed
  reverse = 6,  // closed by an entry signal of the other direction, which then entered
};

// A slot is a contract (solo) or a leg (pair).
struct no_events {
  template <class Direction>
  void on_entry(int32_t /*bar*/, int32_t /*slot*/, const Direction& /*direction*/,
                double /*lots*/, double /*fill*/, double /*fee*/) noexcept {}
  void on_refused(int32_t /*bar*/, int32_t /*slot*/) noexcept {}
  void on_close(int32_t /*bar*/, int32_t /*slot*/, double /*fill*/, double /*fee*/,
                double /*pnl*/, exit_reason /*why*/) noexcept {}
  void on_bar_end(int32_t /*bar*/, double /*equity*/) noexcept {}
};

}  // namespace rules
