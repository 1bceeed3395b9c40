// calculate_size and calculate_commission as the engine reaches them: looked
// up by name in the module's globals (then the builtins) at every use, so a
// replacement bound to the module attribute is what runs. The module's own
// function objects are served by the native routines directly.
#pragma once

#include "frame/refs.hpp"

#include <cstdint>

namespace solosim {

// The name lookup, done before the call's arguments are read (as Python
// evaluates `calculate_size(...)`). New reference or nullptr with NameError.
PyObject* lookup_calculate_size() noexcept;
PyObject* lookup_calculate_commission() noexcept;

// Calls the looked-up object; the result is read with float conversion.
// False with the exception set.
bool call_calculate_size(PyObject* fn, double close_price, double size, int32_t size_type,
                         double init_cash, double margin_rate, double volume_multiple,
                         double* lots) noexcept;
bool call_calculate_commission(PyObject* fn, double price, double size, double volume_multiple,
                               double commission, int32_t com_type, double price_tick,
                               double* fee) noexcept;

}  // namespace solosim
