// Interned names and small constants the spreadsim functions use, made once
// when the module is executed.
#pragma once

#include "frame/binding.hpp"

namespace spreadsim {

struct module_names {
  PyObject* calculate_size;  // looked up in the module namespace at each entry
  PyObject* np;              // the module's numpy binding
  PyObject* zeros;
  PyObject* float64;
  PyObject* dtype_kwnames;   // ("dtype",) for np.zeros(shape, dtype=...)
  PyObject* zero;            // the int 0 that signals are compared with
};

extern module_names names;

// Creates the constants; false with the exception set.
bool make_names() noexcept;

}  // namespace spreadsim
