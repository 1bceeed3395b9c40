// The bar loop of from_signals: per-contract position state in parallel
// arrays, the shared cash account, the entry procedure, stop placement and
// maintenance, the four exits in their order and the close-out. One loop,
// instantiated for an input-reading policy (readers.hpp) and a row-writing
// policy (history.hpp). Arithmetic follows the written order of each rule so
// that results are bit-exact.
#pragma once

#include "frame/errors.hpp"
#include "frame/interrupts.hpp"
#include "frame/storage.hpp"
#include "rules/dispatch.hpp"
#include "rules/stops.hpp"
#include "solosim/run_settings.hpp"

#include <cstdint>
#include <utility>

namespace solosim {

template <class In, class Rows>
class bar_loop {
 public:
  using signal = typename In::signal;

  bar_loop(const run_settings& s, const contract_lists& lists, const In& in,
           const Rows& rows) noexcept
      : s_(s), lists_(lists), in_(in), rows_(rows) {}

  bool run(int32_t n, int32_t m) noexcept {
    if (!allocate(m)) return false;
    current_cash_ = s_.init_cash;
    total_equity_ = s_.init_cash;
    // Stop levels move only with trailing or callbacks.
    maintains_stops_ = (s_.sl_trail != 0 && s_.sl_active) || s_.sl_cb != nullptr ||
                       s_.tp_cb != nullptr;
    // Warm-up bars trade nothing and read nothing: only their rows are written.
    const int32_t warm = s_.warmup_end <= 0 ? 0 : s_.warmup_end >= n ? n : int32_t(s_.warmup_end);
    for (int32_t i = 0; i < warm; ++i)
      for (int32_t j = 0; j < m; ++j)
        if (!budget_.spend(1) || !write_row(i, j, 0.0)) return false;
    for (int32_t i = warm; i < n; ++i) {
      for (int32_t j = 0; j < m; ++j) {
        if (!budget_.spend(1)) return false;
        rows_.prefetch(i, j);
        double pnl = 0.0;  // reset for every contract at the start of each bar
        double price;
        if (!in_.price(i, j, &price)) return false;
        if (!in_position_[j]) {
          signal entry;
          bool nonzero;
          if (!in_.entry(i, j, &entry) || !In::nonzero(entry, &nonzero)) return false;
          if (nonzero && !enter(j, price, entry)) return false;
        } else if (!hold(i, j, price, &pnl)) {
          return false;
        }
        if (!write_row(i, j, pnl)) return false;
      }
    }
    return true;
  }

