// Interned names and small numbers the engine uses on every call, created
// once when the module is executed.
#pragma once

#include "frame/python.hpp"

namespace solosim::names {

extern PyObject* calculate_size;        // "calculate_size"
extern PyObject* calculate_commission;  // "calculate_commission"
extern PyObject* np;                    // "np"
extern PyObject* zeros;                 // "zeros"
extern PyObject* float64;               // "float64"
extern PyObject* asarray;               // "asarray"
extern PyObject* atleast_1d;            // "atleast_1d"
extern PyObject* array;                 // "array"
extern PyObject* dtype_kwnames;         // ("dtype",)
extern PyObject* int_zero;              // 0
extern PyObject* int_one;               // 1
extern PyObject* int_minus_one;         // -1

// Creates them; false with the exception set (fails the import).
bool init() noexcept;

}  // namespace solosim::names
