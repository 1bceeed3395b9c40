// How the ledger's loops read their inputs: through typed views only, every
// index inside the shapes checked before the run (so a read never needs
// Python), signals and prices widened to double. The element types studies
// use most (float64 prices; float64, int8 or bool signals) are read
// directly, anything else through the view's per-element loader.
#pragma once

#include "frame/errors.hpp"
#include "frame/inputs.hpp"
#include "frame/unaligned.hpp"
#include "rules/position.hpp"
#include "solosim/readers.hpp"
#include "spreadsim/bar_reads.hpp"

#include <cstdint>

namespace ledger {

using frame::element;

template <element E, class... Index>
inline double read_as(const frame::numeric_input& in, Index... at) noexcept {
  if constexpr (E == element::float64) {
    return frame::load_unaligned<double>(in.address(at...));
  } else if constexpr (E == element::int8) {
    return static_cast<double>(frame::load_unaligned<int8_t>(in.address(at...)));
  } else if constexpr (E == element::boolean) {
    return *in.address(at...) != 0 ? 1.0 : 0.0;  // NumPy's bool is True for any nonzero byte
  } else {
    double v = 0.0;
    const bool inside = in.get(at..., &v);
    FRAME_ASSERT(inside);
    (void)inside;
    return v;
  }
}

// The solo loop's input policy (solosim/readers.hpp has the interface).
template <element Price, element Signal>
struct solo_reads : solosim::double_signals {
  const frame::numeric_input& entries;
  const frame::numeric_input& exits;
  const frame::numeric_input& prices;

  bool price(int32_t i, int32_t j, double* out) const noexcept {
    *out = read_as<Price>(prices, i, j);
    return true;
  }
  bool entry(int32_t i, int32_t j, signal* out) const noexcept {
    *out = read_as<Signal>(entries, i, j);
    return true;
  }
  bool exit(int32_t i, int32_t j, signal* out) const noexcept {
    *out = read_as<Signal>(exits, i, j);
    return true;
  }
  // A checked signal is 1 or -1; anything else (an array changed by another
  // thread during the run) passes as 0 rather than raising without the lock.
  static bool to_int32(const signal& s, int32_t* out) noexcept {
    *out = s == 1.0 ? 1 : s == -1.0 ? -1 : 0;
    return true;
  }
};

// The pair loop's read policy (spreadsim/bar_reads.hpp has the interface).
template <element Price, element Signal>
struct pair_reads {
  static bool signal(const spreadsim::bar_input& s, Py_ssize_t i, int op, bool* out) noexcept {
    *out = spreadsim::compare_with_zero(read_as<Signal>(s.in, i), op);
    return true;
  }
  static bool price(const spreadsim::bar_input& p, Py_ssize_t i, Py_ssize_t j,
                    double* out) noexcept {
    *out = read_as<Price>(p.in, i, j);
    return true;
  }
};

// The stops' trigger on the bars' open, high and low (and the close the
// callbacks see), each (n, slots) and checked before the run. Float64
// arrays are read directly, others through their per-element loader.
struct bar_trigger {
  static constexpr bool intrabar = true;
  static constexpr bool at_open = false;
  const frame::numeric_input* open;
  const frame::numeric_input* high;
  const frame::numeric_input* low;
  const frame::numeric_input* close;
  bool float64;  // all four

  [[gnu::always_inline]] void bar(int32_t i, int32_t j, rules::bar_range* b) const noexcept {
    if (float64) [[likely]] {
      *b = {read_as<element::float64>(*open, i, j), read_as<element::float64>(*high, i, j),
            read_as<element::float64>(*low, i, j), read_as<element::float64>(*close, i, j)};
    } else {
      read_slowly(i, j, b);
    }
  }
  [[gnu::noinline]] void read_slowly(int32_t i, int32_t j, rules::bar_range* b) const noexcept {
    *b = {read_as<element::other>(*open, i, j), read_as<element::other>(*high, i, j),
          read_as<element::other>(*low, i, j), read_as<element::other>(*close, i, j)};
  }
};

// The same bars with the market orders filled at each bar's open
// (fill_at="open").
struct open_fill_trigger : bar_trigger {
  static constexpr bool at_open = true;
};

// Calls run.template operator()<Price, Signal>() with the element types
// the inputs allow a direct read for (one instantiation per pair of types).
template <class Run>
bool with_element_types(element price, element entries, element exits, Run&& run) noexcept {
  const element signal = entries == exits ? entries : element::other;
  if (price == element::float64) {
    switch (signal) {
      case element::float64: return run.template operator()<element::float64, element::float64>();
      case element::int8: return run.template operator()<element::float64, element::int8>();
      case element::boolean: return run.template operator()<element::float64, element::boolean>();
      default: break;
    }
  }
  return run.template operator()<element::other, element::other>();
}

}  // namespace ledger
