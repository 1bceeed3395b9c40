// Conversions between Python objects and native numbers, with the
// interpreter's own rules and error texts.
#pragma once

#include "frame/python.hpp"

#include <cstdint>

namespace frame {

// Scalar parameter kinds. Each returns false with the exception set.
bool to_double(PyObject* o, double* out) noexcept;     // float(o) as a C double
bool to_float32(PyObject* o, float* out) noexcept;     // the double rounded to single precision
bool to_int32(PyObject* o, int32_t* out) noexcept;     // int, or o.__int__(), 32-bit range
bool to_int64(PyObject* o, int64_t* out) noexcept;     // the same, 64-bit range

// int32 conversion of a Python float's value (what to_int32 does for a
// float object): truncates toward zero, raises for NaN, infinity and values
// outside the 32-bit range.
bool double_to_int32(double x, int32_t* out) noexcept;

// "float coercion": float unchanged, int to its float, other numbers through
// float(); anything else TypeError "Expected float, got <type>". New reference.
PyObject* float_coerce(PyObject* o) noexcept;

// "float call": Python's float(o) as a double. With strict_result, a
// __float__ that returns a non-float raises TypeError
// "__float__ returned non-float (type %.200s)"; otherwise the interpreter's
// own float constructor reports it.
bool float_call(PyObject* o, double* out, bool strict_result = false) noexcept;

// "subscript": o[index] with an integer index object. New reference.
PyObject* subscript(PyObject* o, PyObject* index) noexcept;
// o[i] and o[i, j] with native indices. New reference.
PyObject* get_item(PyObject* o, Py_ssize_t i) noexcept;
PyObject* get_item(PyObject* o, Py_ssize_t i, Py_ssize_t j) noexcept;

// "module lookup": `name` in this module's namespace, then in the builtins;
// NameError "name '%U' is not defined" when neither has it. New reference.
PyObject* module_lookup(PyObject* name) noexcept;
// The same, returning a borrowed reference (valid while the namespace keeps
// it; use it at once).
PyObject* module_lookup_borrowed(PyObject* name) noexcept;

}  // namespace frame
