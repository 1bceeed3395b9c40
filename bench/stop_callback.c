/* A native stop-loss callback for the solosim benchmark: a stop args[0]
 * ticks from the reference, tightened to args[1] ticks once the position
 * has moved args[2] ticks into profit. */
#include <stdint.h>

double tightening_stop(int64_t bar, int64_t direction, double entry_price, double current_price,
                       double ref_price, double current_distance, double price_tick,
                       double volume_multiple, double size, const double* args,
                       int64_t n_args) {
  (void)bar;
  (void)current_distance;
  (void)volume_multiple;
  (void)size;
  (void)ref_price;
  if (n_args < 3) return 0.0;
  const double gain = direction == 1 ? current_price - entry_price : entry_price - current_price;
  return (gain >= args[2] * price_tick ? args[1] : args[0]) * price_tick;
}
