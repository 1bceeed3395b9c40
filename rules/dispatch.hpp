// calculate_size and calculate_commission as an engine reaches them: looked
// up by name in the module's globals (then the builtins) at every use, so a
// replacement bound to the module attribute is what runs. While the name
// still holds this module's own function, the native rule runs directly.
#pragma once

#include "frame/interrupts.hpp"
#include "frame/refs.hpp"

#include <cstdint>

namespace rules {

// The name lookup, done before the call's arguments are read (as Python
// evaluates `calculate_size(...)`). New reference or nullptr with NameError.
PyObject* lookup_calculate_size() noexcept;
PyObject* lookup_calculate_commission() noexcept;

// Calls the looked-up object: the native rule for this module's own
// function (its failure adds the traceback entry "<module>.calculate_size"),
// else the object with Python floats and an int, its result read with float
// conversion. False with the exception set.
bool call_calculate_size(PyObject* fn, double close_price, double size, int32_t size_type,
                         double init_cash, double margin_rate, double volume_multiple,
                         double* lots) noexcept;
bool call_calculate_commission(PyObject* fn, double price, double size, double volume_multiple,
                               double commission, int32_t com_type, double price_tick,
                               double* fee) noexcept;

// What the Python-visible backtests' loops share of their rules policy,
// with the interpreter lock held: calculate_size as the module namespace
// holds it, interrupt checks, errors raised at once.
struct module_lookups {
  using rule = frame::ref;  // the object the name is bound to

  bool lookup_size(rule* r) noexcept {
    *r = frame::ref::steal(lookup_calculate_size());
    return static_cast<bool>(*r);
  }
  bool size(const rule& r, double price, double size, int32_t size_type, double cash,
            double margin_rate, double multiple, double* lots) noexcept {
    return call_calculate_size(r.get(), price, size, size_type, cash, margin_rate, multiple,
                               lots);
  }
  bool check_interrupts() noexcept { return frame::check_interrupts(); }
  // Raises with `raise_error` (one of frame's raise_* helpers); false.
  template <class Raise>
  bool raise(Raise raise_error) noexcept {
    return raise_error();
  }
};

}  // namespace rules
