#include "frame/function.hpp"

#include "frame/convert.hpp"
#include "frame/docstring.hpp"
#include "frame/errors.hpp"
#include "frame/module_state.hpp"
#include "frame/refs.hpp"

#include <cstddef>
#include <cstdio>

namespace frame {
namespace {

struct function_object {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const function_def* def;
  // From the table: all parameters, the leading required ones, and those
  // that can be given by position (the rest are keyword-only).
  int n_params;
  int n_required;
  int n_positional;
  PyObject* names[max_params];  // interned parameter names
  PyObject* name;
  PyObject* module_name;
  PyObject* doc;
  PyObject* defaults;  // tuple or nullptr
  arg default_args[max_params];
  char qualname[256];  // module.function, for traceback entries
};

function_object* as_function(PyObject* self) noexcept {
  return reinterpret_cast<function_object*>(self);
}

// Finds the parameter named `key` among names[from, to): identity first,
// then equal text. -1 when none matches, -2 with an exception set.
Py_ssize_t find_param(const function_object* f, PyObject* key, int from, int to) noexcept {
  for (int i = from; i < to; ++i)
    if (f->names[i] == key) return i;
  for (int i = from; i < to; ++i) {
    const int eq = PyUnicode_Compare(f->names[i], key);
    if (eq == 0) return i;
    if (eq == -1 && PyErr_Occurred()) return -2;
  }
  return -1;
}

inline bool raise_count(const function_object* f, Py_ssize_t given) noexcept {
  return raise_arg_count(f->def->name, f->n_required, f->n_positional, given);
}

// Fills `bound` from positional arguments and keyword names; false with the
// binding error set.
bool bind(const function_object* f, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) noexcept {
  const function_def& def = *f->def;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw == 0) {
    if (nargs < f->n_required || nargs > f->n_positional) return raise_count(f, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = argv[i];
    return true;
  }
  if (nargs > f->n_positional) return raise_count(f, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = argv[i];
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) return raise_keyword_not_string(def.name);
    Py_ssize_t at = find_param(f, key, static_cast<int>(nargs), f->n_params);
    if (at == -2) return false;
    if (at == -1) {
      at = find_param(f, key, 0, static_cast<int>(nargs));
      if (at == -2) return false;
      return at >= 0 ? raise_keyword_repeats(def.name, key) : raise_keyword_unknown(def.name, key);
    }
    bound[at] = argv[nargs + k];
  }
  for (int i = static_cast<int>(nargs); i < f->n_required; ++i)
    if (bound[i] == nullptr) return raise_count(f, i);
  return true;
}

bool convert_scalar(const param& p, PyObject* o, arg& out) noexcept {
  switch (p.k) {
    case kind::f64: return to_double(o, &out.f64);
    case kind::f32: return to_float32(o, &out.f32);
    case kind::i32: return to_int32(o, &out.i32);
    case kind::i64: return to_int64(o, &out.i64);
    default: return true;
  }
}

bool type_test(const param& p, PyObject* o) noexcept {
  if (o == Py_None) return true;
  switch (p.k) {
    case kind::array: {
      PyTypeObject* t = ndarray_type();
      if (t == nullptr) return raise_missing_type();
      return PyObject_TypeCheck(o, t) || raise_arg_type(p.name, t->tp_name, o);
    }
    case kind::tuple: return PyTuple_CheckExact(o) || raise_arg_type(p.name, "tuple", o);
    case kind::list: return PyList_CheckExact(o) || raise_arg_type(p.name, "list", o);
    default: return true;
  }
}

// Binding, conversions in parameter order, type tests in parameter order,
// then the body.
PyObject* run_call(function_object* f, PyObject* const* argv, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  const function_def& def = *f->def;
  PyObject* bound[max_params] = {};
  if (!bind(f, argv, nargs, kwnames, bound)) return nullptr;
  const param* params = def.params.items;
  args a;
  for (int i = 0; i < f->n_params; ++i) {
    if (bound[i] == nullptr) {
      a.a[i] = f->default_args[i];
      continue;
    }
    a.a[i].obj = bound[i];
    if (!convert_scalar(params[i], bound[i], a.a[i])) return nullptr;
  }
  for (int i = 0; i < f->n_params; ++i)
    if (!type_test(params[i], a.a[i].obj)) return nullptr;
  return def.body(a);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* argv, size_t nargsf,
                              PyObject* kwnames) noexcept {
  function_object* f = as_function(self);
  PyObject* result = run_call(f, argv, PyVectorcall_NARGS(nargsf), kwnames);
  // The single exit: a result exactly when no exception is pending.
  FRAME_ASSERT((result != nullptr) == (PyErr_Occurred() == nullptr));
  if (result == nullptr) add_traceback(f->qualname);
  return result;
}

// ---- attributes ----

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }
PyObject* get_module(PyObject* self, void*) noexcept {
  return Py_NewRef(as_function(self)->module_name);
}
PyObject* get_doc(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->doc); }
// The default object of parameter i (i >= n_required). Borrowed.
PyObject* default_of(const function_object* f, int i) noexcept {
  return PyTuple_GET_ITEM(f->defaults, i - f->n_required);
}

