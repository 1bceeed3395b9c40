// The solosim extension module: calculate_commission, calculate_size and
// from_signals.
#include "frame/binding.hpp"
#include "rules/sizing.hpp"
#include "solosim/from_signals.hpp"
#include "solosim/names.hpp"

namespace {

const frame::function_def* const functions[] = {
    &rules::calculate_commission_def, &rules::calculate_size_def, &solosim::from_signals_def};

const frame::module_spec spec = {
    "solosim", "quorra.accel.solosim", nullptr, functions, 3, solosim::names::init};

}  // namespace

PyMODINIT_FUNC PyInit_solosim(void) { return frame::init_module(spec); }
