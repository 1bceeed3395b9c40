// The spreadsim module: the pair backtest and its sizing rule.
#include "frame/binding.hpp"
#include "rules/names.hpp"
#include "rules/sizing.hpp"
#include "spreadsim/pair_from_signals.hpp"

namespace {

const frame::function_def* const functions[] = {
    &rules::calculate_size_def,
    &spreadsim::pair_from_signals_def,
};

const frame::module_spec spec = {
    "spreadsim", "quorra.accel.spreadsim", nullptr, functions, 2, rules::names::init};

}  // namespace

PyMODINIT_FUNC PyInit_spreadsim(void) { return frame::init_module(spec); }
