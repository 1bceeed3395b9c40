#include "rules/names.hpp"

#include "frame/names.hpp"

namespace rules::names {

bool init() noexcept {
  PyObject* dtype = nullptr;
  if (!frame::intern_names({{&calculate_size, "calculate_size"},
                            {&calculate_commission, "calculate_commission"},
                            {&np, "np"},
                            {&zeros, "zeros"},
                            {&float64, "float64"},
                            {&dtype, "dtype"}}))
    return false;
  const bool made = frame::keyword_names(&dtype_kwnames, dtype);
  Py_DECREF(dtype);
  return made && frame::int_constant(&int_zero, 0) && frame::int_constant(&int_one, 1) &&
         frame::int_constant(&int_minus_one, -1);
}

}  // namespace rules::names
