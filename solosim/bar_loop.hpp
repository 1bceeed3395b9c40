// The bar loop of from_signals: per-contract position state in parallel
// arrays, the shared cash account, the entry procedure, stop placement and
// maintenance, the four exits in their order and the close-out. One loop,
// instantiated for
//   In    how entries, exits and prices are read (readers.hpp),
//   Rows  how history rows are written (history.hpp),
//   Rules how sizing, commission, stop distances, callbacks, interrupt
//         checks and errors are reached (module_rules.hpp),
//   Sink  what is told of entries, refusals, close-outs and bar ends
//         (rules/events.hpp),
//   Trigger how the stops trigger: on the bar's price (close-only, the
//         from_signals rule) or on its open, high and low (rules/position.hpp),
//         and with the bars whether the market orders fill at the open.
// Arithmetic follows the written order of each rule so that results are
// bit-exact whatever the policies.
#pragma once

#include "frame/errors.hpp"
#include "frame/interrupts.hpp"
#include "frame/storage.hpp"
#include "rules/events.hpp"
#include "rules/position.hpp"
#include "rules/position_stops.hpp"
#include "rules/stops.hpp"
#include "solosim/run_settings.hpp"

#include <concepts>
#include <cstdint>
#include <utility>

namespace solosim {

// What the loop may call on its Rules, checked by the compiler.
template <class R>
concept loop_rules = requires(R& r, typename R::rule* slot, const typename R::rule& rule,
                              double x, int32_t k, int64_t n, double* out,
                              rules::stop_callback_t cb, const double* args) {
  { r.lookup_size(slot) } -> std::same_as<bool>;
  { r.size(rule, x, x, k, x, x, x, out) } -> std::same_as<bool>;
  { r.lookup_commission(slot) } -> std::same_as<bool>;
  { r.commission(rule, x, x, x, x, k, x, out) } -> std::same_as<bool>;
  { r.stop_distance(x, x, k, x, x, x, out) } -> std::same_as<bool>;
  { r.callback(cb, n, n, x, x, x, x, x, x, x, args, n) } -> std::same_as<double>;
  { r.check_interrupts() } -> std::same_as<bool>;
  { r.check_interrupts_after_callback() } -> std::same_as<bool>;
  { r.raise(frame::raise_list_index) } -> std::same_as<bool>;
};

template <class In, class Rows, loop_rules Rules, rules::event_sink Sink = rules::no_events,
          rules::stop_trigger Trigger = rules::close_only>
class bar_loop {
 public:
  using signal = typename In::signal;
  using exit_reason = rules::exit_reason;

  bar_loop(const run_settings& s, const contract_lists& lists, const In& in, const Rows& rows,
           Rules& rules, Sink& sink, Trigger trigger = Trigger{}) noexcept
      : s_(s), lists_(lists), in_(in), rows_(rows), rules_(rules), sink_(sink),
        trigger_(trigger) {}

  // The per-contract state, before the run (it may raise MemoryError).
  bool allocate(int32_t m) noexcept {
    return in_position_.allocate(m) && hold_bars_.allocate(m) && direction_.allocate(m) &&
           position_.allocate(m) && current_size_.allocate(m) && entry_price_.allocate(m) &&
           current_margin_.allocate(m) && stops_.allocate(m);
  }

  // All fees paid, after the run.
  double total_fee() const noexcept { return total_fee_; }

  // Bars 0 .. n - 1 of m contracts, after allocate(m).
  bool run(int32_t n, int32_t m) noexcept {
    start(n, m);
    return run_bars(0, n);
  }

  // The same in pieces: start(), then run_bars() over consecutive ranges
  // from 0 to n.
  void start(int32_t n, int32_t m) noexcept {
    m_ = m;
    current_cash_ = s_.init_cash;
    total_equity_ = s_.init_cash;
    // Stop levels move only with trailing or callbacks.
    maintains_stops_ = (s_.sl_trail != 0 && s_.sl_active) || s_.sl_cb != nullptr ||
                       s_.tp_cb != nullptr;
    warm_ = rules::first_trading_bar(s_.warmup_end, n);
  }

