// Process-wide state of the module a frame copy is linked into: its object,
// namespace and name, and the numpy.ndarray type taken at import. Written
// only by the execution step of the module definition (module.cpp); read by
// the binding, the conversions and the engines.
#pragma once

#include "frame/python.hpp"

namespace frame {

// This module's object and namespace; null before the execution step.
PyObject* this_module() noexcept;
PyObject* module_dict() noexcept;
// The numpy.ndarray type taken at import.
PyTypeObject* ndarray_type() noexcept;
// The full dotted name of this module ("quorra.accel.solosim").
const char* module_full_name() noexcept;

namespace module_state {

// Set by the module definition only.
void set_name(const char* full_name) noexcept;
void bind(PyObject* module) noexcept;  // keeps a reference to `module`
void forget() noexcept;                // a failed execution starts afresh later
void set_ndarray_type(PyTypeObject* type) noexcept;  // steals the reference

}  // namespace module_state
}  // namespace frame
