// NumPy calls made through the module's own `np` binding, looked up at each
// use as the Python expression `np.<name>` would, so a rebinding of the
// module's `np` is what runs.
#pragma once

#include "frame/python.hpp"

namespace rules {

// np.<name>: new reference, or nullptr with the exception set.
PyObject* np_attr(PyObject* name) noexcept;

// fn(arg, dtype=np.float64), with np.float64 looked up after fn, in the
// order Python evaluates the call. New reference or nullptr.
PyObject* call_with_float64(PyObject* fn, PyObject* arg) noexcept;

// np.zeros(shape, dtype=np.float64). New reference or nullptr.
PyObject* np_zeros(PyObject* shape) noexcept;

}  // namespace rules