// Numbers are new objects at each read, containers the shared defaults.
PyObject* fresh(PyObject* v) noexcept {
  return PyFloat_CheckExact(v) ? PyFloat_FromDouble(PyFloat_AS_DOUBLE(v)) : Py_NewRef(v);
}

// A new dict at each read of the keyword-only defaults, None without them.
PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
  const function_object* f = as_function(self);
  if (f->n_positional == f->n_params) Py_RETURN_NONE;
  ref out = ref::steal(PyDict_New());
  if (!out) return nullptr;
  for (int i = f->n_positional; i < f->n_params; ++i) {
    ref value = ref::steal(fresh(default_of(f, i)));
    if (!value || PyDict_SetItem(out.get(), f->names[i], value.get()) < 0) return nullptr;
  }
  return out.release();
}

// A new tuple at each read of the defaults of the positional parameters.
PyObject* get_defaults(PyObject* self, void*) noexcept {
  const function_object* f = as_function(self);
  const int n = f->n_positional - f->n_required;
  if (f->defaults == nullptr || n == 0) Py_RETURN_NONE;
  ref out = ref::steal(PyTuple_New(n));
  if (!out) return nullptr;
  for (int i = 0; i < n; ++i) {
    PyObject* item = fresh(default_of(f, f->n_required + i));
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(out.get(), i, item);
  }
  return out.release();
}

// inspect.signature() reads this: every parameter positional-or-keyword (the
// trailing ones keyword-only where the table says so), with its default.
PyObject* get_signature(PyObject* self, void*) noexcept {
  function_object* f = as_function(self);
  ref inspect = ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  ref parameter = ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
  if (!parameter) return nullptr;
  ref pos_or_kw = ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
  if (!pos_or_kw) return nullptr;
  ref kw_only;
  if (f->n_positional < f->n_params) {
    kw_only = ref::steal(PyObject_GetAttrString(parameter.get(), "KEYWORD_ONLY"));
    if (!kw_only) return nullptr;
  }
  // Filled by appending: Python code runs between the items (the Parameter
  // constructor), and a list with empty slots must never be reachable.
  ref params = ref::steal(PyList_New(0));
  if (!params) return nullptr;
  for (int i = 0; i < f->n_params; ++i) {
    PyObject* how = i < f->n_positional ? pos_or_kw.get() : kw_only.get();
    ref pos = ref::steal(Py_BuildValue("(OO)", f->names[i], how));
    ref kw = ref::steal(PyDict_New());
    if (!pos || !kw) return nullptr;
    if (i >= f->n_required && PyDict_SetItemString(kw.get(), "default", default_of(f, i)) < 0)
      return nullptr;
    ref p = ref::steal(PyObject_Call(parameter.get(), pos.get(), kw.get()));
    if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
  }
  return PyObject_CallMethod(inspect.get(), "Signature", "(O)", params.get());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference, as Python's own compiled functions are: the name of
// a global in __module__, so pickle.loads(pickle.dumps(f)) and copy.copy(f)
// give f itself (and pickling refuses a function no longer bound there).
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
  return Py_NewRef(as_function(self)->name);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<function %s at %p>", as_function(self)->qualname, self);
}

// Like the interpreter's built-in functions, a function stored on a class
// does not bind to instances: attribute access gives the function itself.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) noexcept {
  return Py_NewRef(self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(as_function(self)->defaults);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int function_clear(PyObject* self) noexcept {
  function_object* f = as_function(self);
  Py_CLEAR(f->defaults);
  return 0;
}

void function_dealloc(PyObject* self) noexcept {
  function_object* f = as_function(self);
  PyObject_GC_UnTrack(self);
  function_clear(self);
  for (PyObject*& n : f->names) Py_CLEAR(n);
  Py_CLEAR(f->name);
  Py_CLEAR(f->module_name);
  Py_CLEAR(f->doc);
  PyObject_GC_Del(self);
}

PyTypeObject function_type = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "quorra.accel.function";
  t.tp_basicsize = sizeof(function_object);
  t.tp_dealloc = function_dealloc;
  t.tp_vectorcall_offset = offsetof(function_object, vectorcall);
  t.tp_repr = function_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
               Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_doc = "A function of a quorra.accel extension module.";
  t.tp_traverse = function_traverse;
  t.tp_clear = function_clear;
  t.tp_getset = function_getset;
  t.tp_methods = function_methods;
  t.tp_descr_get = function_descr_get;
  return t;
}();

// Whether a default of this form can stand for a parameter of this kind.
bool fits(kind k, default_value::form f) noexcept {
  using form = default_value::form;
  switch (k) {
    case kind::f64:
    case kind::f32: return f == form::number || f == form::integer;
    case kind::i32:
    case kind::i64: return f == form::integer;
    case kind::array:
    case kind::list: return f == form::none;
    case kind::tuple: return f == form::none || f == form::empty_tuple;
    case kind::object: return f != form::required;
  }
  return false;
}

