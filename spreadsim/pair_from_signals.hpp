// pair_from_signals: the Python-visible entry point of the pair backtest.
#pragma once

#include "frame/binding.hpp"

namespace spreadsim {

extern const frame::function_def pair_from_signals_def;

}  // namespace spreadsim
