// pair_from_signals: the Python-visible entry point of the pair backtest.
#pragma once

#include "frame/binding.hpp"

namespace spreadsim {

extern const frame::function_def pair_from_signals_def;

// The defaults of parameters 4 to 20, with the four list defaults made here
// once and shared by every call. New reference or nullptr.
PyObject* pair_from_signals_defaults() noexcept;

}  // namespace spreadsim
