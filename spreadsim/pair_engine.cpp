#include "spreadsim/pair_engine.hpp"

namespace spreadsim {

bool run_pair(const pair_settings& s, const pair_inputs& in, const frame::f64_view* rows,
              int32_t n) noexcept {
  if (in.entries.typed && in.exits.typed && in.prices.typed && in.entries.in.float64() &&
      in.exits.in.float64() && in.prices.in.float64())
    return pair_loop<f64_reads>(s, in, rows).run(n);
  if (in.entries.typed && in.exits.typed && in.prices.typed)
    return pair_loop<typed_reads>(s, in, rows).run(n);
  return pair_loop<any_reads>(s, in, rows).run(n);
}

}  // namespace spreadsim
