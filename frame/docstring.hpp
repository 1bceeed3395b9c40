// Docstrings that open with the call's signature, rendered from the
// parameter table, so the text a reader sees cannot drift from the
// parameters the binding takes.
#pragma once

#include "frame/function.hpp"
#include "frame/python.hpp"

namespace frame {

struct signature_parts {
  const char* name;
  const param* params;
  int n_params;
  int n_required;    // the leading parameters without a default
  int n_positional;  // those before the `*`
  PyObject* defaults;  // the defaults of params[n_required:], or nullptr
};

// "name(a, b, c=1.0, *, d=None)" wrapped at 88 columns (continuation lines
// indented under the first parameter), a blank line, then `doc`. Defaults
// are shown as repr() shows them. New reference, or nullptr with an
// exception set.
PyObject* docstring_with_signature(const signature_parts& s, const char* doc) noexcept;

}  // namespace frame
