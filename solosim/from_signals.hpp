// from_signals: argument preparation, the result and the choice of the loop.
#pragma once

#include "frame/function.hpp"

namespace solosim {

extern const frame::function_def from_signals_def;

}  // namespace solosim
