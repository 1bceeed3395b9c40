// How the ledger's loops read their inputs: through typed views only, every
// index inside the shapes checked before the run (so a read never needs
// Python), signals and prices widened to double.
#pragma once

#include "frame/errors.hpp"
#include "frame/inputs.hpp"
#include "spreadsim/bar_reads.hpp"

#include <cstdint>

namespace ledger {

// The solo loop's input policy (solosim/readers.hpp has the interface);
// Float64 when all three inputs are native float64, read without the
// per-element dispatch.
template <bool Float64>
struct solo_reads {
  using signal = double;

  const frame::numeric_input& entries;
  const frame::numeric_input& exits;
  const frame::numeric_input& prices;

  static double at(const frame::numeric_input& in, int32_t i, int32_t j) noexcept {
    double v = 0.0;
    const bool inside = in.get<Float64>(i, j, &v);
    FRAME_ASSERT(inside);
    (void)inside;
    return v;
  }
  bool price(int32_t i, int32_t j, double* out) const noexcept {
    *out = at(prices, i, j);
    return true;
  }
  bool entry(int32_t i, int32_t j, signal* out) const noexcept {
    *out = at(entries, i, j);
    return true;
  }
  bool exit(int32_t i, int32_t j, signal* out) const noexcept {
    *out = at(exits, i, j);
    return true;
  }
  static bool nonzero(const signal& s, bool* out) noexcept {
    *out = s != 0.0;
    return true;
  }
  static bool equals(const signal& s, int k, bool* out) noexcept {
    *out = s == static_cast<double>(k);
    return true;
  }
  static signal zero() noexcept { return 0.0; }
  static double value_of(const signal& s) noexcept { return s; }
  static bool to_float(const signal& s, double* out) noexcept {
    *out = s;
    return true;
  }
  // A checked signal is 1 or -1; anything else (an array changed by another
  // thread during the run) passes as 0 rather than an undefined conversion.
  static bool to_int32(const signal& s, int32_t* out) noexcept {
    *out = s == 1.0 ? 1 : s == -1.0 ? -1 : 0;
    return true;
  }
};

// The pair loop's read policy (spreadsim/bar_reads.hpp has the interface),
// Float64 as above.
template <bool Float64>
struct pair_reads {
  static bool signal(const spreadsim::bar_input& s, Py_ssize_t i, int op, bool* out) noexcept {
    double v = 0.0;
    const bool inside = s.in.template get<Float64>(i, &v);
    FRAME_ASSERT(inside);
    (void)inside;
    *out = spreadsim::compare_with_zero(v, op);
    return true;
  }
  static bool price(const spreadsim::bar_input& p, Py_ssize_t i, Py_ssize_t j,
                    double* out) noexcept {
    double v = 0.0;
    const bool inside = p.in.template get<Float64>(i, j, &v);
    FRAME_ASSERT(inside);
    (void)inside;
    *out = v;
    return true;
  }
};

}  // namespace ledger
