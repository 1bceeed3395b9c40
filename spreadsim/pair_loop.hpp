// The pair loop: warm-up, joint entry, per-leg exits and the cascade close,
// writing both legs' rows on every bar. One loop, instantiated for
//   Reads how entries, exits and prices are read (bar_reads.hpp),
//   Rows  how the two legs' rows are written (pair_rows.hpp),
//   Rules how sizing, stop distances, interrupt checks and errors are
//         reached (module_rules.hpp),
//   Sink  what is told of entries, refusals, close-outs and bar ends
//         (rules/events.hpp),
//   Trigger how the stops trigger: on the bar's price (close-only, the
//         pair_from_signals rule) or on each leg's open, high and low
//         (rules/position.hpp), and with the bars whether the market
//         orders fill at the open.
// Arithmetic follows the written order of each rule so that results are
// bit-exact whatever the policies.
#pragma once

#include "frame/binding.hpp"
#include "rules/events.hpp"
#include "rules/position.hpp"
#include "rules/position_stops.hpp"
#include "rules/sizing.hpp"
#include "spreadsim/bar_reads.hpp"
#include "spreadsim/pair_settings.hpp"

#include <array>
#include <cmath>
#include <concepts>
#include <cstdint>

namespace spreadsim {

struct pair_inputs {
  bar_input entries;  // 1-D
  bar_input exits;    // 1-D
  bar_input prices;   // (n, 2)
};

// Lots of one leg: the sized count times the leg's ratio, truncated to a
// 32-bit integer and raised to at least 1. A NaN product, or one whose
// truncation does not fit 32 bits, also gives 1.
inline double leg_lots(double count, double ratio) noexcept {
  const double x = count * ratio;
  return (x >= 1.0 && x < 2147483648.0) ? std::trunc(x) : 1.0;
}

// What the loop may call on its Rules, checked by the compiler.
template <class R>
concept pair_rules = requires(R& r, typename R::rule* slot, const typename R::rule& rule,
                              double x, int32_t k, double* out, const pair_settings& s) {
  { r.lookup_size(slot) } -> std::same_as<bool>;
  { r.leg_size(s, 0, out) } -> std::same_as<bool>;
  { r.size(rule, x, x, k, x, x, x, out) } -> std::same_as<bool>;
  { r.stop_dist(x, x, k, x, x, x) } -> std::same_as<double>;
  { r.check_interrupts() } -> std::same_as<bool>;
  { r.raise(frame::raise_list_index) } -> std::same_as<bool>;
};

template <class Reads, class Rows, pair_rules Rules, rules::event_sink Sink = rules::no_events,
          rules::stop_trigger Trigger = rules::close_only>
class pair_loop {
 public:
  using exit_reason = rules::exit_reason;

  pair_loop(const pair_settings& s, const pair_inputs& in, const Rows& rows, Rules& rules,
            Sink& sink, Trigger trigger = Trigger{}) noexcept
      : s_(s), in_(in), rows_(rows), rules_(rules), sink_(sink), trigger_(trigger),
        current_cash_(s.init_cash), total_equity_(s.init_cash) {}

  // All fees paid, after the run.
  double total_fee() const noexcept { return total_fee_; }

  bool run(int32_t n) noexcept { return run_bars(0, n); }

  // The same in pieces: consecutive ranges from 0 to n.
  bool run_bars(int32_t from, int32_t to) noexcept {
    for (int32_t i = from; i < to; ++i) {
      if (budget_.due(2) && !rules_.check_interrupts()) return false;
      pnl_[0] = 0.0;
      pnl_[1] = 0.0;
      if (rules::warmed_up(i, s_.warmup_end) && !trade_bar(i)) return false;
      for (int j = 0; j < 2; ++j)
        rows_.write(j, i, total_equity_, position_[j], current_size_[j], pnl_[j], cum_profit_,
                    total_fee_);
      sink_.on_bar_end(i, total_equity_);
    }
    return true;
  }

 private:
  // Entry when both legs are flat; otherwise the leg phase and the cascade.
  // Both legs are open or both flat at the start of every bar.
  bool trade_bar(Py_ssize_t i) noexcept {
    if (in_position_[0] == 0 && in_position_[1] == 0) {
      bool signal;
      if (!Reads::signal(in_.entries, i, Py_NE, &signal)) return false;
      // A refused entry leaves both legs flat: the leg phase has nothing to do.
      if (!signal) return true;
      if (!enter(i)) return false;
      if constexpr (Trigger::at_open) after_open(i);
      return true;
    }
    const bool long_spread = direction_[0] == 1;
    closed_by_rule_ = false;
    if (!leg_step(i, 0) || !leg_step(i, 1) || !cascade(i)) return false;
    if (s_.reverse && !closed_by_rule_ && !reverse(i, long_spread)) return false;
    if constexpr (Trigger::at_open)
      after_open(i);
    else if constexpr (Trigger::intrabar)
      trail_after_bar();
    return true;
  }

