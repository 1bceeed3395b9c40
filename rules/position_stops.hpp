// The stop orders of a loop's positions, one slot per contract (or leg):
// the stop-loss and take-profit levels in force, the stop-loss's reference
// (the entry fill, then the best price seen when it trails) and the
// distances the levels were placed at. Both loops place, trail, move,
// trigger and cancel through it; a stop fills at the price its trigger
// gives (the level, or the open of a gap) moved by exit_fill's slippage.
// What measures a distance (the native rule, a callback) stays with the
// loop. A level of 0 is no order.
//
// Each field is a column over the slots (`Column`: frame::storage<double>
// for the solo loop's m contracts, std::array<double, 2> for a pair's
// legs), so a loop reads one field of one slot as it did from its own
// arrays.
#pragma once

#include "rules/position.hpp"

#include <cstddef>
#include <cstdint>

namespace rules {

template <class Column>
struct position_stops {
  Column sl{};
  Column tp{};
  Column sl_ref{};
  Column sl_distance{};
  Column tp_distance{};

  // For storage columns: every slot with no order.
  bool allocate(size_t slots) noexcept {
    return sl.allocate(slots) && tp.allocate(slots) && sl_ref.allocate(slots) &&
           sl_distance.allocate(slots) && tp_distance.allocate(slots);
  }

  // Placing from a reference at a distance.
  void place_stop_loss(int32_t j, bool long_side, double ref, double d) noexcept {
    sl_ref[j] = ref;
    sl_distance[j] = d;
    sl[j] = stop_loss_level(long_side, ref, d);
  }
  void place_take_profit(int32_t j, bool long_side, double ref, double d) noexcept {
    tp_distance[j] = d;
    tp[j] = take_profit_level(long_side, ref, d);
  }
  void no_stop_loss(int32_t j) noexcept { sl[j] = sl_ref[j] = sl_distance[j] = 0.0; }
  void no_take_profit(int32_t j) noexcept { tp[j] = tp_distance[j] = 0.0; }

  // Maintaining: the reference follows the best price (`up` for a long,
  // `down` for a short; a NaN leaves it), and a level moves to a new
  // distance from its reference.
  void trail(int32_t j, bool long_side, double up, double down) noexcept {
    sl_ref[j] = trailed_reference(long_side, sl_ref[j], up, down);
  }
  void move_stop_loss(int32_t j, bool long_side, double d) noexcept {
    sl_distance[j] = d;
    sl[j] = stop_loss_level(long_side, sl_ref[j], d);
  }
  void move_take_profit(int32_t j, bool long_side, double ref, double d) noexcept {
    tp_distance[j] = d;
    tp[j] = take_profit_level(long_side, ref, d);
  }

  // A closed position leaves no orders (the distances stay: a callback of
  // the slot's next position sees the last ones until its own are placed).
  void cancel(int32_t j) noexcept { sl[j] = tp[j] = sl_ref[j] = 0.0; }

  // Triggering, the close-only way: the bar's one price reaches a level
  // (each loop asks for the two in its own order), which fills at the level.
  bool stop_loss_reached(int32_t j, bool long_side, double price) const noexcept {
    return price_reaches_stop_loss(long_side, price, sl[j]);
  }
  bool take_profit_reached(int32_t j, bool long_side, double price) const noexcept {
    return price_reaches_take_profit(long_side, price, tp[j]);
  }
  // The open/high/low way (bar_stop_exit).
  stop_exit on_bar(int32_t j, bool long_side, const bar_range& b, bool sl_on, bool tp_on,
                   bool take_profit_first) const noexcept {
    return bar_stop_exit(long_side, b, sl_on, sl[j], tp_on, tp[j], take_profit_first);
  }
};

}  // namespace rules
