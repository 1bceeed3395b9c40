// The function object type shared by every Python-visible function: a
// vectorcall object driven by a static parameter table.
#pragma once

#include "frame/python.hpp"

#include <cstdint>

namespace frame {

// How the binding converts or tests a parameter before the body runs.
enum class kind : uint8_t {
  f64,     // float(x) as a double
  f32,     // float(x) rounded to single precision
  i32,     // int(x), 32-bit
  i64,     // int(x), 64-bit
  object,  // any object, read by the body
  array,   // None or a numpy.ndarray (subclasses allowed)
  tuple,   // None or exactly a tuple
  list,    // None or exactly a list
};

struct param {
  const char* name;
  kind k;
};

constexpr int max_params = 24;

// One bound argument: the object (borrowed for the call) and, for scalar
// kinds, its converted value.
struct arg {
  PyObject* obj;
  union {
    double f64;
    float f32;
    int32_t i32;
    int64_t i64;
  };
};

struct args {
  arg a[max_params];
  const arg& operator[](int i) const noexcept { return a[i]; }
};

// A function body: runs after binding, conversion and type tests. Returns a
// new reference, or nullptr with an exception set. The frame adds the
// traceback entry.
using body_fn = PyObject* (*)(const args&) noexcept;

struct function_def {
  const char* name;  // __name__ and __qualname__, used in messages
  const char* doc;   // UTF-8 docstring, or nullptr for None
  const param* params;
  int n_params;
  int n_required;
  body_fn body;
};

// Creates the function object for `def` in the module named `module_name`.
// `defaults` (borrowed; nullptr when every parameter is required) is the
// tuple of default values of the parameters after the required ones; their
// scalar conversions are done here once. New reference or nullptr.
PyObject* make_function(const function_def& def, const char* module_name,
                        PyObject* defaults) noexcept;

// True when `callable` is the function object made for `def` in this module:
// the engines call the native routine directly in that case.
bool is_own_function(PyObject* callable, const function_def& def) noexcept;

}  // namespace frame
