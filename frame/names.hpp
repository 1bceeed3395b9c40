// Interned names and small constants that a module makes once, when it is
// executed, and keeps for the life of the process (a module is never torn
// down). Each library declares its own as `inline PyObject*` variables in a
// `names` namespace and fills them with intern_names() from its init().
#pragma once

#include "frame/python.hpp"

#include <initializer_list>

namespace frame {

struct interned_name {
  PyObject** slot;
  const char* text;
};

// Interns every text into its slot; false with the exception set.
inline bool intern_names(std::initializer_list<interned_name> names) noexcept {
  for (const interned_name& n : names) {
    *n.slot = PyUnicode_InternFromString(n.text);
    if (*n.slot == nullptr) return false;
  }
  return true;
}

// A tuple of one interned keyword name, for vectorcalls such as
// f(x, dtype=...). False with the exception set.
inline bool keyword_names(PyObject** slot, PyObject* name) noexcept {
  *slot = PyTuple_Pack(1, name);
  return *slot != nullptr;
}

// A Python int constant. False with the exception set.
inline bool int_constant(PyObject** slot, long value) noexcept {
  *slot = PyLong_FromLong(value);
  return *slot != nullptr;
}

}  // namespace frame
