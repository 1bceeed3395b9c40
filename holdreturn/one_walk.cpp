// The return matrices in one walk per signal: each signal's walk runs up to
// its longest holding length and the running ratios are recorded where each
// length ends. Lengths are visited in ascending order, so the factors are
// multiplied in the same order as separate walks would multiply them and
// every recorded ratio is bit-identical to its own walk.
//
// Signals with a valid entry go through in groups of four lanes, so the
// divisions of different signals share vector instructions and the four
// multiplication chains overlap.
#include "holdreturn/walk.hpp"

#include <algorithm>

namespace holdreturn {
namespace {

// Two doubles per register (SSE2 on x86-64, NEON on ARM) and the lane mask
// their comparisons give.
typedef double double2 __attribute__((vector_size(16)));
typedef int64_t mask2 __attribute__((vector_size(16)));

constexpr int lanes = 4;

struct group {
  int32_t row[lanes];
  int64_t sig[lanes];
  double open[lanes];
};

struct lengths {
  const int32_t* holds;
  const int32_t* order;  // indices of holds by ascending length
  int32_t m;
};

// Goes on with one signal's walk after `done` held bars, from the r-th
// shortest length on. False when a signal handler raised.
bool finish_walk(const price_series& close, int64_t last, int64_t sig, double open,
                 double long_ratio, double short_ratio, int64_t done, int32_t r,
                 const lengths& len, double* long_row, double* short_row,
                 frame::interrupt_budget* budget) noexcept {
  int64_t next = sig + done + 1;
  for (; r < len.m; ++r) {
    const int32_t k = len.order[r];
    int64_t end = sig + len.holds[k];
    if (end > last) end = last;
    if (!hold_bars(close, next, end, open, &long_ratio, &short_ratio, budget)) return false;
    if (end >= next) next = end + 1;
    long_row[k] = long_ratio;
    short_row[k] = short_ratio;
  }
  return true;
}

// One held bar for two lanes. The short factor is 1 - q with q the long
// quotient: o - c is exactly -(c - o) and the division keeps the sign, so
// ((o - c) / o) + 1.0 and 1.0 - ((c - o) / o) are the same double (the one
// difference, +0 against -0 when c equals o, vanishes when 1.0 is added).
// With `may_skip`, a NaN or infinite close (c - c not 0) leaves the ratios
// unchanged; without, every close is known to be finite.
template <bool may_skip>
inline void hold_bar(double2 current, double2 open, double2* long_ratio,
                     double2* short_ratio) noexcept {
  const double2 q = (current - open) / open;
  const double2 long_next = *long_ratio * (q + 1.0);
  const double2 short_next = *short_ratio * (1.0 - q);
  if constexpr (may_skip) {
    const mask2 held = (current - current) == 0.0;
    *long_ratio = (double2)(((mask2)long_next & held) | ((mask2)*long_ratio & ~held));
    *short_ratio = (double2)(((mask2)short_next & held) | ((mask2)*short_ratio & ~held));
  } else {
    *long_ratio = long_next;
    *short_ratio = short_next;
  }
}

// The lanes' running ratios.
struct running {
  double2 long_lo = {1.0, 1.0}, long_hi = {1.0, 1.0};
  double2 short_lo = {1.0, 1.0}, short_hi = {1.0, 1.0};
  double long_lane(int l) const noexcept { return l < 2 ? long_lo[l] : long_hi[l - 2]; }
  double short_lane(int l) const noexcept { return l < 2 ? short_lo[l] : short_hi[l - 2]; }
};

// Held bars done+1 .. to for all four lanes; `at` points at each lane's
// first held bar. The caller keeps each piece short enough for the
// interrupt checks.
template <bool may_skip>
[[gnu::always_inline]] inline void hold_group(const char* const* at, Py_ssize_t stride,
                                              double2 open_lo, double2 open_hi, int64_t done,
                                              int64_t to, running* r) noexcept {
  double2 long_lo = r->long_lo, long_hi = r->long_hi;
  double2 short_lo = r->short_lo, short_hi = r->short_hi;
  for (; done < to; ++done) {
    const Py_ssize_t offset = done * stride;
    const double2 current_lo = {price_series::load(at[0] + offset),
                             price_series::load(at[1] + offset)};
    const double2 current_hi = {price_series::load(at[2] + offset),
                             price_series::load(at[3] + offset)};
    hold_bar<may_skip>(current_lo, open_lo, &long_lo, &short_lo);
    hold_bar<may_skip>(current_hi, open_hi, &long_hi, &short_hi);
  }
  *r = running{long_lo, long_hi, short_lo, short_hi};
}

// Finds non-finite closes for windows that move forward through the data:
// each bar is looked at once over all calls.
class bad_close_finder {
 public:
  bad_close_finder(const price_series& close, int64_t last) noexcept : close_(close), last_(last) {}
  // The first bar at or after `from` whose close is NaN or infinite (last+1
  // when none); `from` may not decrease between calls.
  int64_t first_from(int64_t from) noexcept {
    if (found_ >= from) return found_;
    for (found_ = from; found_ <= last_ && std::isfinite(close_.at(found_)); ++found_) {
    }
    return found_;
  }