  // Filling at the open, after the market orders there: each leg open now,
  // perhaps entered at this open, meets its bar's range. A leg left alone
  // closes at the open when the other's stop filled there (a level at or
  // past the open, placed by a fill at it), else at the bar's close (the
  // open has passed); the legs still open trail. A leg that closes twice on
  // the bar (a reversal, then the new leg's stop) shows the sum in its pnl.
  void after_open(Py_ssize_t i) noexcept {
    bool at_open[2] = {false, false};
    for (int j = 0; j < 2; ++j) {
      if (in_position_[j] == 0) continue;
      trigger_.bar(static_cast<int32_t>(i), j, &bars_[j]);
      const bool is_long = direction_[j] == 1;
      const rules::stop_exit hit = stops_.on_bar(j, is_long, bars_[j], s_.sl_stop > 0,
                                                 s_.tp_stop > 0, s_.take_profit_first);
      if (hit.why != exit_reason::open) {
        at_open[j] = hit.price == bars_[j].open;
        const double before = pnl_[j];
        close_leg(i, j, exit_fill(is_long, hit.price), hit.why);
        pnl_[j] = before + pnl_[j];
      }
    }
    const int k = lone_leg();
    if (k >= 0) {
      const double p = at_open[1 - k] ? bars_[k].open : bars_[k].close;
      const double before = pnl_[k];
      close_leg(i, k, exit_fill(direction_[k] == 1, p), exit_reason::cascade);
      pnl_[k] = before + pnl_[k];
    }
    trail_after_bar();
  }

  // An entry signal against the spread, on a bar where no stop or holding
  // limit closed a leg: the legs still open close at the bar's price, then
  // the other spread enters by the normal procedure.
  bool reverse(Py_ssize_t i, bool long_spread) noexcept {
    bool opposite;
    if (!Reads::signal(in_.entries, i, long_spread ? Py_LT : Py_GT, &opposite)) return false;
    if (!opposite) return true;
    for (int j = 0; j < 2; ++j) {
      if (in_position_[j] == 0) continue;
      double p;
      if (!Reads::price(in_.prices, i, j, &p)) return false;
      close_leg(i, j, exit_fill(direction_[j] == 1, p), exit_reason::reverse);
    }
    return enter(i);
  }

  // With bars: a leg still open after the bar, not entered on it (unless
  // entered at its open, before the range), trails its stop-loss from the
  // bar's high (long) or low (short).
  void trail_after_bar() noexcept {
    if (!(s_.sl_stop > 0 && s_.sl_trail != 0)) return;
    for (int j = 0; j < 2; ++j) {
      if (in_position_[j] == 0 || (hold_bars_[j] == 0 && !Trigger::at_open)) continue;
      const bool is_long = direction_[j] == 1;
      trail_stop(j, is_long, is_long ? bars_[j].high : bars_[j].low);
    }
  }

  double entry_fill(bool buy, double price) const noexcept {
    return rules::entry_fill(buy, price, s_.slip_point);
  }
  double exit_fill(bool was_long, double price) const noexcept {
    return rules::exit_fill(was_long, price, s_.slip_point);
  }

