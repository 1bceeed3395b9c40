// The ledger's checks of array values: signals must be -1, 0 or 1; prices
// finite and > 0; a bar's high at least its open and close, its low at most. They run with the interpreter lock released, block by
// block just ahead of the loop, so each block is read from memory once and
// the loop finds it in cache. The caller sees what checking everything
// first would give: an offending value anywhere is the call's error (the
// first one, arrays in parameter order, elements in row-major order), and
// no result of a run that reached it.
#pragma once

#include "frame/inputs.hpp"
#include "frame/unlocked.hpp"

#include <cstdint>

namespace ledger {

class input_array;

enum class value_rule : uint8_t {
  signal,
  price,
  high,  // a price >= the bar's open and close
  low,   // a price <= the bar's open and close
};

// An input whose values are checked (`array` null: skipped, as a `prices`
// that is `close` itself).
struct checked_array {
  const input_array* array;
  const char* name;
  value_rule rule;
  const input_array* open = nullptr;  // the bars a high or low is checked against
  const input_array* close = nullptr;
};

class value_checks {
 public:
  value_checks(const checked_array* arrays, int count) noexcept
      : arrays_(arrays), count_(count) {}

  // Whether rows from .. to - 1 of every array pass (no exception).
  bool rows_pass(Py_ssize_t from, Py_ssize_t to) const noexcept;

  enum class outcome { clean, raised };
  // Looks for the first offending value from the start and raises it (the
  // lock taken back for it), replacing any exception pending; `raised` too
  // when a signal handler raised during the scan. `clean` (nothing raised)
  // when every value passes: another thread changed the arrays meanwhile.
  outcome raise_first(frame::lock_released& lock) const noexcept;

 private:
  const checked_array* arrays_;
  int count_;
};

// The loop in blocks of rows, each block checked before it runs. An error
// of the run itself gives way to an offending value later in the arrays,
// but not to a signal handler's exception. False with the exception set.
template <class Loop>
bool run_checked(Loop& loop, const value_checks& checks, int32_t n, int32_t width,
                 frame::lock_released& lock) noexcept {
  constexpr int32_t cells_per_block = 8192;
  const int32_t block = width >= cells_per_block ? 1 : cells_per_block / (width > 0 ? width : 1);
  using outcome = value_checks::outcome;
  for (int32_t from = 0; from < n;) {
    const int32_t to = n - from > block ? from + block : n;
    if (!checks.rows_pass(from, to) && checks.raise_first(lock) == outcome::raised) return false;
    if (!loop.run_bars(from, to)) {
      if (!lock.interrupted() && !checks.rows_pass(to, n)) checks.raise_first(lock);
      return false;
    }
    from = to;
  }
  return true;
}

}  // namespace ledger
