// The arithmetic of one position, shared by the solo and the pair loop:
// fills with slippage, margin, the close-out profit, the holding limit, the
// trailing reference, and the stop object's two ways of triggering: on the
// bar's one price (the close-only rule, stops filled at their level) or on
// the bar's open, high and low (stops inside the bar, gaps filled at the
// open). Every expression keeps the written order of its operations, so
// both loops give the results they gave with their own copies.
#pragma once

#include "rules/events.hpp"

#include <concepts>
#include <cstdint>

namespace rules {

// Slippage works against the trader: a buy fills higher, a sell lower.
inline double entry_fill(bool buy, double price, double slip) noexcept {
  if (!(slip > 0)) return price;
  return buy ? price + slip : price - slip;
}
inline double exit_fill(bool was_long, double price, double slip) noexcept {
  if (!(slip > 0)) return price;
  return was_long ? price - slip : price + slip;
}

inline double position_margin(double fill, double lots, double multiple,
                              double margin_rate) noexcept {
  return ((fill * lots) * multiple) * margin_rate;
}

// Realised profit of closing `lots` opened at `entry` at `fill`, net of the
// closing fee.
inline double close_profit(bool was_long, double fill, double entry, double lots,
                           double multiple, double fee) noexcept {
  return was_long ? ((fill - entry) * lots) * multiple - fee
                  : ((entry - fill) * lots) * multiple - fee;
}

// The holding limit: max_hold_bars <= 0 means none.
inline bool holding_limit_reached(int32_t max_hold_bars, int32_t bars_held) noexcept {
  return max_hold_bars > 0 && bars_held >= max_hold_bars;
}

// The warm-up: bars before min_start_length - 1 (`warmup_end`, 64-bit: no
// overflow for any int32 setting) do not trade; none for min_start_length
// <= 1.
inline int64_t warmup_end(int32_t min_start_length) noexcept {
  return int64_t{min_start_length} - 1;
}

inline bool warmed_up(int32_t bar, int64_t warmup_end) noexcept { return bar >= warmup_end; }

// The first bar that trades, within 0 .. n: the first for which warmed_up
// holds.
inline int32_t first_trading_bar(int64_t warmup, int32_t n) noexcept {
  return warmup <= 0 ? 0 : warmup >= n ? n : static_cast<int32_t>(warmup);
}

// A trailing stop's reference follows the best price seen: `up` for a long,
// `down` for a short (a NaN leaves it). Close-only both are the bar's price;
// with bars, the high and the low.
inline double trailed_reference(bool long_side, double ref, double up, double down) noexcept {
  return long_side ? (up > ref ? up : ref) : (down < ref ? down : ref);
}

// Stop levels measured from a reference by a distance.
inline double stop_loss_level(bool long_side, double ref, double d) noexcept {
  return long_side ? ref - d : ref + d;
}
inline double take_profit_level(bool long_side, double ref, double d) noexcept {
  return long_side ? ref + d : ref - d;
}

// One bar's prices, for the stops inside the bar.
struct bar_range {
  double open, high, low, close;
};

// The stop a bar fills, and its price before slippage (`why` open: none).
struct stop_exit {
  exit_reason why = exit_reason::open;
  double price = 0.0;
};

// The close-only way: the bar's price triggers a stop, which fills at its
// level even when the price has gone past it.
inline bool price_reaches_stop_loss(bool long_side, double price, double level) noexcept {
  return long_side ? price <= level : price >= level;
}
inline bool price_reaches_take_profit(bool long_side, double price, double level) noexcept {
  return long_side ? price >= level : price <= level;
}

// The open/high/low way. A level the open is already beyond fills at the
// open (the bar's first price); a level the range reaches fills at the
// level; when the range reaches both and the open is beyond neither,
// `take_profit_first` decides.
inline stop_exit bar_stop_exit(bool long_side, const bar_range& b, bool sl_on, double sl,
                               bool tp_on, double tp, bool take_profit_first) noexcept {
  const bool sl_gap = sl_on && (long_side ? b.open <= sl : b.open >= sl);
  const bool tp_gap = tp_on && (long_side ? b.open >= tp : b.open <= tp);
  if (sl_gap) return {exit_reason::stop_loss, b.open};
  if (tp_gap) return {exit_reason::take_profit, b.open};
  const bool sl_hit = sl_on && (long_side ? b.low <= sl : b.high >= sl);
  const bool tp_hit = tp_on && (long_side ? b.high >= tp : b.low <= tp);
  if (sl_hit && !(tp_hit && take_profit_first)) return {exit_reason::stop_loss, sl};
  if (tp_hit) return {exit_reason::take_profit, tp};
  return {};
}

// How a loop's stops trigger: `intrabar` false reads nothing beyond the
// bar's price; true reads each slot's bar through bar(). `at_open` (with
// intrabar): the market orders fill at the bar's open, before its range.
template <class T>
concept stop_trigger = requires(const T& t, int32_t i, int32_t j, bar_range* b) {
  { T::intrabar } -> std::convertible_to<bool>;
  { T::at_open } -> std::convertible_to<bool>;
  t.bar(i, j, b);
};

struct close_only {
  static constexpr bool intrabar = false;
  static constexpr bool at_open = false;
  void bar(int32_t, int32_t, bar_range*) const noexcept {}
};

// What a loop may tell its event sink.
template <class S>
concept event_sink = requires(S& s, int32_t i, int32_t j, double x, exit_reason why) {
  s.on_entry(i, j, x, x, x, x);
  s.on_refused(i, j);
  s.on_close(i, j, x, x, x, why);
  s.on_bar_end(i, x);
};

// What an entry signal does to an open position of the other direction.
enum class opposite_entry : uint8_t { ignore, reverse };

}  // namespace rules
