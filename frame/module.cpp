#define QUORRA_IMPORTS_NUMPY
#include "frame/module.hpp"

#include "frame/function.hpp"
#include "frame/module_state.hpp"
#include "frame/refs.hpp"

#include <cstdint>

namespace frame {
namespace {

// What the definition needs of its own between the steps (the rest of the
// module's state is in module_state.hpp).
const module_spec* g_spec = nullptr;
int64_t g_interpreter_id = -1;

// Copies one attribute of the module spec onto the new module; a missing
// attribute is skipped silently.
bool copy_spec_attr(PyObject* spec, PyObject* module, const char* from, const char* to,
                    bool skip_none) noexcept {
  ref value = ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (skip_none && value.get() == Py_None) return true;
  return PyObject_SetAttrString(module, to, value.get()) == 0;
}

// Create step: one interpreter per process, one module object per process.
PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (g_interpreter_id == -1) {
    g_interpreter_id = id;
  } else if (id != g_interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (this_module() != nullptr) return Py_NewRef(this_module());

  ref name = ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  ref module = ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  if (!copy_spec_attr(spec, module.get(), "loader", "__loader__", false) ||
      !copy_spec_attr(spec, module.get(), "origin", "__file__", false) ||
      !copy_spec_attr(spec, module.get(), "parent", "__package__", false) ||
      !copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", true))
    return nullptr;
  return module.release();
}

bool warn_on_version_mismatch() noexcept {
  if (Py_Version >= 0x030C0000 && Py_Version <= 0x030CFFFF) return true;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compile time Python version %d.%d of module '%.100s' %s runtime "
                          "version %d.%d",
                          3, 12, g_spec->full_name, "does not match",
                          static_cast<int>((Py_Version >> 24) & 0xFF),
                          static_cast<int>((Py_Version >> 16) & 0xFF)) == 0;
}

bool import_numpy_api() noexcept {
  if (_import_array() >= 0) return true;
  PyErr_SetString(PyExc_ImportError,
                  "numpy.core.multiarray failed to import (auto-generated because you didn't "
                  "call 'numpy.import_array()' after cimporting numpy; use "
                  "'<void>numpy._import_array' to disable if you are certain you don't need it).");
  return false;
}

bool register_in_sys_modules(PyObject* module) noexcept {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* present = PyDict_GetItemString(modules, g_spec->full_name);
  if (present != nullptr) return true;
  return PyDict_SetItemString(modules, g_spec->full_name, module) == 0;
}

bool take_ndarray_type(PyObject* numpy) noexcept {
  ref t = ref::steal(PyObject_GetAttrString(numpy, "ndarray"));
  if (!t) return false;
  if (!PyType_Check(t.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", "numpy", "ndarray");
    return false;
  }
  module_state::set_ndarray_type(reinterpret_cast<PyTypeObject*>(t.release()));
  return true;
}

bool bind_functions(PyObject* module) noexcept {
  for (int k = 0; k < g_spec->n_functions; ++k) {
    const function_def& def = *g_spec->functions[k];
    ref f = ref::steal(make_function(def, g_spec->full_name));
    if (!f || PyModule_AddObjectRef(module, def.name, f.get()) < 0) return false;
  }
  return true;
}

// Execution step, in the documented order.
int exec_steps(PyObject* module) noexcept {
  if (!warn_on_version_mismatch()) return -1;
  if (g_spec->on_exec != nullptr && !g_spec->on_exec()) return -1;
  if (!import_numpy_api()) return -1;
  if (!register_in_sys_modules(module)) return -1;
  ref numpy = ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy || !take_ndarray_type(numpy.get())) return -1;
  if (PyModule_AddObjectRef(module, "np", numpy.get()) < 0) return -1;
  if (!bind_functions(module)) return -1;
  return g_spec->on_ready == nullptr || g_spec->on_ready(module) ? 0 : -1;
}

int exec_module(PyObject* module) noexcept {
  if (this_module() != nullptr) {
    if (this_module() == module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 g_spec->short_name);
    return -1;
  }
  module_state::bind(module);
  if (exec_steps(module) == 0) return 0;
  // A failed execution forgets the module, so a later import starts afresh.
  module_state::forget();
  return -1;
}

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    nullptr,  // m_name, set by init_module
    nullptr,  // m_doc
    0,        // no per-module state
    no_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* init_module(const module_spec& spec) noexcept {
  g_spec = &spec;
  module_state::set_name(spec.full_name);
  module_def.m_name = spec.full_name;
  module_def.m_doc = spec.doc;
  return PyModuleDef_Init(&module_def);
}

}  // namespace frame
