// The function object type shared by every Python-visible function: a
// vectorcall object driven by a static parameter table, each parameter with
// its default beside it.
#pragma once

#include "frame/python.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace frame {

// How the binding converts or tests a parameter before the body runs.
enum class kind : uint8_t {
  f64,     // float(x) as a double
  f32,     // float(x) rounded to single precision
  i32,     // int(x), 32-bit
  i64,     // int(x), 64-bit
  object,  // any object, read by the body
  array,   // None or a numpy.ndarray (subclasses allowed)
  tuple,   // None or exactly a tuple
  list,    // None or exactly a list
};

// A parameter's default, made once when the function object is built. List
// defaults are single objects shared by every call that omits them.
struct default_value {
  enum class form : uint8_t {
    required,      // no default: the parameter must be given
    none,          // None
    number,        // a float
    integer,       // an int
    empty_tuple,   // ()
    number_list,   // a list of `count` floats
    integer_list,  // a list of `count` ints
    boolean,       // True or False
    text,          // a str, `text`
  };
  form f = form::required;
  double items[2] = {0.0, 0.0};  // the number, or the list's elements
  int count = 0;
  const char* text = nullptr;
};

namespace defaults {
constexpr default_value required() { return {}; }
constexpr default_value none() { return {default_value::form::none}; }
constexpr default_value number(double v) { return {default_value::form::number, {v, 0.0}}; }
constexpr default_value integer(int v) { return {default_value::form::integer, {double(v), 0.0}}; }
constexpr default_value empty_tuple() { return {default_value::form::empty_tuple}; }
constexpr default_value boolean(bool v) {
  return {default_value::form::boolean, {v ? 1.0 : 0.0, 0.0}};
}
constexpr default_value text(const char* s) {
  return {default_value::form::text, {0.0, 0.0}, 0, s};
}
constexpr default_value number_list(double a) {
  return {default_value::form::number_list, {a, 0.0}, 1};
}
constexpr default_value number_list(double a, double b) {
  return {default_value::form::number_list, {a, b}, 2};
}
constexpr default_value integer_list(int a) {
  return {default_value::form::integer_list, {double(a), 0.0}, 1};
}
}  // namespace defaults

struct param {
  const char* name;
  kind k;
  default_value fallback = {};  // required unless given
  bool keyword_only = false;    // given by keyword only (after a `*`)
};

constexpr int max_params = 32;

// Two parameter tables one after the other.
template <size_t N, size_t M>
constexpr std::array<param, N + M> joined(const std::array<param, N>& first,
                                          const std::array<param, M>& then) {
  std::array<param, N + M> out{};
  for (size_t k = 0; k < N; ++k) out[k] = first[k];
  for (size_t k = 0; k < M; ++k) out[N + k] = then[k];
  return out;
}

// The same parameters given by keyword only: the `*` before them.
template <size_t N>
constexpr std::array<param, N> keyword_only(std::array<param, N> table) {
  for (param& p : table) p.keyword_only = true;
  return table;
}

// Where a function's parameters are: the table, in order.
struct param_table {
  const param* items = nullptr;
  int count = 0;
};
template <size_t N>
constexpr param_table table(const std::array<param, N>& t) {
  return {t.data(), int(N)};
}
template <size_t N>
constexpr param_table table(const param (&t)[N]) {
  return {t, int(N)};
}

// Each parameter declared once, as X(name, kind, default) in a list macro;
// these expand a list into the parameters' positions (a_<name>) and into
// table entries. `kind` and `default` may name the enclosing function's own
// arguments (what its arrays accept, the defaults it chooses).
#define FRAME_POSITION(name, kind, fallback) a_##name,
#define FRAME_PARAM(name, kind, fallback) ::frame::param{#name, kind, fallback},

// One bound argument: the object (borrowed for the call) and, for scalar
// kinds, its converted value.
struct arg {
  PyObject* obj;
  union {
    double f64;
    float f32;
    int32_t i32;
    int64_t i64;
  };
};

struct args {
  arg a[max_params];
  const arg& operator[](int i) const noexcept { return a[i]; }
};

// A function body: runs after binding, conversion and type tests. Returns a
// new reference, or nullptr with an exception set. The frame adds the
// traceback entry.
using body_fn = PyObject* (*)(const args&) noexcept;

// A function: its name, docstring, parameters and body. How many are
// required (the leading ones without a default) and which are keyword-only
// comes from the table itself.
struct function_def {
  const char* name;  // __name__ and __qualname__, used in messages
  const char* doc;   // UTF-8 docstring, or nullptr for None
  param_table params;
  body_fn body;
  // The docstring begins with the call's signature line(s), rendered from
  // the table (name, defaults as repr() gives them, `*` before the
  // keyword-only ones), then a blank line and `doc`.
  bool signature_in_doc = false;
};

// Creates the function object for `def` in the module named `module_name`,
// with the defaults of its parameter table made and converted once here.
// A table that does not fit its rules (more than max_params parameters, a
// required parameter after one with a default, a default of the wrong form
// for its kind, a keyword-only parameter before a positional one) fails with
// SystemError. New reference or nullptr.
PyObject* make_function(const function_def& def, const char* module_name) noexcept;

// True when `callable` is the function object made for `def` in this module:
// the engines call the native routine directly in that case.
bool is_own_function(PyObject* callable, const function_def& def) noexcept;

}  // namespace frame