  // Both legs are sized, charged and checked against free cash together;
  // either both enter or neither (only `direction_` changes then).
  bool enter(Py_ssize_t i) noexcept {
    bool long_spread;
    if (!Reads::signal(in_.entries, i, Py_GT, &long_spread)) return false;
    direction_[0] = long_spread ? 1 : -1;
    direction_[1] = long_spread ? -1 : 1;

    double fill[2];
    for (int j = 0; j < 2; ++j) {
      double p;
      if (!Reads::price(in_.prices, i, j, &p)) return false;
      fill[j] = entry_fill(direction_[j] == 1, p);
    }
    double count[2];
    for (int j = 0; j < 2; ++j)
      if (!size_leg(fill[j], j, &count[j])) return false;
    const double lots[2] = {leg_lots(count[0], s_.ratio[0]), leg_lots(count[1], s_.ratio[1])};

    double fee[2];
    for (int j = 0; j < 2; ++j) {
      if (!s_.volume_multiple.has(j) || !s_.commission.has(j) || !s_.price_tick.has(j))
        return rules_.raise(frame::raise_list_index);
      fee[j] = rules::calc_commission(fill[j], lots[j], s_.volume_multiple.at(j),
                                      s_.commission.at(j), s_.com_type, s_.price_tick.at(j));
    }
    // Sizing has read both legs' margin rates and multipliers.
    double margin[2];
    for (int j = 0; j < 2; ++j)
      margin[j] =
          rules::position_margin(fill[j], lots[j], s_.volume_multiple.at(j), s_.margin_rate.at(j));

    const double total_required = ((margin[0] + fee[0]) + margin[1]) + fee[1];
    if (!(current_cash_ >= total_required)) {  // refused; NaN refuses too
      sink_.on_refused(static_cast<int32_t>(i), 0);
      sink_.on_refused(static_cast<int32_t>(i), 1);
      return true;
    }
    for (int j = 0; j < 2; ++j) {
      open_leg(j, fill[j], lots[j], fee[j], margin[j]);
      sink_.on_entry(static_cast<int32_t>(i), j, direction_[j], lots[j], fill[j], fee[j]);
    }
    // The entry bar runs no exit check.
    return true;
  }

  // One leg's lot count from the sizing rule: looked up before its
  // arguments are read, as Python evaluates calculate_size(...).
  bool size_leg(double fill, int j, double* count) noexcept {
    typename Rules::rule size_rule;
    if (!rules_.lookup_size(&size_rule)) return false;
    double size;
    if (!rules_.leg_size(s_, j, &size)) return false;
    if (!s_.margin_rate.has(j) || !s_.volume_multiple.has(j))
      return rules_.raise(frame::raise_list_index);
    return rules_.size(size_rule, fill, size, s_.size_type, current_cash_, s_.margin_rate.at(j),
                       s_.volume_multiple.at(j), count);
  }

  void open_leg(int j, double fill, double lots, double fee, double margin) noexcept {
    const double tick = s_.price_tick.at(j);
    const double multiple = s_.volume_multiple.at(j);
    const bool is_long = direction_[j] == 1;
    current_size_[j] = lots;
    total_equity_ -= fee;
    current_cash_ -= (margin + fee);
    current_margin_[j] = margin;
    total_fee_ += fee;
    cum_profit_ -= fee;
    position_[j] = direction_[j];
    entry_price_[j] = fill;
    in_position_[j] = 1;
    hold_bars_[j] = 0;
    if (s_.sl_stop > 0) {
      const double d = rules_.stop_dist(fill, s_.sl_stop, s_.stop_mode, tick, lots, multiple);
      stops_.place_stop_loss(j, is_long, fill, d);
    } else {
      stops_.no_stop_loss(j);
    }
    if (s_.tp_stop > 0) {
      const double d = rules_.stop_dist(fill, s_.tp_stop, s_.stop_mode, tick, lots, multiple);
      stops_.place_take_profit(j, is_long, fill, d);
    } else {
      stops_.no_take_profit(j);
    }
  }

  // Trailing, then stop-loss, take-profit, holding-time limit and exit
  // signal; the first rule met closes the leg and ends its step.
  bool leg_step(Py_ssize_t i, int j) noexcept {
    if (in_position_[j] == 0) return true;
    hold_bars_[j] += 1;
    const bool is_long = direction_[j] == 1;
    // Every exit rule of an open leg works with this bar's price.
    double p;
    if (!Reads::price(in_.prices, i, j, &p)) return false;

    if constexpr (Trigger::intrabar) {
      // The levels in force against the bar first (filling at the open,
      // against the open only: the range comes after the market orders);
      // trailing after it.
      trigger_.bar(static_cast<int32_t>(i), j, &bars_[j]);
      rules::bar_range b = bars_[j];
      if constexpr (Trigger::at_open) b.high = b.low = b.open;
      const rules::stop_exit hit =
          stops_.on_bar(j, is_long, b, s_.sl_stop > 0, s_.tp_stop > 0, s_.take_profit_first);
      if (hit.why != exit_reason::open) {
        closed_by_rule_ = true;
        close_leg(i, j, exit_fill(is_long, hit.price), hit.why);
        return true;
      }
    } else {
      if (s_.sl_stop > 0) {
        if (s_.sl_trail != 0) trail_stop(j, is_long, p);
        // Stops fill at their own level, even when the price has gone past it.
        if (stops_.stop_loss_reached(j, is_long, p)) {
          closed_by_rule_ = true;
          close_leg(i, j, exit_fill(is_long, stops_.sl[j]), exit_reason::stop_loss);
          return true;
        }
      }
      if (s_.tp_stop > 0 && stops_.take_profit_reached(j, is_long, p)) {
        closed_by_rule_ = true;
        close_leg(i, j, exit_fill(is_long, stops_.tp[j]), exit_reason::take_profit);
        return true;
      }
    }
    exit_reason why = exit_reason::max_hold;
    if (rules::holding_limit_reached(s_.max_hold_bars, hold_bars_[j])) {
      closed_by_rule_ = true;
    } else {
      // A long leg leaves on a negative exit signal, a short one on a positive.
      bool leave;
      if (!Reads::signal(in_.exits, i, Py_NE, &leave)) return false;
      if (leave && !Reads::signal(in_.exits, i, is_long ? Py_LT : Py_GT, &leave)) return false;
      if (!leave) return true;
      why = exit_reason::signal;
    }
    close_leg(i, j, exit_fill(is_long, p), why);
    return true;
  }

