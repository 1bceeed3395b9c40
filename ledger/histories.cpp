#include "ledger/histories.hpp"

namespace ledger {

PyObject* new_float64(const char* maker, Py_ssize_t rows, Py_ssize_t cols) noexcept {
  frame::ref numpy = frame::ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  frame::ref shape = frame::ref::steal(cols < 0 ? Py_BuildValue("(n)", rows)
                                                : Py_BuildValue("(nn)", rows, cols));
  if (!shape) return nullptr;
  return PyObject_CallMethod(numpy.get(), maker, "(Os)", shape.get(), "float64");
}

bool history_arrays::create(Py_ssize_t count, Py_ssize_t n) noexcept {
  list_ = frame::ref::steal(PyList_New(0));
  if (!list_ || !views_.allocate(count) || !targets_.allocate(count)) return false;
  for (Py_ssize_t j = 0; j < count; ++j) {
    frame::ref rows = frame::ref::steal(new_float64("zeros", n, 6));
    if (!rows || PyList_Append(list_.get(), rows.get()) < 0) return false;
    if (!views_[j].acquire(rows.get(), 2, "double_t", true)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(rows.get());
    targets_[j].data = static_cast<char*>(PyArray_DATA(array));
    targets_[j].s0 = 6 * sizeof(double);
    targets_[j].s1 = sizeof(double);
  }
  return true;
}

PyObject* history_arrays::release() noexcept {
  views_.reset();
  return list_.release();
}

}  // namespace ledger
