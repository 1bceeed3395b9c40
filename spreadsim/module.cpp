// The spreadsim module: the pair backtest and its sizing rule.
#include "frame/binding.hpp"
#include "solosim/sizing.hpp"
#include "spreadsim/names.hpp"
#include "spreadsim/pair_from_signals.hpp"

namespace {

const frame::function_def* const functions[] = {
    &sizing::calculate_size_def,
    &spreadsim::pair_from_signals_def,
};

// Only pair_from_signals has defaults.
PyObject* defaults(int index) noexcept {
  return functions[index] == &spreadsim::pair_from_signals_def
             ? spreadsim::pair_from_signals_defaults()
             : nullptr;
}

const frame::module_spec spec = {
    "spreadsim", "quorra.accel.spreadsim", nullptr, functions, 2, defaults,
    spreadsim::make_names};

}  // namespace

PyMODINIT_FUNC PyInit_spreadsim(void) { return frame::init_module(spec); }
