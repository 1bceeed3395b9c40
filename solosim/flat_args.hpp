// The flat blocks of doubles handed to the native stop callbacks, built once
// per from_signals call from sl_callback_args / tp_callback_args.
#pragma once

#include "frame/function.hpp"
#include "frame/storage.hpp"
#include "solosim/run_settings.hpp"

#include <cstdint>

namespace solosim {

// _build_flat_args(args): every element of the tuple `args` through
// np.asarray(a, dtype=np.float64) and np.atleast_1d, float() of each item
// along the first axis, collected into np.array(values, dtype=np.float64).
// New reference, or nullptr with the exception set and a traceback entry
// "quorra.accel.solosim._build_flat_args".
PyObject* build_flat_args(PyObject* args) noexcept;

// One callback's block: a private copy of the flattened values, alive for
// the whole run. data() is null when the block is empty.
class flat_block {
 public:
  // `args` is None or a tuple. None and the empty tuple give np.zeros(0,
  // dtype=np.float64); anything else goes through build_flat_args. False
  // with the exception set.
  bool build(PyObject* args) noexcept;

  const double* data() const noexcept { return len_ > 0 ? values_.get() : nullptr; }
  int64_t size() const noexcept { return len_; }

 private:
  frame::storage<double> values_;
  int64_t len_ = 0;
};

// Both callbacks of a call bound to the solo parameter table: each nonzero
// address checked to be executable code (ValueError otherwise, before
// anything runs), then the stop-loss and the take-profit argument blocks
// built, and the blocks set into the run's settings, alive while this is.
class callback_blocks {
 public:
  bool prepare(const frame::args& a, run_settings* s) noexcept;

 private:
  flat_block sl_, tp_;
};

}  // namespace solosim
