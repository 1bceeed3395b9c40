// The ledger's settings checks: per-contract (or per-leg) settings as one
// number for every slot or exactly one number per slot, each value finite
// and in range; the starting cash; the pair's lot ratio.
#pragma once

#include "frame/function.hpp"
#include "frame/storage.hpp"

#include <cstdint>

namespace ledger {

enum class bound : uint8_t {
  positive,      // finite and > 0
  non_negative,  // finite and >= 0
};

// `arg` as `slots` doubles: an int, a float, a NumPy scalar or a 0-d array
// gives the same value for every slot; a sequence or 1-D array must have
// exactly `slots` numbers. `what` names the slots in messages ("contracts",
// "legs"). ValueError for a wrong length or a value out of `b`, TypeError
// for what is not numbers; false with the exception set.
bool per_slot(PyObject* arg, const char* name, Py_ssize_t slots, const char* what, bound b,
              frame::storage<double>* out) noexcept;

// The single-precision settings of solo and pair as the run keeps them,
// after rounding: init_cash finite and > 0, slip_point not infinite (NaN
// and values <= 0 are no slippage, as in the engines). ValueError
// naming the setting and the given value otherwise.
bool check_single_settings(const frame::args& a) noexcept;

// sl_callback_addr and tp_callback_addr given as a float or a bool (Python
// or NumPy): only a value of exactly 0 (no callback) is taken; any other is
// TypeError naming the parameter, since its integer conversion would
// truncate 0.9 into "no callback" and make True the address 1.
bool check_callback_objects(const frame::args& a) noexcept;

// leg_size_ratio: a number sets leg A's ratio (B stays 1.0); a sequence of
// two numbers sets both. Each finite and > 0.
bool leg_ratio(PyObject* arg, double ratio[2]) noexcept;

// ValueError "<name> is <v>; <rule>" (index < 0) or "<name>[<index>] is <v>; <rule>".
[[gnu::cold]] bool raise_value(const char* name, Py_ssize_t index, double v,
                               const char* rule) noexcept;

}  // namespace ledger
