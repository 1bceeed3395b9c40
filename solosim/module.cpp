// The solosim extension module: calculate_commission, calculate_size and
// from_signals, with from_signals' shared list defaults.
#include "frame/binding.hpp"
#include "solosim/engine.hpp"
#include "solosim/names.hpp"
#include "solosim/sizing.hpp"

namespace {

// from_signals' defaults from `size` on. The four lists are built once,
// here at import, and shared by every call that omits them.
PyObject* make_defaults(int index) noexcept {
  if (index != 2) return nullptr;
  return Py_BuildValue("(di[d][d][d]Oid[i]idddiiii()()i)", 1.0, 0, 0.1, 1.0, 5.0, Py_None,
                       1, 1000000.0, 1, 1, 0.0, 0.0, 0.0, 0, 0, 0, 0, 0);
}

const frame::function_def* const functions[] = {
    &sizing::calculate_commission_def, &sizing::calculate_size_def, &solosim::from_signals_def};

const frame::module_spec spec = {
    "solosim", "quorra.accel.solosim", nullptr, functions, 3, make_defaults, solosim::names::init};

}  // namespace

PyMODINIT_FUNC PyInit_solosim(void) { return frame::init_module(spec); }
