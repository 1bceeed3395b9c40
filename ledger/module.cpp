// The ledger extension module: solo and pair, the recorded backtests, and
// EXIT_REASONS, the names of the trades' exit_reason codes.
#include "frame/binding.hpp"
#include "ledger/entry_points.hpp"
#include "ledger/result.hpp"
#include "solosim/names.hpp"

namespace {

constexpr const char* module_doc =
    "Backtests that record what a study needs: every trade with its fills, fees\n"
    "and exit reason, the entries refused for lack of cash, and the account's\n"
    "realised and marked-to-market value per bar. solo and pair run the very\n"
    "loops of solosim.from_signals and spreadsim.pair_from_signals, with checked\n"
    "inputs and the interpreter lock released, so threads run them in parallel.\n";

const frame::function_def* const functions[] = {&ledger::solo_def, &ledger::pair_def};

// EXIT_REASONS and the trades' dtypes, after the functions.
bool add_attributes(PyObject* module) noexcept {
  if (!ledger::make_trade_dtypes()) return false;
  frame::ref reasons = frame::ref::steal(Py_BuildValue(
      "(sssssss)", "open", "stop_loss", "take_profit", "max_hold", "signal", "cascade",
      "reverse"));
  return reasons && PyModule_AddObjectRef(module, "EXIT_REASONS", reasons.get()) == 0;
}

const frame::module_spec spec = {
    "ledger", "quorra.accel.ledger", module_doc, functions, 2, solosim::names::init,
    add_attributes};

}  // namespace

PyMODINIT_FUNC PyInit_ledger(void) { return frame::init_module(spec); }
