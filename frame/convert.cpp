#include "frame/convert.hpp"

#include "frame/errors.hpp"
#include "frame/module_state.hpp"
#include "frame/refs.hpp"

#include <climits>
#include <cmath>

namespace frame {

bool to_double(PyObject* o, double* out) noexcept {
  if (PyFloat_CheckExact(o)) {
    *out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool to_float32(PyObject* o, float* out) noexcept {
  double v;
  if (!to_double(o, &v)) return false;
  *out = static_cast<float>(v);
  return true;
}

namespace {

// Calls o.__int__ as the integer parameter kinds do and returns the int it
// gave (new reference), with the interpreter's warning and errors for a
// result that is not an exact int.
PyObject* call_int(PyObject* o) noexcept {
  PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  if (nb == nullptr || nb->nb_int == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  ref result = ref::steal(nb->nb_int(o));
  if (!result || PyLong_CheckExact(result.get())) return result.release();
  if (PyLong_Check(result.get())) {
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be removed "
                         "in a future version of Python.",
                         Py_TYPE(result.get())->tp_name) < 0)
      return nullptr;
    return result.release();
  }
  PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
               Py_TYPE(result.get())->tp_name);
  return nullptr;
}

bool long_to_int64(PyObject* o, int64_t* out) noexcept {
  const long v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool long_to_int32(PyObject* o, int32_t* out) noexcept {
  int overflow = 0;
  const long v = PyLong_AsLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) return raise_int32_overflow();
  *out = static_cast<int32_t>(v);
  return true;
}

}  // namespace

bool to_int32(PyObject* o, int32_t* out) noexcept {
  if (PyLong_Check(o)) return long_to_int32(o, out);
  ref i = ref::steal(call_int(o));
  return i && long_to_int32(i.get(), out);
}

bool to_int64(PyObject* o, int64_t* out) noexcept {
  if (PyLong_Check(o)) return long_to_int64(o, out);
  ref i = ref::steal(call_int(o));
  return i && long_to_int64(i.get(), out);
}

bool double_to_int32(double x, int32_t* out) noexcept {
  if (!std::isfinite(x)) return raise_float_to_int(x);
  const double t = std::trunc(x);
  if (t < INT32_MIN || t > INT32_MAX) return raise_int32_overflow();
  *out = static_cast<int32_t>(t);
  return true;
}

PyObject* float_coerce(PyObject* o) noexcept {
  if (PyFloat_CheckExact(o)) return Py_NewRef(o);
  if (PyLong_Check(o)) {
    const double v = PyLong_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(v);
  }
  if (PyNumber_Check(o)) return PyNumber_Float(o);
  PyErr_Format(PyExc_TypeError, "Expected %.5s, got %.200s", "float", Py_TYPE(o)->tp_name);
  return nullptr;
}

bool float_call(PyObject* o, double* out, bool strict_result) noexcept {
  if (PyFloat_CheckExact(o)) {
    *out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (PyLong_CheckExact(o)) {
    const double v = PyLong_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
  }
  ref f;
  if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o)) {
    f = ref::steal(PyFloat_FromString(o));
  } else if (strict_result && Py_TYPE(o)->tp_as_number != nullptr &&
             Py_TYPE(o)->tp_as_number->nb_float != nullptr) {
    f = ref::steal(Py_TYPE(o)->tp_as_number->nb_float(o));
    if (f && !PyFloat_Check(f.get())) {
      PyErr_Format(PyExc_TypeError, "__float__ returned non-float (type %.200s)",
                   Py_TYPE(f.get())->tp_name);
      return false;
    }
  } else {
    f = ref::steal(PyNumber_Float(o));
  }
  if (!f) return false;
  *out = PyFloat_AS_DOUBLE(f.get());
  return true;
}

PyObject* subscript(PyObject* o, PyObject* index) noexcept {
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    const Py_ssize_t i = PyNumber_AsSsize_t(index, nullptr);
    if (i == -1 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
      PyErr_Clear();
      PyErr_Format(PyExc_IndexError, "cannot fit '%.200s' into an index-sized integer",
                   Py_TYPE(index)->tp_name);
      return nullptr;
    }
    return get_item(o, i);
  }
  return PyObject_GetItem(o, index);
}

PyObject* get_item(PyObject* o, Py_ssize_t i) noexcept {
  // Lists and tuples are indexed directly, bounds-checked against their
  // current length (an element's own code may have shrunk a list).
  if (PyList_CheckExact(o)) {
    const Py_ssize_t n = PyList_GET_SIZE(o);
    const Py_ssize_t k = i < 0 ? i + n : i;
    if (k < 0 || k >= n) {
      raise_list_index();
      return nullptr;
    }
    return Py_NewRef(PyList_GET_ITEM(o, k));
  }
  if (PyTuple_CheckExact(o)) {
    const Py_ssize_t n = PyTuple_GET_SIZE(o);
    const Py_ssize_t k = i < 0 ? i + n : i;
    if (k < 0 || k >= n) {
      PyErr_SetString(PyExc_IndexError, "tuple index out of range");
      return nullptr;
    }
    return Py_NewRef(PyTuple_GET_ITEM(o, k));
  }
  ref index = ref::steal(PyLong_FromSsize_t(i));
  if (!index) return nullptr;
  return PyObject_GetItem(o, index.get());
}

PyObject* get_item(PyObject* o, Py_ssize_t i, Py_ssize_t j) noexcept {
  ref key = ref::steal(Py_BuildValue("(nn)", i, j));
  if (!key) return nullptr;
  return PyObject_GetItem(o, key.get());
}

PyObject* module_lookup_borrowed(PyObject* name) noexcept {
  PyObject* found = PyDict_GetItemWithError(module_dict(), name);
  if (found != nullptr || PyErr_Occurred()) return found;
  found = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
  if (found != nullptr || PyErr_Occurred()) return found;
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
}

PyObject* module_lookup(PyObject* name) noexcept {
  return Py_XNewRef(module_lookup_borrowed(name));
}

}  // namespace frame
