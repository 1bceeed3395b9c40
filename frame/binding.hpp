// The binding frame shared by the three extension modules: module
// definition, the function object type with its parameter tables, argument
// conversion, typed buffer views, element readers and the shared error texts.
//
// The frame is a static library linked into each module separately, so its
// process-wide statics (the module object, the interpreter id, the ndarray
// type, the NumPy C-API table) are per module, as each module needs them.
#pragma once

#include "frame/refs.hpp"
#include "frame/errors.hpp"
#include "frame/convert.hpp"
#include "frame/function.hpp"
#include "frame/module.hpp"
#include "frame/views.hpp"
#include "frame/inputs.hpp"
