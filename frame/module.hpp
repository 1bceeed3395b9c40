// Module definition with multi-phase initialisation and the import-time
// checks: one interpreter per process, one module object, the Python version
// warning, the NumPy C-API import, sys.modules registration, `np`.
#pragma once

#include "frame/python.hpp"

namespace frame {

struct function_def;

// Builds the defaults tuple of the function at `index` of the module's
// table (new reference), or returns nullptr with no exception when it has
// none. nullptr with an exception fails the import.
using defaults_fn = PyObject* (*)(int index) noexcept;

struct module_spec {
  const char* short_name;  // "holdreturn"
  const char* full_name;   // "quorra.accel.holdreturn"
  const char* doc;         // UTF-8 module docstring or nullptr
  const function_def* const* functions;  // in binding order
  int n_functions;
  defaults_fn defaults;    // may be nullptr
  // The constants step of the execution: creates the module's interned
  // names and constants. Runs before NumPy's C API is imported; may be null.
  bool (*on_exec)() noexcept;
};

// The init export's whole work: returns the module definition.
PyObject* init_module(const module_spec& spec) noexcept;

// This module's object and namespace, set by the execution step.
PyObject* this_module() noexcept;
PyObject* module_dict() noexcept;
// The numpy.ndarray type taken at import.
PyTypeObject* ndarray_type() noexcept;
// The full dotted name of this module ("quorra.accel.solosim").
const char* module_full_name() noexcept;

}  // namespace frame
