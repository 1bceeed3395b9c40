// The names solosim's engine uses beyond the shared rules' names.
#pragma once

#include "frame/python.hpp"

namespace solosim::names {

inline PyObject* asarray = nullptr;     // "asarray"
inline PyObject* atleast_1d = nullptr;  // "atleast_1d"
inline PyObject* array = nullptr;       // "array"

// Creates them and the rules' names; false with the exception set (fails
// the import).
bool init() noexcept;

}  // namespace solosim::names
