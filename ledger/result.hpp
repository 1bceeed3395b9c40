// The ledger's result: the dict of trades, refusals, curves and fees, with
// the trade records as a NumPy structured array.
#pragma once

#include "frame/storage.hpp"
#include "ledger/trades.hpp"

namespace ledger {

// The structured dtypes of the "trades" arrays (slot field "contract" or
// "leg"), made once at import. False with the exception set.
bool make_trade_dtypes() noexcept;

struct run_result {
  PyObject* equity;     // (n,) float64, owned
  PyObject* value;      // (n,) float64, owned
  PyObject* histories;  // list or nullptr, owned
};

// The result dict. `pair` picks the dtype with the "leg" field. Consumes the
// objects of `r` (on failure too). New reference or nullptr.
PyObject* make_result(const recorder& rec, bool pair, double total_fee, run_result r) noexcept;

// A new (n,) float64 array, uninitialised. New reference or nullptr.
PyObject* new_curve(Py_ssize_t n) noexcept;

}  // namespace ledger
