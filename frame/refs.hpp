// Small RAII owners: a strong reference, a held buffer, a released
// interpreter lock.
#pragma once

#include "frame/python.hpp"

#include <utility>

namespace frame {

// Owns one strong reference (or none). Copy adds a reference, move steals it,
// destruction drops it, release() hands it to the caller.
class ref {
 public:
  ref() noexcept = default;
  static ref steal(PyObject* p) noexcept { return ref(p); }
  static ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return ref(p);
  }
  ref(const ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  ref(ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ref& operator=(ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset(PyObject* stolen = nullptr) noexcept { *this = ref(stolen); }

 private:
  explicit ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A weak reference to the NumPy array that owns the memory behind `exporter`
// (the array itself or the first owner down its chain of bases and
// memoryviews), or nullptr with no exception when no array owns it. NumPy
// refuses to resize an array while a weak reference to it exists, even with
// refcheck=False, so holding this keeps a buffer's memory in place while
// Python code (a replaced function, an element's __int__) runs mid-call.
// nullptr with an exception when the reference cannot be made.
PyObject* pin_memory_owner(PyObject* exporter) noexcept;

// Owns one Py_buffer acquired from an exporter, with the memory pinned;
// released on destruction.
class held_buffer {
 public:
  held_buffer() noexcept = default;
  held_buffer(const held_buffer&) = delete;
  held_buffer& operator=(const held_buffer&) = delete;
  ~held_buffer() { release(); }

  // Acquires a view with the given PyBUF_* flags; false with the exporter's
  // exception on refusal.
  bool acquire(PyObject* obj, int flags) noexcept {
    release();
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
    held_ = true;
    // The exporter of the memory: `obj` itself, or what its __buffer__ chose.
    pin_ = pin_memory_owner(view_.obj != nullptr ? view_.obj : obj);
    if (pin_ == nullptr && PyErr_Occurred()) {
      release();
      return false;
    }
    return true;
  }
  void release() noexcept {
    Py_CLEAR(pin_);
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }
  bool held() const noexcept { return held_; }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  PyObject* pin_ = nullptr;
};

// Releases the interpreter lock for its lifetime.
class gil_released {
 public:
  gil_released() noexcept : state_(PyEval_SaveThread()) {}
  gil_released(const gil_released&) = delete;
  gil_released& operator=(const gil_released&) = delete;
  ~gil_released() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace frame
