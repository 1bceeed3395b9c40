#include "spreadsim/pair_engine.hpp"

#include "spreadsim/module_rules.hpp"
#include "spreadsim/pair_rows.hpp"

namespace spreadsim {

namespace {

template <class Reads>
bool run_with(const pair_settings& s, const pair_inputs& in, const frame::f64_view* rows,
              int32_t n) noexcept {
  const view_rows writer{rows};
  module_rules lookups;
  rules::no_events events;
  return pair_loop<Reads, view_rows, module_rules>(s, in, writer, lookups, events).run(n);
}

}  // namespace

bool run_pair(const pair_settings& s, const pair_inputs& in, const frame::f64_view* rows,
              int32_t n) noexcept {
  if (in.entries.typed && in.exits.typed && in.prices.typed && in.entries.in.float64() &&
      in.exits.in.float64() && in.prices.in.float64())
    return run_with<f64_reads>(s, in, rows, n);
  if (in.entries.typed && in.exits.typed && in.prices.typed)
    return run_with<typed_reads>(s, in, rows, n);
  return run_with<any_reads>(s, in, rows, n);
}

}  // namespace spreadsim
