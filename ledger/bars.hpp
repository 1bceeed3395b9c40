// The ledger's bars and their two choices: open, high and low given
// together (shaped like close), what fills when a bar reaches both stops,
// and what an entry against an open position does.
#pragma once

#include "frame/function.hpp"
#include "ledger/arrays.hpp"
#include "ledger/checks.hpp"
#include "ledger/reads.hpp"

#include <array>

namespace ledger {

// The keyword-only parameters both ledger functions take after the
// engine's own, in this order: X(name, kind, default).
#define LEDGER_KEYWORD_PARAMETERS(X)                    \
  X(histories, kind::object, d::boolean(false))         \
  X(open, kind::object, d::none())                      \
  X(high, kind::object, d::none())                      \
  X(low, kind::object, d::none())                       \
  X(both_hit, kind::object, d::text("stop_loss"))       \
  X(opposite_entry, kind::object, d::text("ignore"))  \
  X(fill_at, kind::object, d::text("prices"))

inline constexpr auto keyword_parameters = [] {
  namespace d = frame::defaults;
  using frame::kind;
  return frame::keyword_only(std::array{LEDGER_KEYWORD_PARAMETERS(FRAME_PARAM)});
}();

// The docstrings' part on the keywords after `histories`.
#define BARS_DOC                                                                      \
  "open, high, low: the bars, shaped like close, given all three or none; each\n"      \
  "finite and > 0, low <= min(open, close) and high >= max(open, close). With\n"      \
  "them, on every bar after a position's entry bar the stop levels in force\n"        \
  "are checked against the bar first: a level the open is beyond fills at the\n"     \
  "open (a gap), a level the range reaches fills at the level; then the\n"           \
  "holding limit and the exit signal at the bar's price; then, the position\n"       \
  "still open, a trailing stop follows the bar's high (long) or low (short) and\n"   \
  "callbacks see the bar's close. Without them the stops trigger on the bar's\n"     \
  "price and fill at their level, as in the engine.\n"                               \
  "both_hit: 'stop_loss' or 'take_profit', which fills when a bar's range\n"         \
  "reaches both levels and its open is beyond neither.\n"                            \
  "opposite_entry: 'ignore' or 'reverse'. With 'reverse', an entry signal\n"         \
  "against a position still open after its stops and holding limit, or just\n"      \
  "closed by its exit signal, closes it at the bar's price (exit reason\n"          \
  "'reverse') and enters the other direction on the same bar by the normal\n"       \
  "entry procedure.\n"                                                                \
  "fill_at: 'prices' or 'open'. With 'open' (the bars given, prices None) every\n"    \
  "market order (entry, exit signal, holding limit, reversal) fills at the bar's\n"   \
  "open and the bar's range comes after it: a stop the open is beyond fills at\n"     \
  "the open first, then the market orders, then the levels of the position\n"         \
  "still open (one entered at this open included) are checked against the\n"          \
  "range and maintained from its high or low. In a pair the other leg of a leg\n"     \
  "filled at the open closes at the open, of one stopped inside the range at\n"       \
  "the bar's close.\n"

struct bar_arrays {
  input_array open, high, low;
  bool given = false;

  // Their value checks, after the other arrays' (`close` the bars' close).
  // (For the search of the first offence; passing blocks are found by the
  // one pass over the bars, `pass`.)
  void add_checks(const input_array& close, checked_array* out) const noexcept {
    out[0] = {given ? &open : nullptr, "open", value_rule::price, nullptr, nullptr, true};
    out[1] = {given ? &high : nullptr, "high", value_rule::high, &open, &close, true};
    out[2] = {given ? &low : nullptr, "low", value_rule::low, &open, &close, true};
  }
  static constexpr int n_checks = 3;
  bar_inputs pass(const input_array& close) const noexcept { return {&open, &high, &low, &close}; }

  bar_trigger trigger(const input_array& close) const noexcept {
    const auto f64 = frame::element::float64;
    return {&open.view(), &high.view(), &low.view(), &close.view(),
            open.view().kind() == f64 && high.view().kind() == f64 &&
                low.view().kind() == f64 && close.view().kind() == f64};
  }
};

// None for all three, or all three arrays shaped like `close`. ValueError
// for one or two of them, or a shape unlike close's; TypeError as for the
// other arrays. False with the exception set.
bool take_bars(PyObject* open, PyObject* high, PyObject* low, const input_array& close,
               bar_arrays* out) noexcept;

// both_hit: "stop_loss" or "take_profit"; opposite_entry: "ignore" or
// "reverse". ValueError listing the two for anything else.
bool read_choices(PyObject* both_hit, PyObject* opposite_entry, bool* take_profit_first,
                  bool* reverse) noexcept;

// fill_at: "prices" or "open" (ValueError listing the two otherwise);
// "open" needs the bars and no prices (ValueError saying which).
bool read_fill_at(PyObject* fill_at, const bar_arrays& bars, bool prices_given,
                  bool* at_open) noexcept;

}  // namespace ledger
