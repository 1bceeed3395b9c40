// The holding-return engine: signal detection, compounded long and short
// returns per holding length, and one return curve per holding length.
#pragma once

#include "frame/binding.hpp"

namespace holdreturn {

// Interned names the module uses at call time: the six result keys, in the
// order they are inserted, and the name calc_single_holdreturn looks up.
namespace names {
inline PyObject* long_profits = nullptr;
inline PyObject* short_profits = nullptr;
inline PyObject* signal_indices = nullptr;
inline PyObject* signal_directions = nullptr;
inline PyObject* cum_profit = nullptr;
inline PyObject* bars = nullptr;
inline PyObject* calc_holdreturn = nullptr;

// Creates them once, at import. False with the exception set.
bool init() noexcept;
}  // namespace names

// calc_holdreturn after binding: `signals` and `close` are the arguments
// (an ndarray or None), the views their one-dimensional float64 views taken
// in that order, `bars` None or exactly a list. Returns the result dict (new
// reference) or nullptr with the exception set.
PyObject* calc_holdreturn(PyObject* signals, const frame::f64_view& signals_view, PyObject* close,
                          const frame::f64_view& close_view, PyObject* bars) noexcept;

}  // namespace holdreturn
