// A per-contract setting (size, margin_rate, price_tick, volume_multiple,
// commission) as a double array: m copies of a scalar, or float() of every
// element of an iterable, whatever its length.
#pragma once

#include "frame/errors.hpp"
#include "frame/storage.hpp"

#include <utility>

namespace solosim {

class setting_list {
 public:
  // An int or float (subclasses included) gives m copies of float(arg);
  // anything else is iterated. False with the exception set.
  bool build(PyObject* arg, Py_ssize_t m) noexcept;
  // Values already converted elsewhere, one per contract.
  void assign(frame::storage<double>&& values) noexcept { values_ = std::move(values); }

  // Element j exists; a missing one is the IndexError of a list read,
  // raised by the engine when it first needs the element.
  bool has(Py_ssize_t j) const noexcept { return static_cast<size_t>(j) < values_.size(); }
  double operator[](Py_ssize_t j) const noexcept { return values_[j]; }

 private:
  frame::storage<double> values_;
};

}  // namespace solosim
