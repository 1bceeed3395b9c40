#include "ledger/settings.hpp"

#include "frame/convert.hpp"
#include "frame/errors.hpp"
#include "frame/refs.hpp"
#include "solosim/parameters.hpp"
#include "spreadsim/parameters.hpp"

#include <cmath>

namespace ledger {
namespace {

bool within(double v, bound b) noexcept {
  return std::isfinite(v) && (b == bound::positive ? v > 0.0 : v >= 0.0);
}

const char* rule_text(bound b) noexcept {
  return b == bound::positive ? "must be finite and > 0" : "must be finite and >= 0";
}

// bool, signed or unsigned integers, floats.
bool real_kind(char kind) noexcept {
  return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f';
}

// An element of an object array that float() reads as a real number: a
// Decimal, a Fraction, any number but a complex one (strings are not
// numbers, though float() would parse them).
bool real_object(PyObject* o) noexcept { return PyNumber_Check(o) && !PyComplex_Check(o); }

[[gnu::cold]] PyObject* raise_not_numbers(PyObject* arg, const char* name) noexcept {
  PyErr_Format(PyExc_TypeError, "%s must be a number or a sequence of numbers, got %.200s", name,
               Py_TYPE(arg)->tp_name);
  return nullptr;
}

// `arg` as a 0-d or 1-d float64 array of real numbers: numeric dtypes cast,
// objects that are real numbers (Decimal, Fraction) read with float() as
// init_cash is. New reference, or nullptr with TypeError naming `name`.
PyObject* as_numbers(PyObject* arg, const char* name) noexcept {
  frame::ref any = frame::ref::steal(PyArray_FromAny(arg, nullptr, 0, 0, 0, nullptr));
  if (!any) return nullptr;
  const char kind = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(any.get()))->kind;
  if (kind == 'O') {
    any = frame::ref::steal(
        PyArray_FromAny(any.get(), nullptr, 0, 0, NPY_ARRAY_CARRAY_RO, nullptr));
    if (!any) return nullptr;
    auto* objects = reinterpret_cast<PyArrayObject*>(any.get());
    PyObject* const* items = static_cast<PyObject* const*>(PyArray_DATA(objects));
    for (npy_intp k = 0; k < PyArray_SIZE(objects); ++k)
      if (items[k] == nullptr || !real_object(items[k])) return raise_not_numbers(arg, name);
  } else if (!real_kind(kind)) {
    return raise_not_numbers(arg, name);
  }
  return PyArray_FromAny(any.get(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                         NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr);
}

// A number given alone (not a sequence): one value for every slot.
bool one_number(PyObject* arg) noexcept {
  if (PyFloat_Check(arg) || PyLong_Check(arg) || PyArray_IsScalar(arg, Number)) return true;
  if (PyArray_Check(arg)) return PyArray_NDIM(reinterpret_cast<PyArrayObject*>(arg)) == 0;
  return real_object(arg) && !PySequence_Check(arg);
}

// A single-precision setting as the run keeps it, after rounding: within
// `b`, or when there is no bound, anything but an infinity. ValueError
// naming the setting otherwise.
bool check_single(PyObject* given_object, float rounded, const char* name,
                  const bound* b) noexcept {
  if (b != nullptr ? within(rounded, *b) : !std::isinf(rounded)) return true;
  double given;
  if (!frame::to_double(given_object, &given)) return false;
  if (b != nullptr ? within(given, *b) : !std::isinf(given)) {
    frame::ref value = frame::ref::steal(PyFloat_FromDouble(given));
    if (value)
      PyErr_Format(PyExc_ValueError,
                   "%s %R is beyond single precision, in which the run keeps it", name,
                   value.get());
    return false;
  }
  return raise_value(name, -1, given, b != nullptr ? rule_text(*b) : "must not be infinite");
}

}  // namespace

bool raise_value(const char* name, Py_ssize_t index, double v, const char* rule) noexcept {
  frame::ref text = frame::ref::steal(PyFloat_FromDouble(v));
  if (text) text = frame::ref::steal(PyObject_Repr(text.get()));
  if (!text) return false;
  if (index < 0)
    PyErr_Format(PyExc_ValueError, "%s is %U; %s %s", name, text.get(), name, rule);
  else
    PyErr_Format(PyExc_ValueError, "%s[%zd] is %U; %s %s", name, index, text.get(), name, rule);
  return false;
}

bool per_slot(PyObject* arg, const char* name, Py_ssize_t slots, const char* what, bound b,
              frame::storage<double>* out) noexcept {
  if (!out->allocate(slots)) return false;
  double one;
  if (PyFloat_Check(arg) || PyLong_Check(arg)) {
    if (!frame::float_call(arg, &one)) return false;
    if (!within(one, b)) return raise_value(name, -1, one, rule_text(b));
    for (Py_ssize_t k = 0; k < slots; ++k) (*out)[k] = one;
    return true;
  }
  frame::ref numbers = frame::ref::steal(as_numbers(arg, name));
  if (!numbers) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(numbers.get());
  const double* v = static_cast<const double*>(PyArray_DATA(array));
  if (PyArray_NDIM(array) == 0) {
    if (!within(v[0], b)) return raise_value(name, -1, v[0], rule_text(b));
    for (Py_ssize_t k = 0; k < slots; ++k) (*out)[k] = v[0];
    return true;
  }
  if (PyArray_NDIM(array) != 1 || PyArray_DIM(array, 0) != slots) {
    if (PyArray_NDIM(array) == 1)
      PyErr_Format(PyExc_ValueError, "%s has %zd values for %zd %s; give one number or %zd",
                   name, static_cast<Py_ssize_t>(PyArray_DIM(array, 0)), slots, what, slots);
    else
      PyErr_Format(PyExc_ValueError, "%s must be one number or %zd numbers, got %d dimensions",
                   name, slots, PyArray_NDIM(array));
    return false;
  }
  for (Py_ssize_t k = 0; k < slots; ++k) {
    if (!within(v[k], b)) return raise_value(name, k, v[k], rule_text(b));
    (*out)[k] = v[k];
  }
  return true;
}

bool check_single_settings(const frame::args& a) noexcept {
  using namespace solosim::solo_args;
  static_assert(a_init_cash == int(spreadsim::pair_args::a_init_cash) &&
                a_slip_point == int(spreadsim::pair_args::a_slip_point));
  const bound cash = bound::positive;
  // An infinite slippage would fill at an infinite price; NaN and values
  // <= 0 are no slippage, as in the engines.
  return check_single(a[a_init_cash].obj, a[a_init_cash].f32, "init_cash", &cash) &&
         check_single(a[a_slip_point].obj, a[a_slip_point].f32, "slip_point", nullptr);
}

bool check_callback_objects(const frame::args& a) noexcept {
  using namespace solosim::solo_args;
  struct address {
    int index;
    const char* name;
  };
  for (const address x : {address{a_sl_callback_addr, "sl_callback_addr"},
                          address{a_tp_callback_addr, "tp_callback_addr"}}) {
    PyObject* given = a[x.index].obj;
    if (!PyFloat_Check(given) && !PyBool_Check(given) && !PyArray_IsScalar(given, Floating) &&
        !PyArray_IsScalar(given, Bool))
      continue;
    const double v = PyFloat_AsDouble(given);
    if (v == -1.0 && PyErr_Occurred()) return false;
    if (v == 0.0) continue;
    PyErr_Format(PyExc_TypeError,
                 "%s must be an int, the address of a native callback (0 for none), got %.200s",
                 x.name, Py_TYPE(given)->tp_name);
    return false;
  }
  return true;
}

bool leg_ratio(PyObject* arg, double ratio[2]) noexcept {
  frame::storage<double> values;
  ratio[1] = 1.0;
  if (one_number(arg)) {
    if (!per_slot(arg, "leg_size_ratio", 1, "legs", bound::positive, &values)) return false;
    ratio[0] = values[0];
    return true;
  }
  if (!per_slot(arg, "leg_size_ratio", 2, "legs", bound::positive, &values)) return false;
  ratio[0] = values[0];
  ratio[1] = values[1];
  return true;
}

}  // namespace ledger
