// calculate_size and calculate_commission as an engine reaches them: looked
// up by name in the module's globals (then the builtins) at every use, so a
// replacement bound to the module attribute is what runs. While the name
// still holds this module's own function, the native rule runs directly.
#pragma once

#include "frame/python.hpp"

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

}  // namespace rules
