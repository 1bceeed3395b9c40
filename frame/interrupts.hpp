// Pending signals (Ctrl-C) checked while a long computation runs, so that a
// call can be cancelled: at least every `interrupt_period` units of work
// (cells, bars or elements) and after every native callback. A signal
// handler that raises (KeyboardInterrupt) ends the call with its exception.
#pragma once

#include "frame/python.hpp"

#include <cstdint>

namespace frame {

constexpr int64_t interrupt_period = 65536;

// Runs the signal handlers now; false with the handler's exception set.
inline bool check_interrupts() noexcept { return PyErr_CheckSignals() == 0; }

// Counts work down and checks for signals each time a period is used up.
class interrupt_budget {
 public:
  // True when `work` uses up the period: a check is due (and the count
  // starts again).
  bool due(int64_t work) noexcept {
    left_ -= work;
    if (left_ > 0) [[likely]]
      return false;
    left_ = interrupt_period;
    return true;
  }
  // Work left before the next check is due (at least 1).
  int64_t left() const noexcept { return left_; }
  // Checks when due, with the lock held. False with the handler's exception
  // when a check ran and a handler raised.
  bool spend(int64_t work) noexcept { return !due(work) || check_interrupts(); }

 private:
  int64_t left_ = interrupt_period;
};

}  // namespace frame
