// How the ledger's runs reach what lies outside the loops' arithmetic, with
// the interpreter lock released: always the native sizing and commission
// rules (a replacement bound in another module plays no part), native
// callbacks called directly, and the lock taken back only to check for
// pending signals and to raise.
#pragma once

#include "frame/errors.hpp"
#include "frame/unlocked.hpp"
#include "ledger/lot_faults.hpp"
#include "rules/sizing.hpp"
#include "rules/stops.hpp"
#include "spreadsim/pair_settings.hpp"

#include <cstdint>

namespace ledger {

class native_rules {
 public:
  struct rule {};  // nothing to look up

  native_rules(frame::lock_released& lock, const double* leg_sizes = nullptr) noexcept
      : lock_(lock), leg_sizes_(leg_sizes) {}

  bool lookup_size(rule*) noexcept { return true; }
  bool lookup_commission(rule*) noexcept { return true; }

  bool size(rule, double price, double size, int32_t size_type, double cash, double margin_rate,
            double multiple, double* lots) noexcept {
    const rules::lot_count c = rules::count_lots(price, size, size_type, cash, margin_rate,
                                                 multiple);
    if (c.fault != rules::size_fault::none) [[unlikely]] {
      lock_.locked(
          [&] { raise_lot_fault(c, price, size, size_type, cash, margin_rate, multiple); });
      return false;
    }
    *lots = c.lots;
    return true;
  }
  bool commission(rule, double price, double lots, double multiple, double commission,
                  int32_t com_type, double tick, double* fee) noexcept {
    *fee = rules::calc_commission(price, lots, multiple, commission, com_type, tick);
    return true;
  }

  // Solo: the zero divisor ends the run (it needs lots * multiple to
  // underflow, which checked settings rule out).
  bool stop_distance(double ref_price, double stop_value, int32_t stop_mode, double tick,
                     double lots, double multiple, double* d) noexcept {
    if (rules::stop_distance(ref_price, stop_value, stop_mode, tick, lots, multiple, d))
        [[likely]]
      return true;
    return raise(frame::raise_float_division);
  }
  // Pair: reported and passed over, as pair_from_signals does.
  double stop_dist(double ref_price, double stop_value, int32_t stop_mode, double tick,
                   double lots, double multiple) noexcept {
    double d;
    if (rules::stop_distance(ref_price, stop_value, stop_mode, tick, lots, multiple, &d))
        [[likely]]
      return d;
    lock_.locked([] { rules::report_stop_division(); });
    return 0.0;
  }
  // The pair's size of each leg, checked before the run.
  bool leg_size(const spreadsim::pair_settings&, int leg, double* size) noexcept {
    *size = leg_sizes_[leg];
    return true;
  }

  double callback(rules::stop_callback_t cb, int64_t bar, int64_t direction, double entry,
                  double price, double ref, double distance, double tick, double multiple,
                  double lots, const double* args, int64_t n_args) noexcept {
    return cb(bar, direction, entry, price, ref, distance, tick, multiple, lots, args, n_args);
  }
  bool check_interrupts() noexcept { return lock_.check_interrupts(); }
  bool check_interrupts_after_callback() noexcept {
    return lock_.check_interrupts_after_callback();
  }
  template <class Raise>
  bool raise(Raise raise_error) noexcept {
    lock_.locked([&] { raise_error(); });
    return false;
  }

 private:
  frame::lock_released& lock_;
  const double* leg_sizes_;
};

}  // namespace ledger