  bool run_bars(int32_t from, int32_t to) noexcept {
    const int32_t m = m_;
    // Warm-up bars trade nothing and read nothing: only their rows are written.
    for (int32_t i = from; i < to && i < warm_; ++i) {
      for (int32_t j = 0; j < m; ++j)
        if (!checked(1) || !write_row(i, j, 0.0)) return false;
      sink_.on_bar_end(i, total_equity_);
    }
    for (int32_t i = from > warm_ ? from : warm_; i < to; ++i) {
      // The contracts in stretches that end where the next check for
      // pending signals is due (a whole bar, unless it is due within it).
      for (int32_t j0 = 0; j0 < m;) {
        const int32_t j1 = m - j0 > budget_.left() ? j0 + int32_t(budget_.left()) : m;
        for (int32_t j = j0; j < j1; ++j)
          if (!trade_cell(i, j)) return false;
        if (!checked(j1 - j0)) return false;
        j0 = j1;
      }
      sink_.on_bar_end(i, total_equity_);
    }
    return true;
  }

 private:
  // Counts work towards the next check for pending signals.
  bool checked(int64_t cells) noexcept { return !budget_.due(cells) || rules_.check_interrupts(); }

  // One contract on one bar after the warm-up: an entry when flat, the
  // holding rules when open, then its row.
  [[gnu::always_inline]] bool trade_cell(int32_t i, int32_t j) noexcept {
    rows_.prefetch(i, j);
    double pnl = 0.0;  // reset for every contract at the start of each bar
    double price;
    if (!in_.price(i, j, &price)) return false;
    if (!in_position_[j]) {
      signal entry;
      bool nonzero;
      if (!in_.entry(i, j, &entry) || !In::nonzero(entry, &nonzero)) return false;
      if (nonzero && !enter(i, j, price, entry)) return false;
      if constexpr (Trigger::at_open) {
        if (in_position_[j]) {
          rules::bar_range b;
          trigger_.bar(i, j, &b);
          if (!after_open(i, j, b, &pnl)) return false;
        }
      }
    } else if (!hold(i, j, price, &pnl)) {
      return false;
    }
    return write_row(i, j, pnl);
  }

  bool write_row(int32_t i, int32_t j, double pnl) noexcept {
    return rows_.template write<In>(i, j, total_equity_, position_[j], current_size_[j], pnl,
                                    cum_profit_, total_fee_);
  }

  // A position is long when its direction equals 1; anything else is short.
  // Asked afresh at every rule that needs it, never cached: on the general
  // path a direction may be a Python object whose == runs code, and that
  // code must run exactly as often as the rules ask.
  bool is_long(int32_t j, bool* out) const noexcept { return In::equals(direction_[j], 1, out); }

  bool enter(int32_t i, int32_t j, double price, signal& entry) noexcept {
    direction_[j] = std::move(entry);
    double trade_price = price;
    if (s_.slip_point > 0) {
      bool long_side;
      if (!is_long(j, &long_side)) return false;
      trade_price = rules::entry_fill(long_side, price, s_.slip_point);
    }

    // The rule is looked up before its arguments are read, as Python
    // evaluates calculate_size(...).
    typename Rules::rule size_rule;
    if (!rules_.lookup_size(&size_rule)) return false;
    if (!lists_.size.has(j) || !lists_.margin_rate.has(j) || !lists_.volume_multiple.has(j))
      return rules_.raise(frame::raise_list_index);
    double lots;
    if (!rules_.size(size_rule, trade_price, lists_.size[j], s_.size_type, current_cash_,
                     lists_.margin_rate[j], lists_.volume_multiple[j], &lots))
      return false;
    current_size_[j] = lots;

    typename Rules::rule com_rule;
    if (!rules_.lookup_commission(&com_rule)) return false;
    if (!lists_.commission.has(j) || !lists_.price_tick.has(j))
      return rules_.raise(frame::raise_list_index);
    const double multiple = lists_.volume_multiple[j];
    double com;
    if (!rules_.commission(com_rule, trade_price, current_size_[j], multiple,
                           lists_.commission[j], s_.com_type, lists_.price_tick[j], &com))
      return false;

    const double margin =
        rules::position_margin(trade_price, current_size_[j], multiple, lists_.margin_rate[j]);
    const double required_cash = margin + com;
    if (!(current_cash_ >= required_cash)) {  // refused: not enough free cash
      sink_.on_refused(i, j);
      return true;
    }

    current_margin_[j] = margin;
    total_equity_ -= com;
    current_cash_ = current_cash_ - (com + margin);
    total_fee_ += com;
    position_[j] = direction_[j];
    entry_price_[j] = trade_price;
    in_position_[j] = 1;
    hold_bars_[j] = 0;
    sink_.on_entry(i, j, direction_[j], current_size_[j], trade_price, com);
    return place_stops(j, trade_price, com);
  }

