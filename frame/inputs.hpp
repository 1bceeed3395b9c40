// Element readers for the engines' inputs. An exact numpy.ndarray of a real
// numeric dtype in native byte order (bool, signed and unsigned integers,
// float16/32/64) is read through a held buffer view, each element widened to
// double; everything else is read through Python indexing.
#pragma once

#include "frame/errors.hpp"
#include "frame/refs.hpp"
#include "frame/unaligned.hpp"

#include <cstdint>

namespace frame {

using load_fn = double (*)(const char*) noexcept;

// The element types a reader may take without the per-element dispatch.
enum class element : uint8_t { float64, int8, boolean, other };

class numeric_input {
 public:
  // Inspects `obj` (borrowed; the caller keeps it alive for the run). Never
  // fails: an object the typed path cannot serve stays on the Python path.
  // A refused buffer request leaves no exception behind.
  void open(PyObject* obj) noexcept;

  bool typed() const noexcept { return load_ != nullptr; }
  PyObject* object() const noexcept { return obj_; }
  int ndim() const noexcept { return ndim_; }
  Py_ssize_t shape(int d) const noexcept { return shape_[d]; }

  // True for native float64 elements, which a reader may take with
  // get<true>() to skip the per-element dispatch.
  bool float64() const noexcept { return f64_; }
  element kind() const noexcept { return kind_; }

  // The address of an element inside the view (callers check the indices).
  const char* address(Py_ssize_t i, Py_ssize_t j) const noexcept {
    FRAME_ASSERT(ndim_ == 2 && i >= 0 && i < shape_[0] && j >= 0 && j < shape_[1]);
    return data_ + i * strides_[0] + j * strides_[1];
  }
  const char* address(Py_ssize_t i) const noexcept {
    FRAME_ASSERT(ndim_ == 1 && i >= 0 && i < shape_[0]);
    return data_ + i * strides_[0];
  }

  // Rows laid out one after another with no gap (C order, or 1-D with unit
  // stride): rows i .. k are then one span of memory starting at row(i).
  bool contiguous_rows() const noexcept {
    const Py_ssize_t width = ndim_ == 2 ? shape_[1] : 1;
    return (ndim_ == 1 || strides_[1] == item_) && strides_[0] == width * item_;
  }
  const char* row(Py_ssize_t i) const noexcept { return data_ + i * strides_[0]; }
  Py_ssize_t stride(int d) const noexcept { return strides_[d]; }

  // Typed reads: false when the index lies outside the view (the caller then
  // reads through Python to raise the indexing error). Only when typed();
  // Float64 only when float64().
  template <bool Float64 = false>
  bool get(Py_ssize_t i, double* out) const noexcept {
    if (ndim_ != 1 || static_cast<size_t>(i) >= static_cast<size_t>(shape_[0])) return false;
    load<Float64>(data_ + i * strides_[0], out);
    return true;
  }
  template <bool Float64 = false>
  bool get(Py_ssize_t i, Py_ssize_t j, double* out) const noexcept {
    if (ndim_ != 2 || static_cast<size_t>(i) >= static_cast<size_t>(shape_[0]) ||
        static_cast<size_t>(j) >= static_cast<size_t>(shape_[1]))
      return false;
    load<Float64>(data_ + i * strides_[0] + j * strides_[1], out);
    return true;
  }

 private:
  // float64, the common case, is copied without the loader's indirect call.
  template <bool Float64>
  void load(const char* p, double* out) const noexcept {
    if (Float64 || f64_)
      *out = load_unaligned<double>(p);
    else
      *out = load_(p);
  }

  PyObject* obj_ = nullptr;
  bool f64_ = false;
  element kind_ = element::other;
  held_buffer buf_;
  load_fn load_ = nullptr;
  const char* data_ = nullptr;
  Py_ssize_t item_ = 0;
  int ndim_ = 0;
  Py_ssize_t shape_[2] = {0, 0};
  Py_ssize_t strides_[2] = {0, 0};
};

}  // namespace frame
