// The binding frame shared by the extension modules: module definition and
// its process state, the function object type with its parameter tables and
// defaults, argument conversion, typed buffer views, element readers, owned
// storage and the shared error texts.
//
// The frame is a static library linked into each module separately, so its
// process-wide statics (the module object, the ndarray type, the NumPy C-API
// table) are per module, as each module needs them.
#pragma once

#include "frame/refs.hpp"
#include "frame/errors.hpp"
#include "frame/convert.hpp"
#include "frame/function.hpp"
#include "frame/module.hpp"
#include "frame/module_state.hpp"
#include "frame/names.hpp"
#include "frame/storage.hpp"
#include "frame/unaligned.hpp"
#include "frame/views.hpp"
#include "frame/inputs.hpp"
#include "frame/interrupts.hpp"