  // Stop levels of a new position, measured from its fill; the entry
  // commission enters cum_profit between the two.
  bool place_stops(int32_t j, double trade_price, double com) noexcept {
    bool long_side;
    if (!s_.sl_active) {
      stops_.no_stop_loss(j);
    } else {
      double d = 0.0;
      if (s_.sl_stop > 0 && !stop_distance_at(j, trade_price, s_.sl_stop, &d)) return false;
      if (!is_long(j, &long_side)) return false;
      stops_.place_stop_loss(j, long_side, trade_price, d);
    }
    cum_profit_ -= com;
    if (!s_.tp_active) {
      stops_.no_take_profit(j);
    } else {
      double d = 0.0;
      if (s_.tp_stop > 0 && !stop_distance_at(j, trade_price, s_.tp_stop, &d)) return false;
      if (!is_long(j, &long_side)) return false;
      stops_.place_take_profit(j, long_side, trade_price, d);
    }
    return true;
  }

  bool stop_distance_at(int32_t j, double ref_price, double stop_value, double* d) noexcept {
    return rules_.stop_distance(ref_price, stop_value, s_.stop_mode, lists_.price_tick[j],
                                current_size_[j], lists_.volume_multiple[j], d);
  }

  bool call_callback(rules::stop_callback_t cb, int32_t i, int32_t j, double price, double ref,
                     double distance, const double* args, int64_t n_args,
                     double* result) noexcept {
    int32_t dir;
    if (!In::to_int32(direction_[j], &dir)) return false;
    *result = rules_.callback(cb, i, dir, entry_price_[j], price, ref, distance,
                              lists_.price_tick[j], lists_.volume_multiple[j], current_size_[j],
                              args, n_args);
    // A slow callback must not delay a Ctrl-C: a check after each one.
    return rules_.check_interrupts_after_callback();
  }

  // Trailing reference (to `up` for a long, `down` for a short), stop-loss
  // callback, trailing recomputation of the fixed stop-loss, take-profit
  // callback, in that order; the callbacks see `price`.
  bool maintain_stops(int32_t i, int32_t j, double up, double down, double price) noexcept {
    bool long_side;
    if (s_.sl_trail != 0 && s_.sl_active) {
      if (!is_long(j, &long_side)) return false;
      stops_.trail(j, long_side, up, down);
    }
    if (s_.sl_cb != nullptr) {
      double d;
      if (!call_callback(s_.sl_cb, i, j, price, stops_.sl_ref[j], stops_.sl_distance[j],
                         s_.sl_args, s_.sl_args_len, &d))
        return false;
      if (d > 0) {
        if (!is_long(j, &long_side)) return false;
        stops_.move_stop_loss(j, long_side, d);
      }
    }
    if (s_.sl_stop > 0 && s_.sl_cb == nullptr && s_.sl_trail != 0) {
      double d;
      if (!stop_distance_at(j, stops_.sl_ref[j], s_.sl_stop, &d)) return false;
      if (!is_long(j, &long_side)) return false;
      stops_.move_stop_loss(j, long_side, d);
    }
    if (s_.tp_cb != nullptr && stops_.tp[j] > 0) {
      // Without an active stop-loss the reference is the entry fill, where
      // the take-profit was placed from.
      const double ref = s_.sl_active ? stops_.sl_ref[j] : entry_price_[j];
      double d;
      if (!call_callback(s_.tp_cb, i, j, price, ref, stops_.tp_distance[j], s_.tp_args,
                         s_.tp_args_len, &d))
        return false;
      if (d > 0) {
        if (!is_long(j, &long_side)) return false;
        stops_.move_take_profit(j, long_side, ref, d);
      }
    }
    return true;
  }

  // Holding-time and exit-signal fill: current price, less slippage when
  // selling, plus when buying.
  bool market_fill(int32_t j, double price, double* fill) const noexcept {
    *fill = price;
    if (!(s_.slip_point > 0)) return true;
    bool long_side;
    if (!is_long(j, &long_side)) return false;
    *fill = rules::exit_fill(long_side, price, s_.slip_point);
    return true;
  }

  // Stop fills sit at their level (or the open of a gap), moved against
  // the trader by slippage.
  double level_fill(bool long_side, double level) const noexcept {
    return rules::exit_fill(long_side, level, s_.slip_point);
  }

