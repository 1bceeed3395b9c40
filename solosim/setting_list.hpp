// A per-contract setting (size, margin_rate, price_tick, volume_multiple,
// commission) as a double array: m copies of a scalar, or float() of every
// element of an iterable, whatever its length.
#pragma once

#include "frame/python.hpp"

namespace solosim {

class setting_list {
 public:
  setting_list() noexcept = default;
  setting_list(const setting_list&) = delete;
  setting_list& operator=(const setting_list&) = delete;
  ~setting_list() { PyMem_Free(data_); }

  // An int or float (subclasses included) gives m copies of float(arg);
  // anything else is iterated. False with the exception set.
  bool build(PyObject* arg, Py_ssize_t m) noexcept;

  // Element j exists; a missing one is the IndexError of a list read,
  // raised by the engine when it first needs the element.
  bool has(Py_ssize_t j) const noexcept { return j < len_; }
  double operator[](Py_ssize_t j) const noexcept { return data_[j]; }

 private:
  bool push(double v) noexcept;

  double* data_ = nullptr;
  Py_ssize_t len_ = 0;
  Py_ssize_t cap_ = 0;
};

}  // namespace solosim
