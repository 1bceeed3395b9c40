// How the pair loop writes the two legs' history rows: into writable
// (n, 6) float64 views, or nowhere.
#pragma once

#include "frame/views.hpp"

#include <cstdint>

namespace spreadsim {

struct view_rows {
  const frame::f64_view* rows;  // leg A, leg B

  void write(int j, Py_ssize_t i, double equity, double position, double size, double pnl,
             double cum_profit, double total_fee) const noexcept {
    const frame::f64_view& r = rows[j];
    r.set(i, 0, equity);
    r.set(i, 1, position);
    r.set(i, 2, size);
    r.set(i, 3, pnl);
    r.set(i, 4, cum_profit);
    r.set(i, 5, total_fee);
  }
};

struct no_rows {
  void write(int, Py_ssize_t, double, double, double, double, double, double) const noexcept {}
};

}  // namespace spreadsim