  [[gnu::always_inline]] bool hold(int32_t i, int32_t j, double price, double* pnl) noexcept {
    hold_bars_[j] += 1;
    if constexpr (Trigger::intrabar) {
      return hold_bar(i, j, price, pnl);
    } else {
      if (maintains_stops_ && !maintain_stops(i, j, price, price, price)) return false;
      bool long_side;
      if (s_.sl_active && stops_.sl[j] > 0) {
        if (!is_long(j, &long_side)) return false;
        if (stops_.stop_loss_reached(j, long_side, price))
          return close_out(i, j, level_fill(long_side, stops_.sl[j]), pnl,
                           exit_reason::stop_loss);
      }
      if (s_.tp_active && stops_.tp[j] > 0) {
        if (!is_long(j, &long_side)) return false;
        if (stops_.take_profit_reached(j, long_side, price))
          return close_out(i, j, level_fill(long_side, stops_.tp[j]), pnl,
                           exit_reason::take_profit);
      }
      return market_exits(i, j, price, pnl);
    }
  }

  // With bars: the levels in force are checked against the bar first, then
  // the market exits at the bar's price; a position still open (and not
  // entered on this bar by a reversal) has its stops maintained for the
  // next bar from the bar's high or low, callbacks seeing the close.
  // Filling at the open, the bar's range comes after the market orders.
  bool hold_bar(int32_t i, int32_t j, double price, double* pnl) noexcept {
    rules::bar_range b;
    trigger_.bar(i, j, &b);
    if constexpr (Trigger::at_open) return hold_from_open(i, j, price, b, pnl);
    // The check written out rather than through bar_stops(): this, the
    // common path with bars, measured some 4 % faster so.
    bool long_side;
    if (!is_long(j, &long_side)) return false;
    const bool sl_on = s_.sl_active && stops_.sl[j] > 0;
    const bool tp_on = s_.tp_active && stops_.tp[j] > 0;
    if (sl_on || tp_on) {
      const rules::stop_exit hit =
          stops_.on_bar(j, long_side, b, sl_on, tp_on, s_.take_profit_first);
      if (hit.why != exit_reason::open)
        return close_out(i, j, level_fill(long_side, hit.price), pnl, hit.why);
    }
    if (!market_exits(i, j, price, pnl)) return false;
    if (maintains_stops_ && in_position_[j] && hold_bars_[j] > 0)
      return maintain_stops(i, j, b.high, b.low, b.close);
    return true;
  }

  // The open first (the resting stops' gaps, checked against the open
  // alone, then the market exits there), the range after it.
  bool hold_from_open(int32_t i, int32_t j, double price, const rules::bar_range& b,
                      double* pnl) noexcept {
    bool closed;
    if (!bar_stops(i, j, {b.open, b.open, b.open, b.close}, pnl, &closed)) return false;
    if (closed) return true;
    if (!market_exits(i, j, price, pnl)) return false;
    return !in_position_[j] || after_open(i, j, b, pnl);
  }

  // The levels in force against `b`: the stop it fills, if any, closes the
  // position (`closed`).
  bool bar_stops(int32_t i, int32_t j, const rules::bar_range& b, double* pnl,
                 bool* closed) noexcept {
    *closed = false;
    bool long_side;
    if (!is_long(j, &long_side)) return false;
    const bool sl_on = s_.sl_active && stops_.sl[j] > 0;
    const bool tp_on = s_.tp_active && stops_.tp[j] > 0;
    if (!(sl_on || tp_on)) return true;
    const rules::stop_exit hit =
        stops_.on_bar(j, long_side, b, sl_on, tp_on, s_.take_profit_first);
    if (hit.why == exit_reason::open) return true;
    *closed = true;
    return close_out(i, j, level_fill(long_side, hit.price), pnl, hit.why);
  }

  // After the market orders at the open: the position open now, perhaps
  // entered at this open, meets the bar's range, and still open has its
  // stops maintained from it. A bar that closes twice (a reversal, then
  // the new position's stop) shows the sum of the two in its pnl.
  bool after_open(int32_t i, int32_t j, const rules::bar_range& b, double* pnl) noexcept {
    const double before = *pnl;
    bool closed;
    if (!bar_stops(i, j, b, pnl, &closed)) return false;
    if (closed) {
      *pnl = before + *pnl;
      return true;
    }
    return !maintains_stops_ || maintain_stops(i, j, b.high, b.low, b.close);
  }