  // The stop-loss reference follows the best price (a NaN price leaves it),
  // and the stop is placed again from it on every bar.
  void trail_stop(int j, bool is_long, double p) noexcept {
    stops_.trail(j, is_long, p, p);
    const double d = rules_.stop_dist(stops_.sl_ref[j], s_.sl_stop, s_.stop_mode,
                                      s_.price_tick.at(j), current_size_[j],
                                      s_.volume_multiple.at(j));
    stops_.move_stop_loss(j, is_long, d);
  }

  // The leg open while the other is flat, or -1.
  int lone_leg() const noexcept {
    if (in_position_[0] == 1 && in_position_[1] == 0) return 0;
    if (in_position_[0] == 0 && in_position_[1] == 1) return 1;
    return -1;
  }

  // A leg left alone by the other's close goes on the same bar.
  bool cascade(Py_ssize_t i) noexcept {
    const int k = lone_leg();
    if (k < 0) return true;
    double p;
    if (!Reads::price(in_.prices, i, k, &p)) return false;
    close_leg(i, k, exit_fill(direction_[k] == 1, p), exit_reason::cascade);
    return true;
  }

  void close_leg(Py_ssize_t i, int j, double trade_price, exit_reason why) noexcept {
    const double multiple = s_.volume_multiple.at(j);
    const double fee = rules::calc_commission(trade_price, current_size_[j], multiple,
                                               s_.commission.at(j), s_.com_type,
                                               s_.price_tick.at(j));
    const double profit = rules::close_profit(direction_[j] == 1, trade_price, entry_price_[j],
                                              current_size_[j], multiple, fee);
    pnl_[j] = profit;
    cum_profit_ += profit;
    current_cash_ = current_cash_ + (current_margin_[j] + profit);
    current_margin_[j] = 0.0;
    total_fee_ += fee;
    total_equity_ += profit;
    position_[j] = 0.0;
    in_position_[j] = 0;
    direction_[j] = 0;
    stops_.cancel(j);
    hold_bars_[j] = 0;
    sink_.on_close(static_cast<int32_t>(i), j, trade_price, fee, profit, why);
  }

  const pair_settings& s_;
  const pair_inputs& in_;
  const Rows& rows_;
  Rules& rules_;
  Sink& sink_;
  Trigger trigger_;
  frame::interrupt_budget budget_;
  bool closed_by_rule_ = false;  // a stop or the holding limit closed a leg on this bar
  rules::bar_range bars_[2] = {};  // this bar's prices of each leg, with bars

  // The account, shared by both legs.
  double current_cash_;
  double total_equity_;
  double cum_profit_ = 0.0;
  double total_fee_ = 0.0;

  // Per-leg state, element 0 leg A, element 1 leg B.
  double pnl_[2] = {0.0, 0.0};
  double position_[2] = {0.0, 0.0};
  double current_size_[2] = {0.0, 0.0};
  double entry_price_[2] = {0.0, 0.0};
  int32_t in_position_[2] = {0, 0};
  int32_t direction_[2] = {0, 0};
  double current_margin_[2] = {0.0, 0.0};
  rules::position_stops<std::array<double, 2>> stops_;
  int32_t hold_bars_[2] = {0, 0};
};

}  // namespace spreadsim
