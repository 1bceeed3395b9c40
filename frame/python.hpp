// One place that includes Python and the NumPy C API the same way for every
// translation unit. Only frame/module.cpp imports the NumPy table; the other
// units of a module see it through the unique symbol.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL quorra_frame_ARRAY_API
#ifndef QUORRA_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