  // The holding limit, then the exit signal, at the bar's price; with
  // reversal, an entry of the other direction after them.
  bool market_exits(int32_t i, int32_t j, double price, double* pnl) noexcept {
    double fill;
    if (rules::holding_limit_reached(s_.max_hold_bars, hold_bars_[j]))
      return market_fill(j, price, &fill) && close_out(i, j, fill, pnl, exit_reason::max_hold);
    signal exit;
    bool nonzero;
    if (!in_.exit(i, j, &exit) || !In::nonzero(exit, &nonzero)) return false;
    if (!nonzero) return !s_.reverse || reverse(i, j, price, pnl);
    // (direction == 1 and exit == -1) or (direction == -1 and exit == 1)
    bool dir_match, exit_match = false;
    if (!In::equals(direction_[j], 1, &dir_match)) return false;
    if (dir_match && !In::equals(exit, -1, &exit_match)) return false;
    if (!exit_match) {
      if (!In::equals(direction_[j], -1, &dir_match)) return false;
      if (dir_match && !In::equals(exit, 1, &exit_match)) return false;
    }
    if (!exit_match) return !s_.reverse || reverse(i, j, price, pnl);
    bool was_long = false;
    if (s_.reverse && !is_long(j, &was_long)) return false;
    if (!market_fill(j, price, &fill) || !close_out(i, j, fill, pnl, exit_reason::signal))
      return false;
    return !s_.reverse || enter_opposite(i, j, price, was_long);
  }

  // An entry signal against the open position closes it at the bar's price
  // and enters the other way; one of the same direction is ignored.
  // Out of line: only runs with reversal on, and keeps the common path short.
  [[gnu::noinline]] bool reverse(int32_t i, int32_t j, double price, double* pnl) noexcept {
    bool long_side;
    if (!is_long(j, &long_side)) return false;
    signal entry;
    bool opposite;
    if (!in_.entry(i, j, &entry) || !In::equals(entry, long_side ? -1 : 1, &opposite))
      return false;
    if (!opposite) return true;
    double fill;
    if (!market_fill(j, price, &fill) || !close_out(i, j, fill, pnl, exit_reason::reverse))
      return false;
    return enter(i, j, price, entry);
  }

  // After an exit signal closed a position: an entry of the other direction
  // enters on the same bar.
  [[gnu::noinline]] bool enter_opposite(int32_t i, int32_t j, double price,
                                        bool was_long) noexcept {
    signal entry;
    bool opposite;
    if (!in_.entry(i, j, &entry) || !In::equals(entry, was_long ? -1 : 1, &opposite))
      return false;
    return !opposite || enter(i, j, price, entry);
  }

  bool close_out(int32_t i, int32_t j, double fill, double* pnl, exit_reason why) noexcept {
    typename Rules::rule com_rule;
    if (!rules_.lookup_commission(&com_rule)) return false;
    const double multiple = lists_.volume_multiple[j];
    double com;
    if (!rules_.commission(com_rule, fill, current_size_[j], multiple, lists_.commission[j],
                           s_.com_type, lists_.price_tick[j], &com))
      return false;
    bool long_side;
    if (!is_long(j, &long_side)) return false;
    const double profit =
        rules::close_profit(long_side, fill, entry_price_[j], current_size_[j], multiple, com);
    *pnl = profit;
    current_cash_ += current_margin_[j] + profit;
    current_margin_[j] = 0.0;
    total_equity_ += profit;
    total_fee_ += com;
    position_[j] = In::zero();
    in_position_[j] = 0;
    direction_[j] = In::zero();
    stops_.cancel(j);
    hold_bars_[j] = 0;
    cum_profit_ += profit;
    sink_.on_close(i, j, fill, com, profit, why);
    return true;
  }

  const run_settings& s_;
  const contract_lists& lists_;
  const In& in_;
  const Rows& rows_;
  Rules& rules_;
  Sink& sink_;
  Trigger trigger_;

  bool maintains_stops_ = false;
  int32_t m_ = 0;
  int32_t warm_ = 0;  // bars before this one do not trade
  frame::interrupt_budget budget_;

  // The shared account.
  double current_cash_ = 0.0;
  double total_equity_ = 0.0;
  double cum_profit_ = 0.0;
  double total_fee_ = 0.0;

  // Per-contract state, element j for contract j.
  frame::storage<int32_t> in_position_;
  frame::storage<int32_t> hold_bars_;
  frame::storage<signal> direction_;
  frame::storage<signal> position_;
  frame::storage<double> current_size_;
  frame::storage<double> entry_price_;
  frame::storage<double> current_margin_;
  rules::position_stops<frame::storage<double>> stops_;
};

}  // namespace solosim