// The default object of one parameter. New reference or nullptr.
PyObject* make_default(const default_value& d) noexcept {
  using form = default_value::form;
  switch (d.f) {
    case form::none: return Py_NewRef(Py_None);
    case form::number: return PyFloat_FromDouble(d.items[0]);
    case form::integer: return PyLong_FromLong(static_cast<long>(d.items[0]));
    case form::empty_tuple: return PyTuple_New(0);
    case form::boolean: return PyBool_FromLong(d.items[0] != 0.0);
    case form::text: return PyUnicode_InternFromString(d.text);
    case form::number_list:
    case form::integer_list: {
      ref list = ref::steal(PyList_New(0));
      if (!list) return nullptr;
      for (int k = 0; k < d.count; ++k) {
        ref item = ref::steal(d.f == form::number_list
                                  ? PyFloat_FromDouble(d.items[k])
                                  : PyLong_FromLong(static_cast<long>(d.items[k])));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
      }
      return list.release();
    }
    case form::required: break;
  }
  PyErr_SetString(PyExc_SystemError, "a required parameter has no default");
  return nullptr;
}

// The shape of a table: how many parameters, how many leading ones are
// required, how many can be given by position. False when the table does
// not fit its rules.
struct table_shape {
  int n_params = 0, n_required = 0, n_positional = 0;
};
bool shape_of(const param_table& t, table_shape* out) noexcept {
  if (t.count < 0 || t.count > max_params) return false;
  int required = 0;
  while (required < t.count && t.items[required].fallback.f == default_value::form::required)
    ++required;
  int positional = 0;
  while (positional < t.count && !t.items[positional].keyword_only) ++positional;
  if (required > positional) return false;  // keyword-only without a default
  for (int i = 0; i < t.count; ++i) {
    const param& p = t.items[i];
    if (i >= required && !fits(p.k, p.fallback.f)) return false;
    if (i >= positional && !p.keyword_only) return false;
  }
  *out = {t.count, required, positional};
  return true;
}

// The tuple of defaults of the parameters after the required ones, or
// nullptr with no exception when every parameter is required.
PyObject* make_defaults(const function_def& def, const table_shape& shape) noexcept {
  if (shape.n_required == shape.n_params) return nullptr;
  ref tuple = ref::steal(PyTuple_New(shape.n_params - shape.n_required));
  if (!tuple) return nullptr;
  for (int i = shape.n_required; i < shape.n_params; ++i) {
    PyObject* value = make_default(def.params.items[i].fallback);
    if (value == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), i - shape.n_required, value);
  }
  return tuple.release();
}

}  // namespace

PyObject* make_function(const function_def& def, const char* module_name) noexcept {
  if (!(function_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&function_type) < 0)
    return nullptr;
  table_shape shape;
  if (!shape_of(def.params, &shape)) {
    PyErr_Format(PyExc_SystemError, "bad parameter table for %s", def.name);
    return nullptr;
  }
  ref defaults = ref::steal(make_defaults(def, shape));
  if (!defaults && PyErr_Occurred()) return nullptr;
  function_object* f = PyObject_GC_New(function_object, &function_type);
  if (f == nullptr) return nullptr;
  f->vectorcall = function_vectorcall;
  f->def = &def;
  f->n_params = shape.n_params;
  f->n_required = shape.n_required;
  f->n_positional = shape.n_positional;
  for (PyObject*& n : f->names) n = nullptr;
  f->name = f->module_name = f->doc = nullptr;
  f->defaults = defaults.release();
  std::snprintf(f->qualname, sizeof f->qualname, "%s.%s", module_name, def.name);
  ref self = ref::steal(reinterpret_cast<PyObject*>(f));
  PyObject_GC_Track(self.get());

  const param* params = def.params.items;
  for (int i = 0; i < f->n_params; ++i) {
    f->names[i] = PyUnicode_InternFromString(params[i].name);
    if (f->names[i] == nullptr) return nullptr;
  }
  f->name = PyUnicode_InternFromString(def.name);
  f->module_name = PyUnicode_FromString(module_name);
  if (!f->name || !f->module_name) return nullptr;
  if (def.doc == nullptr) {
    f->doc = Py_NewRef(Py_None);
  } else if (!def.signature_in_doc) {
    f->doc = PyUnicode_FromString(def.doc);
  } else {
    const signature_parts parts{def.name, params, f->n_params, f->n_required, f->n_positional,
                                f->defaults};
    f->doc = docstring_with_signature(parts, def.doc);
  }
  if (!f->doc) return nullptr;
  // Defaults are converted once here; calls that omit them skip conversion.
  for (int i = f->n_required; i < f->n_params; ++i) {
    arg& a = f->default_args[i];
    a.obj = PyTuple_GET_ITEM(f->defaults, i - f->n_required);
    if (!convert_scalar(params[i], a.obj, a)) return nullptr;
  }
  return self.release();
}

bool is_own_function(PyObject* callable, const function_def& def) noexcept {
  return Py_TYPE(callable) == &function_type && as_function(callable)->def == &def;
}

}  // namespace frame
