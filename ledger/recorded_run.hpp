// The skeleton both ledger functions share once their inputs are taken:
// the histories when asked for, the two curves, the recorder, the run with
// or without history rows, and the result dict.
#pragma once

#include "frame/inputs.hpp"
#include "frame/refs.hpp"
#include "ledger/histories.hpp"
#include "ledger/result.hpp"
#include "ledger/trades.hpp"

#include <cstdint>

namespace ledger {

// `slots` contracts (or legs) over n bars, the positions marked at `close`
// with `multiple`. with_rows(histories, &rec, &total_fee) and
// without_rows(&rec, &total_fee) run the loop; false with the exception
// set. A new reference, or nullptr with the exception set.
template <class WithRows, class WithoutRows>
PyObject* recorded_run(PyObject* histories_arg, int32_t slots, int32_t n,
                       const frame::numeric_input& close, const double* multiple, bool pair,
                       WithRows with_rows, WithoutRows without_rows) noexcept {
  const int want_histories = PyObject_IsTrue(histories_arg);
  if (want_histories < 0) return nullptr;
  history_arrays histories;
  if (want_histories && !histories.create(slots, n)) return nullptr;

  // The second curve only after the first, so a failed allocation stops
  // with its own MemoryError.
  run_result result{};
  frame::ref equity = frame::ref::steal(new_curve(n));
  frame::ref value = equity ? frame::ref::steal(new_curve(n)) : frame::ref();
  if (!equity || !value) return nullptr;
  recorder rec;
  if (!rec.allocate(slots, close, multiple, curve_data(equity.get()), curve_data(value.get())))
    return nullptr;

  double total_fee = 0.0;
  const bool ran = want_histories ? with_rows(histories, &rec, &total_fee)
                                  : without_rows(&rec, &total_fee);
  if (!ran) return nullptr;
  if (rec.out_of_memory()) return PyErr_NoMemory();
  result.equity = equity.release();
  result.value = value.release();
  result.histories = want_histories ? histories.release() : nullptr;
  return make_result(rec, pair, total_fee, result);
}

}  // namespace ledger
