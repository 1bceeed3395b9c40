#include "frame/views.hpp"

#include "frame/errors.hpp"

namespace frame {
namespace {

// How a buffer's element reads in the dtype mismatch message.
const char* describe_element(char c, bool complex_pair) noexcept {
  switch (c) {
    case '\0': return "end";
    case '?': return "'bool'";
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'f': return complex_pair ? "'complex float'" : "'float'";
    case 'd': return complex_pair ? "'complex double'" : "'double'";
    case 'g': return complex_pair ? "'complex long double'" : "'long double'";
    case 'T': return "a struct";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's':
    case 'p': return "a string";
    default: return "unparsable format string";
  }
}

bool known_element(char c) noexcept {
  switch (c) {
    case '\0': case '?': case 'c': case 'b': case 'B': case 'h': case 'H': case 'i': case 'I':
    case 'l': case 'L': case 'q': case 'Q': case 'f': case 'd': case 'g': case 'T': case 'O':
    case 'P': case 's': case 'p': case 'x':
      return true;
    default:
      return false;
  }
}

// One item of a format string after its repeat count: the count (1 when
// none is written) and the element character. Pad bytes ('x') hold no
// field and are skipped, as is an item repeated zero times.
const char* next_item(const char* f, long* count) noexcept {
  for (;;) {
    long n = 1;
    if (*f >= '0' && *f <= '9') {
      n = 0;
      while (*f >= '0' && *f <= '9') {
        if (n < 100000000) n = n * 10 + (*f - '0');
        ++f;
      }
    }
    if (*f == 'x' || (n == 0 && *f != '\0')) {
      ++f;
      continue;
    }
    *count = n;
    return f;
  }
}

// Checks that `format` describes exactly one native-order 8-byte float.
bool check_double_format(const char* format, const char* type_name) noexcept {
  const char* f = format ? format : "B";
  bool standard_sizes = false;
  switch (*f) {
    case '>':
    case '!':
      return raise_buffer_big_endian();
    case '=':
    case '<':
      standard_sizes = true;
      ++f;
      break;
    case '@':
    case '^':
      ++f;
      break;
  }
  long count;
  f = next_item(f, &count);
  const bool complex_pair = *f == 'Z';
  if (complex_pair) ++f;
  const char c = *f;
  if (!known_element(c)) return raise_buffer_format_char(c, standard_sizes);
  if (c != 'd' || complex_pair)
    return raise_buffer_dtype(type_name, describe_element(c, complex_pair));
  // One double matches; a repeated double, or one followed by more fields,
  // is described by what follows the first double.
  if (count > 1) return raise_buffer_dtype(type_name, describe_element('d', false));
  long next_count;
  const char* rest = next_item(f + 1, &next_count);
  if (*rest == '\0') return true;
  const bool next_complex = *rest == 'Z';
  return raise_buffer_dtype(type_name, describe_element(next_complex ? rest[1] : *rest,
                                                        next_complex));
}

}  // namespace

bool f64_view::acquire(PyObject* obj, int ndim, const char* type_name, bool writable) noexcept {
  buf_.release();
  data_ = nullptr;
  shape_[0] = shape_[1] = strides_[0] = strides_[1] = 0;
  if (obj == Py_None) return true;
  if (!buf_.acquire(obj, PyBUF_RECORDS_RO | (writable ? PyBUF_WRITABLE : 0))) return false;
  const Py_buffer& v = buf_.view();
  const bool fits = (v.ndim == ndim || raise_buffer_ndim(ndim, v.ndim)) &&
                    check_double_format(v.format, type_name) &&
                    (v.itemsize == 8 || raise_buffer_itemsize(v.itemsize, type_name));
  if (!fits) {
    buf_.release();
    return false;
  }
  data_ = static_cast<char*>(v.buf);
  for (int d = 0; d < ndim; ++d) {
    shape_[d] = v.shape[d];
    strides_[d] = v.strides[d];
  }
  return true;
}

}  // namespace frame