 private:
  const price_series& close_;
  int64_t last_;
  int64_t found_ = -1;
};

// hold_group over done+1 .. to in pieces of a checking period's worth of
// cells (four lanes per bar), with a check after each; a stretch of one
// piece or less (the usual case) adds its cells to `unchecked` for the
// caller to count. False when a signal handler raised.
template <bool may_skip>
bool hold_group_checked(const char* const* at, Py_ssize_t stride, double2 open_lo,
                        double2 open_hi, int64_t done, int64_t to, running* r,
                        frame::interrupt_budget* budget, int64_t* unchecked) noexcept {
  constexpr int64_t piece = frame::interrupt_period / lanes;
  if (to - done <= piece) {
    hold_group<may_skip>(at, stride, open_lo, open_hi, done, to, r);
    *unchecked += (to - done) * lanes;
    return true;
  }
  while (done < to) {
    const int64_t end = std::min(to, done + piece);
    hold_group<may_skip>(at, stride, open_lo, open_hi, done, end, r);
    if (!budget->spend((end - done) * lanes)) return false;
    done = end;
  }
  return true;
}

bool walk_group(const price_series& close, int64_t last, const group& g, const lengths& len,
                bad_close_finder* bad, const return_matrices& out,
                frame::interrupt_budget* budget) noexcept {
  const double2 open_lo = {g.open[0], g.open[1]};
  const double2 open_hi = {g.open[2], g.open[3]};
  const char* at[lanes];
  for (int l = 0; l < lanes; ++l) at[l] = close.data + (g.sig[l] + 1) * close.stride;

  // Held bars every lane has inside the data (the last lane is the latest
  // signal); a stretch without bad closes needs no skipping.
  const int64_t common = last - g.sig[lanes - 1];
  const int64_t longest = std::min<int64_t>(len.holds[len.order[len.m - 1]], common);
  const bool clean = bad->first_from(g.sig[0] + 1) > g.sig[lanes - 1] + longest;
  running ratios;
  int64_t done = 0;
  int64_t unchecked = 0;
  int32_t r = 0;
  for (; r < len.m; ++r) {
    const int32_t k = len.order[r];
    if (len.holds[k] > common) break;
    const bool held =
        clean ? hold_group_checked<false>(at, close.stride, open_lo, open_hi, done,
                                          len.holds[k], &ratios, budget, &unchecked)
              : hold_group_checked<true>(at, close.stride, open_lo, open_hi, done, len.holds[k],
                                         &ratios, budget, &unchecked);
    if (!held) return false;
    done = std::max<int64_t>(done, len.holds[k]);
    for (int l = 0; l < lanes; ++l) {
      out.long_row(g.row[l])[k] = ratios.long_lane(l);
      out.short_row(g.row[l])[k] = ratios.short_lane(l);
    }
  }
  if (!budget->spend(unchecked)) return false;
  // Near the end of the data the lanes stop at different bars: each finishes alone.
  for (int l = 0; r < len.m && l < lanes; ++l)
    if (!finish_walk(close, last, g.sig[l], g.open[l], ratios.long_lane(l), ratios.short_lane(l),
                     done, r, len, out.long_row(g.row[l]), out.short_row(g.row[l]), budget))
      return false;
  return true;
}

}  // namespace

bool returns_one_walk(const price_series& close, int32_t n, const signal_list& signals,
                      const int32_t* holds, const int32_t* order, const return_matrices& out,
                      frame::interrupt_budget* budget) noexcept {
  if (out.m == 0) return true;  // no row has an element to write
  const int64_t last = n - 1;
  const lengths len{holds, order, out.m};
  bad_close_finder bad(close, last);
  group g;
  int filled = 0;
  for (int32_t i = 0; i < signals.count; ++i) {
    const int64_t sig = signals.index[i];
    const double open = close.at(sig);
    if (!valid_entry(open)) {
      mark_invalid(out, i);
      continue;
    }
    g.row[filled] = i;
    g.sig[filled] = sig;
    g.open[filled] = open;
    if (++filled == lanes) {
      if (!walk_group(close, last, g, len, &bad, out, budget)) return false;
      filled = 0;
    }
  }
  for (int l = 0; l < filled; ++l)
    if (!finish_walk(close, last, g.sig[l], g.open[l], 1.0, 1.0, 0, 0, len,
                     out.long_row(g.row[l]), out.short_row(g.row[l]), budget))
      return false;
  return true;
}

}  // namespace holdreturn
