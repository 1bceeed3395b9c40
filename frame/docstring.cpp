#include "frame/docstring.hpp"

#include "frame/refs.hpp"

#include <cstring>

namespace frame {
namespace {

constexpr size_t line_width = 88;

// A fixed buffer of text: signatures are short, and a full one is an error
// in the table, not something to allocate around.
struct text {
  char data[4096];
  size_t len = 0;
  size_t line_start = 0;

  bool add(const char* s, size_t n) noexcept {
    if (n >= sizeof data - len) return false;
    std::memcpy(data + len, s, n);
    len += n;
    data[len] = '\0';
    return true;
  }
  bool add(const char* s) noexcept { return add(s, std::strlen(s)); }
  size_t column() const noexcept { return len - line_start; }
  bool new_line(size_t indent) noexcept {
    if (!add("\n", 1)) return false;
    line_start = len;
    for (size_t k = 0; k < indent; ++k)
      if (!add(" ", 1)) return false;
    return true;
  }
};

// One parameter as the signature shows it: "name" or "name=<repr>".
bool render_item(const signature_parts& s, int i, text* out) noexcept {
  if (!out->add(s.params[i].name)) return false;
  if (i < s.n_required) return true;
  ref repr = ref::steal(PyObject_Repr(PyTuple_GET_ITEM(s.defaults, i - s.n_required)));
  if (!repr) return false;
  Py_ssize_t n;
  const char* utf8 = PyUnicode_AsUTF8AndSize(repr.get(), &n);
  return utf8 != nullptr && out->add("=", 1) && out->add(utf8, size_t(n));
}

[[gnu::cold]] PyObject* too_long(const char* name) noexcept {
  if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "signature of %s too long", name);
  return nullptr;
}

}  // namespace

PyObject* docstring_with_signature(const signature_parts& s, const char* doc) noexcept {
  text line;
  if (!line.add(s.name) || !line.add("(", 1)) return too_long(s.name);
  const size_t indent = line.len;
  for (int i = 0; i < s.n_params; ++i) {
    text item;
    if (i == s.n_positional && !item.add("*, ")) return too_long(s.name);
    if (!render_item(s, i, &item) || !item.add(i + 1 < s.n_params ? "," : ")"))
      return too_long(s.name);
    // A space before every item but the first, or a new line when the item
    // would pass the width.
    if (i > 0) {
      const bool fits = line.column() + 1 + item.len <= line_width;
      if (!(fits ? line.add(" ", 1) : line.new_line(indent))) return too_long(s.name);
    }
    if (!line.add(item.data, item.len)) return too_long(s.name);
  }
  if (s.n_params == 0 && !line.add(")", 1)) return too_long(s.name);
  return PyUnicode_FromFormat("%s\n\n%s", line.data, doc);
}

}  // namespace frame
