#include "solosim/stops.hpp"

#include "frame/errors.hpp"
#include "solosim/stop_distance.hpp"

namespace solosim {

bool calc_stop_distance(double ref_price, double stop_value, int32_t stop_mode, double price_tick,
                        double size, double volume_multiple, double* out) noexcept {
  if (stops::stop_distance(ref_price, stop_value, stop_mode, price_tick, size, volume_multiple,
                           out)) [[likely]]
    return true;
  frame::raise_float_division();
  frame::add_traceback("quorra.accel.solosim.calc_stop_distance");
  return false;
}

}  // namespace solosim