 private:
  bool allocate(int32_t m) noexcept {
    return in_position_.allocate(m) && hold_bars_.allocate(m) && direction_.allocate(m) &&
           position_.allocate(m) && current_size_.allocate(m) && entry_price_.allocate(m) &&
           current_margin_.allocate(m) && sl_price_.allocate(m) && tp_price_.allocate(m) &&
           sl_ref_price_.allocate(m) && sl_distance_.allocate(m) && tp_distance_.allocate(m);
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

  bool enter(int32_t j, double price, signal& entry) noexcept {
    direction_[j] = std::move(entry);
    double trade_price = price;
    if (s_.slip_point > 0) {
      bool long_side;
      if (!is_long(j, &long_side)) return false;
      trade_price = long_side ? price + s_.slip_point : price - s_.slip_point;
    }

    frame::ref size_fn = frame::ref::steal(rules::lookup_calculate_size());
    if (!size_fn) return false;
    if (!lists_.size.has(j) || !lists_.margin_rate.has(j) || !lists_.volume_multiple.has(j))
      return frame::raise_list_index();
    double lots;
    if (!rules::call_calculate_size(size_fn.get(), trade_price, lists_.size[j], s_.size_type,
                             current_cash_, lists_.margin_rate[j], lists_.volume_multiple[j],
                             &lots))
      return false;
    current_size_[j] = lots;

    frame::ref com_fn = frame::ref::steal(rules::lookup_calculate_commission());
    if (!com_fn) return false;
    if (!lists_.commission.has(j) || !lists_.price_tick.has(j)) return frame::raise_list_index();
    const double multiple = lists_.volume_multiple[j];
    double com;
    if (!rules::call_calculate_commission(com_fn.get(), trade_price, current_size_[j], multiple,
                                   lists_.commission[j], s_.com_type, lists_.price_tick[j], &com))
      return false;

    const double margin = ((trade_price * current_size_[j]) * multiple) * lists_.margin_rate[j];
    const double required_cash = margin + com;
    if (!(current_cash_ >= required_cash)) return true;  // refused: not enough free cash

    current_margin_[j] = margin;
    total_equity_ -= com;
    current_cash_ = current_cash_ - (com + margin);
    total_fee_ += com;
    position_[j] = direction_[j];
    entry_price_[j] = trade_price;
    in_position_[j] = 1;
    hold_bars_[j] = 0;
    return place_stops(j, trade_price, com);
  }

  // Stop levels of a new position, measured from its fill; the entry
  // commission enters cum_profit between the two.
  bool place_stops(int32_t j, double trade_price, double com) noexcept {
    bool long_side;
    if (!s_.sl_active) {
      sl_price_[j] = 0.0;
      sl_ref_price_[j] = 0.0;
      sl_distance_[j] = 0.0;
    } else {
      sl_ref_price_[j] = trade_price;
      double d = 0.0;
      if (s_.sl_stop > 0 && !stop_distance_at(j, trade_price, s_.sl_stop, &d)) return false;
      sl_distance_[j] = d;
      if (!is_long(j, &long_side)) return false;
      sl_price_[j] = long_side ? trade_price - d : trade_price + d;
    }
    cum_profit_ -= com;
    if (!s_.tp_active) {
      tp_price_[j] = 0.0;
      tp_distance_[j] = 0.0;
    } else {
      double d = 0.0;
      if (s_.tp_stop > 0 && !stop_distance_at(j, trade_price, s_.tp_stop, &d)) return false;
      tp_distance_[j] = d;
      if (!is_long(j, &long_side)) return false;
      tp_price_[j] = long_side ? trade_price + d : trade_price - d;
    }
    return true;
  }

  bool stop_distance_at(int32_t j, double ref_price, double stop_value, double* d) const noexcept {
    return rules::calc_stop_distance(ref_price, stop_value, s_.stop_mode, lists_.price_tick[j],
                              current_size_[j], lists_.volume_multiple[j], d);
  }

  bool call_callback(rules::stop_callback_t cb, int32_t i, int32_t j, double price, double ref,
                     double distance, const double* args, int64_t n_args,
                     double* result) const noexcept {
    int32_t dir;
    if (!In::to_int32(direction_[j], &dir)) return false;
    *result = rules::call_stop_callback(cb, i, dir, entry_price_[j], price, ref, distance,
                                        lists_.price_tick[j], lists_.volume_multiple[j],
                                        current_size_[j], args, n_args);
    // A slow callback must not delay a Ctrl-C.
    return frame::check_interrupts();
  }

  // Trailing reference, stop-loss callback, trailing recomputation of the
  // fixed stop-loss, take-profit callback, in that order.
  bool maintain_stops(int32_t i, int32_t j, double price) noexcept {
    bool long_side;
    if (s_.sl_trail != 0 && s_.sl_active) {
      if (!is_long(j, &long_side)) return false;
      if (long_side ? price > sl_ref_price_[j] : price < sl_ref_price_[j]) sl_ref_price_[j] = price;
    }
    if (s_.sl_cb != nullptr) {
      double d;
      if (!call_callback(s_.sl_cb, i, j, price, sl_ref_price_[j], sl_distance_[j], s_.sl_args,
                         s_.sl_args_len, &d))
        return false;
      if (d > 0) {
        sl_distance_[j] = d;
        if (!is_long(j, &long_side)) return false;
        sl_price_[j] = long_side ? sl_ref_price_[j] - d : sl_ref_price_[j] + d;
      }
    }
    if (s_.sl_stop > 0 && s_.sl_cb == nullptr && s_.sl_trail != 0) {
      double d;
      if (!stop_distance_at(j, sl_ref_price_[j], s_.sl_stop, &d)) return false;
      sl_distance_[j] = d;
      if (!is_long(j, &long_side)) return false;
      sl_price_[j] = long_side ? sl_ref_price_[j] - d : sl_ref_price_[j] + d;
    }
    if (s_.tp_cb != nullptr && tp_price_[j] > 0) {
      // Without an active stop-loss the reference is the entry fill, where
      // the take-profit was placed from.
      const double ref = s_.sl_active ? sl_ref_price_[j] : entry_price_[j];
      double d;
      if (!call_callback(s_.tp_cb, i, j, price, ref, tp_distance_[j], s_.tp_args,
                         s_.tp_args_len, &d))
        return false;
      if (d > 0) {
        tp_distance_[j] = d;
        if (!is_long(j, &long_side)) return false;
        tp_price_[j] = long_side ? ref + d : ref - d;
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
    *fill = long_side ? price - s_.slip_point : price + s_.slip_point;
    return true;
  }

  // Stop fills sit at their level, moved against the trader by slippage.
  double level_fill(bool long_side, double level) const noexcept {
    if (!(s_.slip_point > 0)) return level;
    return long_side ? level - s_.slip_point : level + s_.slip_point;
  }

  bool hold(int32_t i, int32_t j, double price, double* pnl) noexcept {
    hold_bars_[j] += 1;
    if (maintains_stops_ && !maintain_stops(i, j, price)) return false;
    bool long_side;
    if (s_.sl_active && sl_price_[j] > 0) {
      if (!is_long(j, &long_side)) return false;
      const double level = sl_price_[j];
      if (long_side ? price <= level : price >= level)
        return close_out(j, level_fill(long_side, level), pnl);
    }
    if (s_.tp_active && tp_price_[j] > 0) {
      if (!is_long(j, &long_side)) return false;
      const double level = tp_price_[j];
      if (long_side ? price >= level : price <= level)
        return close_out(j, level_fill(long_side, level), pnl);
    }
    double fill;
    if (s_.max_hold_bars > 0 && hold_bars_[j] >= s_.max_hold_bars)
      return market_fill(j, price, &fill) && close_out(j, fill, pnl);
    signal exit;
    bool nonzero;
    if (!in_.exit(i, j, &exit) || !In::nonzero(exit, &nonzero)) return false;
    if (!nonzero) return true;
    // (direction == 1 and exit == -1) or (direction == -1 and exit == 1)
    bool dir_match, exit_match = false;
    if (!In::equals(direction_[j], 1, &dir_match)) return false;
    if (dir_match && !In::equals(exit, -1, &exit_match)) return false;
    if (!exit_match) {
      if (!In::equals(direction_[j], -1, &dir_match)) return false;
      if (dir_match && !In::equals(exit, 1, &exit_match)) return false;
    }
    if (!exit_match) return true;
    return market_fill(j, price, &fill) && close_out(j, fill, pnl);
  }

  bool close_out(int32_t j, double fill, double* pnl) noexcept {
    frame::ref com_fn = frame::ref::steal(rules::lookup_calculate_commission());
    if (!com_fn) return false;
    const double multiple = lists_.volume_multiple[j];
    double com;
    if (!rules::call_calculate_commission(com_fn.get(), fill, current_size_[j], multiple,
                                   lists_.commission[j], s_.com_type, lists_.price_tick[j], &com))
      return false;
    bool long_side;
    if (!is_long(j, &long_side)) return false;
    const double profit = long_side
                              ? ((fill - entry_price_[j]) * current_size_[j]) * multiple - com
                              : ((entry_price_[j] - fill) * current_size_[j]) * multiple - com;
    *pnl = profit;
    current_cash_ += current_margin_[j] + profit;
    current_margin_[j] = 0.0;
    total_equity_ += profit;
    total_fee_ += com;
    position_[j] = In::zero();
    in_position_[j] = 0;
    direction_[j] = In::zero();
    sl_price_[j] = 0.0;
    tp_price_[j] = 0.0;
    sl_ref_price_[j] = 0.0;
    hold_bars_[j] = 0;
    cum_profit_ += profit;
    return true;
  }

  const run_settings& s_;
  const contract_lists& lists_;
  const In& in_;
  const Rows& rows_;

  bool maintains_stops_ = false;
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
  frame::storage<double> sl_price_;
  frame::storage<double> tp_price_;
  frame::storage<double> sl_ref_price_;
  frame::storage<double> sl_distance_;
  frame::storage<double> tp_distance_;
};

}  // namespace solosim
