// One position's stop orders: the stop-loss and take-profit levels in
// force, the stop-loss's reference (the entry fill, then the best price
// seen when it trails) and the distances the levels were placed at. Both
// loops keep one per slot and place, maintain and trigger through it; a
// stop fills at the price its trigger gives (the level, or the open of a
// gap) moved by exit_fill's slippage. What measures a distance (the native
// rule, a callback) stays with the loop. A level of 0 is no order.
#pragma once

#include "rules/position.hpp"

namespace rules {

struct position_stops {
  double sl = 0.0;
  double tp = 0.0;
  double sl_ref = 0.0;
  double sl_distance = 0.0;
  double tp_distance = 0.0;

  // Placing from a reference at a distance.
  void place_stop_loss(bool long_side, double ref, double d) noexcept {
    sl_ref = ref;
    sl_distance = d;
    sl = stop_loss_level(long_side, ref, d);
  }
  void place_take_profit(bool long_side, double ref, double d) noexcept {
    tp_distance = d;
    tp = take_profit_level(long_side, ref, d);
  }
  void no_stop_loss() noexcept { sl = sl_ref = sl_distance = 0.0; }
  void no_take_profit() noexcept { tp = tp_distance = 0.0; }

  // Maintaining: the reference follows the best price (`up` for a long,
  // `down` for a short), and a level moves to a new distance from its
  // reference.
  void trail(bool long_side, double up, double down) noexcept {
    sl_ref = trailed_reference(long_side, sl_ref, up, down);
  }
  void move_stop_loss(bool long_side, double d) noexcept {
    sl_distance = d;
    sl = stop_loss_level(long_side, sl_ref, d);
  }
  void move_take_profit(bool long_side, double ref, double d) noexcept {
    tp_distance = d;
    tp = take_profit_level(long_side, ref, d);
  }

  // A closed position leaves no orders (the distances are kept: a callback
  // of the next position sees the last one until its own are placed).
  void cancel() noexcept { sl = tp = sl_ref = 0.0; }

  // Triggering, the close-only way: the bar's one price reaches a level
  // (each loop asks for the two in its own order), which fills at the
  // level.
  bool stop_loss_reached(bool long_side, double price) const noexcept {
    return price_reaches_stop_loss(long_side, price, sl);
  }
  bool take_profit_reached(bool long_side, double price) const noexcept {
    return price_reaches_take_profit(long_side, price, tp);
  }
  // The open/high/low way (bar_stop_exit).
  stop_exit on_bar(bool long_side, const bar_range& b, bool sl_on, bool tp_on,
                   bool take_profit_first) const noexcept {
    return bar_stop_exit(long_side, b, sl_on, sl, tp_on, tp, take_profit_first);
  }
};

}  // namespace rules
