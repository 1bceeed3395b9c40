#include "solosim/stop_distance.hpp"

namespace stops {

bool stop_distance(double ref_price, double stop_value, int32_t stop_mode, double price_tick,
                   double size, double volume_multiple, double* out) noexcept {
  *out = 0.0;
  if (stop_value <= 0) return true;  // NaN fails this test and goes on
  switch (stop_mode) {
    case 0:
      *out = stop_value * price_tick;
      return true;
    case 1:
      if (size > 0 && volume_multiple > 0) {
        const double d = size * volume_multiple;
        if (d == 0.0) return false;
        *out = stop_value / d;
      }
      return true;
    case 2:
      *out = ref_price * stop_value;
      return true;
    default:
      return true;
  }
}

}  // namespace stops
