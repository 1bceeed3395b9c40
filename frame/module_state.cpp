#include "frame/module_state.hpp"

namespace frame {
namespace {

// Each module links its own copy of the frame, so this state is per module.
const char* g_full_name = nullptr;
PyObject* g_module = nullptr;
PyObject* g_dict = nullptr;
PyTypeObject* g_ndarray = nullptr;

}  // namespace

PyObject* this_module() noexcept { return g_module; }
PyObject* module_dict() noexcept { return g_dict; }
PyTypeObject* ndarray_type() noexcept { return g_ndarray; }
const char* module_full_name() noexcept { return g_full_name ? g_full_name : "quorra.accel"; }

namespace module_state {

void set_name(const char* full_name) noexcept { g_full_name = full_name; }

void bind(PyObject* module) noexcept {
  g_module = Py_NewRef(module);
  g_dict = PyModule_GetDict(module);
}

void forget() noexcept {
  g_dict = nullptr;
  Py_CLEAR(g_module);
}

void set_ndarray_type(PyTypeObject* type) noexcept { Py_XSETREF(g_ndarray, type); }

}  // namespace module_state
}  // namespace frame
