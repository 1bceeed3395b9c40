// The shared error texts. Every raise_* helper sets the exception and returns
// false (or the function returns nullptr), so error paths read
// `return raise_x(...);`. They are cold and out of line to keep hot paths short.
#pragma once

#include "frame/python.hpp"

namespace frame {

#define FRAME_COLD [[gnu::cold, gnu::noinline]]

// Adds one traceback entry named `qualname` (for example
// "quorra.accel.solosim.from_signals") to the pending exception.
FRAME_COLD void add_traceback(const char* qualname) noexcept;

// TypeError "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
FRAME_COLD bool raise_arg_type(const char* param, const char* expected, PyObject* got) noexcept;

// TypeError "Argument '%s' must not be None", for an array parameter the
// binding lets None through but the computation needs.
FRAME_COLD bool raise_none_arg(const char* param) noexcept;

// IndexError "list index out of range", as a list subscript raises it.
FRAME_COLD bool raise_list_index() noexcept;

// ZeroDivisionError "float division".
FRAME_COLD bool raise_float_division() noexcept;

// OverflowError "too many <what>: <count> exceeds 2147483647", for a count
// that does not fit the engines' 32-bit counters.
FRAME_COLD bool raise_too_many(const char* what, Py_ssize_t count) noexcept;

// The conversion errors of int(x) for a float x that is NaN or infinite:
// ValueError "cannot convert float NaN to integer", OverflowError
// "cannot convert float infinity to integer".
FRAME_COLD bool raise_float_to_int(double x) noexcept;

// OverflowError "Python int too large to convert to C int".
FRAME_COLD bool raise_int32_overflow() noexcept;

}  // namespace frame
