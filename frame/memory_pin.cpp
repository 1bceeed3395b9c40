#include "frame/refs.hpp"

namespace frame {
namespace {

// Collects the first memoryview or ndarray an object refers to.
int find_memory(PyObject* o, void* found) noexcept {
  if (PyMemoryView_Check(o) || PyArray_Check(o)) {
    *static_cast<PyObject**>(found) = o;
    return 1;  // stop the traversal
  }
  return 0;
}

}  // namespace

PyObject* pin_memory_owner(PyObject* exporter) noexcept {
  // Only an array that owns its data can be resized; views, and arrays over
  // other exporters' memory, lead down to the owner through their bases.
  // Exporters other than ndarray (bytes, bytearray, mmap, array.array)
  // refuse to resize while their buffer is exported.
  PyObject* o = exporter;
  for (;;) {
    if (PyMemoryView_Check(o)) {
      o = PyMemoryView_GET_BASE(o);
    } else if (PyArray_Check(o)) {
      PyArrayObject* a = reinterpret_cast<PyArrayObject*>(o);
      if (PyArray_CHKFLAGS(a, NPY_ARRAY_OWNDATA)) return PyWeakref_NewRef(o, nullptr);
      o = PyArray_BASE(a);
    } else if (o == exporter && Py_TYPE(o)->tp_traverse != nullptr) {
      // A class whose __buffer__ hands out another object's buffer exports
      // through a wrapper holding that object's memoryview.
      PyObject* inner = nullptr;
      Py_TYPE(o)->tp_traverse(o, find_memory, &inner);
      o = inner;
    } else {
      return nullptr;
    }
    if (o == nullptr) return nullptr;
  }
}

}  // namespace frame
