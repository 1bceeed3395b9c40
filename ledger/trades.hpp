// What a ledger run records: one trade record per position opened, the
// entries refused for lack of cash, and the account's realised and
// marked-to-market value after every bar. The recorder is the event sink of
// both bar loops (rules/events.hpp) and runs with the interpreter lock
// released: it allocates from the raw allocator and reports a failure
// afterwards.
#pragma once

#include "frame/inputs.hpp"
#include "frame/storage.hpp"
#include "frame/unaligned.hpp"
#include "rules/events.hpp"

#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>

namespace ledger {

// The layout of one element of the "trades" array (its NumPy dtype is
// built from these offsets).
struct trade {
  int32_t slot;       // contract (solo) or leg (pair)
  int32_t entry_bar;
  int32_t exit_bar;   // -1 while open
  int8_t direction;   // 1 long, -1 short
  double lots;
  double entry_price;  // the fill, slippage included
  double exit_price;   // NaN while open
  double entry_fee;
  double exit_fee;     // 0.0 while open
  double pnl;          // net of the exit fee; NaN while open
  int8_t exit_reason;  // rules::exit_reason
};

class recorder {
 public:
  // Per-slot state for `slots` slots and the two curves (n doubles each),
  // marking open positions at `close` (n bars x slots) with the slots'
  // multipliers. Lock held.
  bool allocate(int32_t slots, const frame::numeric_input& close, const double* multiple,
                double* equity, double* value) noexcept {
    close_ = &close;
    multiple_ = multiple;
    equity_ = equity;
    value_ = value;
    return open_.allocate(slots) && refused_.allocate(slots) && sign_.allocate(slots) &&
           entry_.allocate(slots) && lots_.allocate(slots);
  }

  template <class Direction>
  void on_entry(int32_t bar, int32_t slot, const Direction& direction, double lots, double fill,
                double fee) noexcept {
    const int8_t side = direction == 1 ? 1 : -1;
    // Padding bytes zeroed too: the records are copied into the result
    // array as they are, and its bytes should not depend on the stack.
    trade t;
    std::memset(&t, 0, sizeof t);
    t.slot = slot;
    t.entry_bar = bar;
    t.exit_bar = -1;
    t.direction = side;
    t.lots = lots;
    t.entry_price = fill;
    t.exit_price = std::numeric_limits<double>::quiet_NaN();
    t.entry_fee = fee;
    t.exit_fee = 0.0;
    t.pnl = std::numeric_limits<double>::quiet_NaN();
    t.exit_reason = static_cast<int8_t>(rules::exit_reason::open);
    open_[slot] = static_cast<int64_t>(trades_.size());
    if (!trades_.append_unlocked(t)) out_of_memory_ = true;
    sign_[slot] = side;
    entry_[slot] = fill;
    lots_[slot] = lots;
    ++open_count_;
  }

  void on_refused(int32_t, int32_t slot) noexcept { ++refused_[slot]; }

  void on_close(int32_t bar, int32_t slot, double fill, double fee, double pnl,
                rules::exit_reason why) noexcept {
    const int64_t at = open_[slot];
    if (at >= 0 && static_cast<size_t>(at) < trades_.size()) {
      trade& t = trades_[at];
      t.exit_bar = bar;
      t.exit_price = fill;
      t.exit_fee = fee;
      t.pnl = pnl;
      t.exit_reason = static_cast<int8_t>(why);
    }
    sign_[slot] = 0.0;
    --open_count_;
  }

  // Realised equity, and equity plus every open position marked at this
  // bar's close, one addition per position in slot order.
  void on_bar_end(int32_t bar, double equity) noexcept {
    equity_[bar] = equity;
    double v = equity;
    if (open_count_ > 0) v = close_->float64() ? mark<true>(bar, v) : mark<false>(bar, v);
    value_[bar] = v;
  }

  bool out_of_memory() const noexcept { return out_of_memory_; }
  const frame::storage<trade>& trades() const noexcept { return trades_; }
  const frame::storage<int64_t>& refused() const noexcept { return refused_; }

 private:
  // A short's term is exactly the negated long term (IEEE subtraction and
  // multiplication round symmetrically), and a flat slot's is an exact
  // zero, so the sum is that of one term per open position, in slot order,
  // computed without a branch per slot.
  template <bool Float64>
  double mark(int32_t bar, double v) const noexcept {
    const Py_ssize_t slots = static_cast<Py_ssize_t>(sign_.size());
    const double* sign = sign_.get();
    const double* entry = entry_.get();
    const double* lots = lots_.get();
    if (Float64) {
      const char* row = close_->row(bar);
      const Py_ssize_t step = close_->stride(1);
      for (Py_ssize_t j = 0; j < slots; ++j) {
        const double c = frame::load_unaligned<double>(row + j * step);
        v += sign[j] * (((c - entry[j]) * lots[j]) * multiple_[j]);
      }
      return v;
    }
    for (Py_ssize_t j = 0; j < slots; ++j) {
      double c = 0.0;
      close_->get(bar, j, &c);
      v += sign[j] * (((c - entry[j]) * lots[j]) * multiple_[j]);
    }
    return v;
  }

  const frame::numeric_input* close_ = nullptr;
  const double* multiple_ = nullptr;
  double* equity_ = nullptr;
  double* value_ = nullptr;
  bool out_of_memory_ = false;
  int64_t open_count_ = 0;

  frame::storage<trade> trades_;
  frame::storage<int64_t> open_;       // index of each slot's open trade
  frame::storage<int64_t> refused_;
  frame::storage<double> sign_;        // of the open position: 1, -1, or 0 when flat
  frame::storage<double> entry_;
  frame::storage<double> lots_;
};

}  // namespace ledger
