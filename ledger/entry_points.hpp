// The ledger module's two functions.
#pragma once

#include "frame/function.hpp"

namespace ledger {

extern const frame::function_def solo_def;
extern const frame::function_def pair_def;

}  // namespace ledger
