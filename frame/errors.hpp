// The shared error texts. Every raise_* helper sets the exception and returns
// false, so error paths read `return raise_x(...);`. They are cold and out of
// line to keep hot paths short.
#pragma once

#include "frame/python.hpp"

#include <cassert>

namespace frame {

#define FRAME_COLD [[gnu::cold, gnu::noinline]]

// Invariants a reader might doubt; checked in debug and sanitizer builds.
#define FRAME_ASSERT(condition) assert(condition)

// Adds one traceback entry named `qualname` (for example
// "quorra.accel.solosim.from_signals") to the pending exception.
FRAME_COLD void add_traceback(const char* qualname) noexcept;
// The same for a function of this module: "<module full name>.<function>".
FRAME_COLD void add_module_traceback(const char* function) noexcept;

// ---- binding

// TypeError "%.200s() takes %.8s %zd positional argument%.1s (%zd given)":
// "exactly" when every parameter is required, else "at least" below the
// required count and "at most" above the total.
FRAME_COLD bool raise_arg_count(const char* function, int n_required, int n_params,
                                Py_ssize_t given) noexcept;
// TypeError "%.200s() keywords must be strings".
FRAME_COLD bool raise_keyword_not_string(const char* function) noexcept;
// TypeError "%s() got multiple values for keyword argument '%U'".
FRAME_COLD bool raise_keyword_repeats(const char* function, PyObject* key) noexcept;
// TypeError "%s() got an unexpected keyword argument '%U'".
FRAME_COLD bool raise_keyword_unknown(const char* function, PyObject* key) noexcept;
// TypeError "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
FRAME_COLD bool raise_arg_type(const char* param, const char* expected, PyObject* got) noexcept;
// SystemError "Missing type object": the array type test before a successful import.
FRAME_COLD bool raise_missing_type() noexcept;
// TypeError "Argument '%s' must not be None", for an array parameter the
// binding lets None through but the computation needs.
FRAME_COLD bool raise_none_arg(const char* param) noexcept;

// ---- typed buffer views

// ValueError "Buffer has wrong number of dimensions (expected %d, got %d)".
FRAME_COLD bool raise_buffer_ndim(int expected, int got) noexcept;
// ValueError "Big-endian buffer not supported on little-endian compiler".
FRAME_COLD bool raise_buffer_big_endian() noexcept;
// ValueError for a format character the parser does not know: "Does not
// understand character buffer dtype format string ('%c')" after a standard
// size prefix, else "Unexpected format string character: '%c'".
FRAME_COLD bool raise_buffer_format_char(char c, bool standard_sizes) noexcept;
// ValueError "Buffer dtype mismatch, expected '<type_name>' but got <found>".
FRAME_COLD bool raise_buffer_dtype(const char* type_name, const char* found) noexcept;
// ValueError "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)".
FRAME_COLD bool raise_buffer_itemsize(Py_ssize_t itemsize, const char* type_name) noexcept;

// ---- values and indexing

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

// MemoryError.
FRAME_COLD bool raise_no_memory() noexcept;

}  // namespace frame
