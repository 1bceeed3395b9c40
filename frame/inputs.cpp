#include "frame/inputs.hpp"

#include "frame/module_state.hpp"
#include "frame/unaligned.hpp"

#include <cmath>

namespace frame {
namespace {

template <class T>
double load(const char* p) noexcept {
  return static_cast<double>(load_unaligned<T>(p));
}

// NumPy's bool scalar is True for any nonzero byte.
double load_bool(const char* p) noexcept { return *p != 0 ? 1.0 : 0.0; }

// IEEE half precision widened exactly to double.
double load_half(const char* p) noexcept {
  const uint16_t h = load_unaligned<uint16_t>(p);
  const int sign = h >> 15;
  const int exponent = (h >> 10) & 0x1F;
  const int mantissa = h & 0x3FF;
  double v;
  if (exponent == 0)
    v = std::ldexp(static_cast<double>(mantissa), -24);
  else if (exponent == 31)
    v = mantissa != 0 ? std::nan("") : INFINITY;
  else
    v = std::ldexp(static_cast<double>(mantissa | 0x400), exponent - 25);
  return sign ? -v : v;
}

// The loader for a native-order element of a real numeric type, or nullptr.
load_fn loader_for(const char* format, Py_ssize_t itemsize) noexcept {
  const char* f = format ? format : "B";
  if (*f == '@' || *f == '=' || *f == '<') ++f;
  if (f[0] == '\0' || f[1] != '\0') return nullptr;
  const char c = f[0];
  switch (c) {
    case '?': return itemsize == 1 ? load_bool : nullptr;
    case 'e': return itemsize == 2 ? load_half : nullptr;
    case 'f': return itemsize == 4 ? load<float> : nullptr;
    case 'd': return itemsize == 8 ? load<double> : nullptr;
    case 'b': case 'h': case 'i': case 'l': case 'q':
      switch (itemsize) {
        case 1: return load<int8_t>;
        case 2: return load<int16_t>;
        case 4: return load<int32_t>;
        case 8: return load<int64_t>;
      }
      return nullptr;
    case 'B': case 'H': case 'I': case 'L': case 'Q':
      switch (itemsize) {
        case 1: return load<uint8_t>;
        case 2: return load<uint16_t>;
        case 4: return load<uint32_t>;
        case 8: return load<uint64_t>;
      }
      return nullptr;
    default:
      return nullptr;
  }
}

}  // namespace

void numeric_input::open(PyObject* obj) noexcept {
  obj_ = obj;
  load_ = nullptr;
  f64_ = false;
  kind_ = element::other;
  buf_.release();
  if (obj == nullptr || obj == Py_None || Py_TYPE(obj) != ndarray_type()) return;
  if (!buf_.acquire(obj, PyBUF_RECORDS_RO)) {
    PyErr_Clear();
    return;
  }
  const Py_buffer& v = buf_.view();
  load_fn load = loader_for(v.format, v.itemsize);
  if (load == nullptr || v.ndim < 1 || v.ndim > 2) {
    buf_.release();
    return;
  }
  ndim_ = v.ndim;
  data_ = static_cast<const char*>(v.buf);
  item_ = v.itemsize;
  for (int d = 0; d < ndim_; ++d) {
    shape_[d] = v.shape[d];
    strides_[d] = v.strides[d];
  }
  load_ = load;
  f64_ = load == static_cast<load_fn>(::frame::load<double>);
  kind_ = f64_                                                ? element::float64
          : load == static_cast<load_fn>(::frame::load<int8_t>) ? element::int8
          : load == static_cast<load_fn>(load_bool)            ? element::boolean
                                                               : element::other;
}

}  // namespace frame
