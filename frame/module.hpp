// Module definition with multi-phase initialisation and the import-time
// checks: one interpreter per process, one module object, the Python version
// warning, the NumPy C-API import, sys.modules registration, `np`, and the
// functions with their defaults.
#pragma once

#include "frame/python.hpp"

namespace frame {

struct function_def;

struct module_spec {
  const char* short_name;  // "holdreturn"
  const char* full_name;   // "quorra.accel.holdreturn"
  const char* doc;         // UTF-8 module docstring or nullptr
  const function_def* const* functions;  // in binding order
  int n_functions;
  // The constants step of the execution: creates the module's interned
  // names and constants. Runs before NumPy's C API is imported; may be null.
  bool (*on_exec)() noexcept;
  // The last step of the execution, after the functions are bound: adds the
  // module's other attributes. May be null.
  bool (*on_ready)(PyObject* module) noexcept = nullptr;
};

// The init export's whole work: returns the module definition.
PyObject* init_module(const module_spec& spec) noexcept;

}  // namespace frame
