#include "frame/refs.hpp"

namespace frame {

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
    } else {
      return nullptr;
    }
    if (o == nullptr) return nullptr;
  }
}

}  // namespace frame
