// The names the rules look up in a module's namespace and the small
// constants the engines compare signals with.
#pragma once

#include "frame/python.hpp"

namespace rules::names {

inline PyObject* calculate_size = nullptr;        // "calculate_size"
inline PyObject* calculate_commission = nullptr;  // "calculate_commission"
inline PyObject* np = nullptr;                    // "np", the module's numpy binding
inline PyObject* zeros = nullptr;                 // "zeros"
inline PyObject* float64 = nullptr;               // "float64"
inline PyObject* dtype_kwnames = nullptr;         // ("dtype",) for f(x, dtype=...)
inline PyObject* int_zero = nullptr;              // 0
inline PyObject* int_one = nullptr;               // 1
inline PyObject* int_minus_one = nullptr;         // -1

// Creates them at import; false with the exception set (fails the import).
bool init() noexcept;

}  // namespace rules::names
