// ledger.pair: pair_from_signals' loop with checked inputs, the native rules
// and the recorder, run with the interpreter lock released.
#include "ledger/entry_points.hpp"

#include "frame/binding.hpp"
#include "ledger/arrays.hpp"
#include "ledger/bars.hpp"
#include "ledger/checks.hpp"
#include "ledger/histories.hpp"
#include "ledger/native_rules.hpp"
#include "ledger/reads.hpp"
#include "ledger/recorded_run.hpp"
#include "ledger/result.hpp"
#include "ledger/settings.hpp"
#include "spreadsim/pair_loop.hpp"
#include "spreadsim/pair_rows.hpp"
#include "spreadsim/parameters.hpp"

#include <climits>

namespace ledger {
namespace {

// The positions of this function's parameters: the engine's, then the
// keyword-only ones.
namespace pair_call {
enum pair_call_arg {
  PAIR_PARAMETERS(FRAME_POSITION) LEDGER_KEYWORD_PARAMETERS(FRAME_POSITION) a_count
};
}  // namespace pair_call
using namespace pair_call;

namespace d = frame::defaults;

// pair_from_signals' parameters, arrays as any array-likes and numbers for
// the per-leg defaults, then the keyword-only ones.
constexpr auto params = frame::joined(
    spreadsim::pair_parameters(frame::kind::object,
                               {d::number(0.1), d::number(1.0), d::number(5.0), d::number(1.0)}),
    keyword_parameters);

constexpr const char* doc =
    "The pair backtest of spreadsim.pair_from_signals, recorded: close and prices\n"
    "are (n, 2) (leg A, leg B), entries and exits (n,); both legs enter together\n"
    "after one cash check, each leg exits by its own rules and the other leg is\n"
    "closed on the same bar. The whole run holds no interpreter lock.\n"
    "\n"
    "Differences from pair_from_signals, each a clear error instead of a\n"
    "surprise: the arrays are array-likes of real numbers of those shapes;\n"
    "signals must be -1, 0 or 1 and prices finite and > 0; size, margin_rate,\n"
    "price_tick, volume_multiple (finite, > 0) and commission (finite, >= 0) are\n"
    "one number for both legs or two numbers (size may differ per leg);\n"
    "leg_size_ratio is a number (leg A's ratio) or two numbers, finite and > 0;\n"
    "init_cash is finite and > 0. Sizing and commission are always the native\n"
    "rules: a replacement bound to spreadsim.calculate_size does not affect\n"
    "ledger.\n"
    "\n"
    "Returns a dict: 'trades' (structured array, two records per spread opened,\n"
    "leg 0 = A then leg 1 = B: leg, entry_bar, exit_bar, direction, lots,\n"
    "entry_price, exit_price, entry_fee, exit_fee, pnl, exit_reason; see\n"
    "EXIT_REASONS), 'refused' (int64 per leg), 'equity', 'value' (per bar),\n"
    "'total_fee', and with histories=True 'histories', the list\n"
    "pair_from_signals returns (the rows of this run).\n"
    "\n" BARS_DOC
    "A pair reverses on the spread's sign: both legs close, then the other\n"
    "spread enters with the joint cash check; a stop or the holding limit of\n"
    "either leg on the bar rules the reversal out.\n";

struct pair_arrays {
  input_array close, entries, exits, prices_given;
  const input_array* prices = nullptr;  // prices_given, or close
  bar_arrays bars;
  int32_t n = 0;
};

bool take_arrays(const frame::args& a, pair_arrays* in) noexcept {
  if (!in->close.take(a[a_close].obj, "close")) return false;
  if (in->close.ndim() == 0) return raise_pair_dimensions(in->close);
  if (in->close.ndim() != 2 || in->close.shape(1) != 2) {
    const npy_intp want[2] = {in->close.shape(0), 2};
    return raise_shape("close", in->close, want, 2);
  }
  const npy_intp rows[2] = {in->close.shape(0), 2};
  if (rows[0] > INT32_MAX) return frame::raise_too_many("bars", rows[0]);
  in->n = static_cast<int32_t>(rows[0]);
  if (!in->close.open()) return false;
  auto signals = [&](input_array& x, PyObject* arg, const char* name) {
    if (!x.take(arg, name)) return false;
    if (!(x.ndim() == 1 && x.shape(0) == rows[0])) return raise_shape(name, x, rows, 1);
    return x.open();
  };
  if (!signals(in->entries, a[a_entries].obj, "entries") ||
      !signals(in->exits, a[a_exits].obj, "exits"))
    return false;
  in->prices = &in->close;
  if (a[a_prices].obj != Py_None) {
    if (!in->prices_given.take(a[a_prices].obj, "prices")) return false;
    const input_array& p = in->prices_given;
    if (p.ndim() != 2 || p.shape(0) != rows[0] || p.shape(1) != 2)
      return raise_shape("prices", p, rows, 2);
    if (!in->prices_given.open()) return false;
    in->prices = &in->prices_given;
  }
  return true;
}

bool take_settings(const frame::args& a, spreadsim::pair_settings* s,
                   frame::storage<double>* sizes) noexcept {
  struct setting {
    int index;
    const char* name;
    bound b;
    spreadsim::leg_values* legs;
  };
  const setting settings[] = {
      {a_size, "size", bound::positive, nullptr},
      {a_margin_rate, "margin_rate", bound::positive, &s->margin_rate},
      {a_price_tick, "price_tick", bound::positive, &s->price_tick},
      {a_volume_multiple, "volume_multiple", bound::positive, &s->volume_multiple},
      {a_commission, "commission", bound::non_negative, &s->commission},
  };
  for (const setting& x : settings) {
    frame::storage<double> values;
    if (!per_slot(a[x.index].obj, x.name, 2, "legs", x.b, &values)) return false;
    if (x.legs == nullptr) {
      *sizes = std::move(values);
      continue;
    }
    x.legs->len = 2;
    x.legs->v[0] = values[0];
    x.legs->v[1] = values[1];
  }
  if (!leg_ratio(a[a_leg_size_ratio].obj, s->ratio)) return false;
  if (!check_single_settings(a)) return false;
  s->size = nullptr;  // the legs' sizes come from `sizes`
  spreadsim::scalar_settings(a, s);
  return true;
}

// The checks of the arrays' values and the loop, block by block with the
// lock released. False with the exception set.
template <element Price, element Signal, class Trigger, class Rows>
bool run_with(const pair_arrays& arrays, const spreadsim::pair_settings& s, const double* sizes,
              const Rows& rows, recorder* rec, double* total_fee) noexcept {
  spreadsim::pair_inputs in;
  in.entries.open(arrays.entries.object(), 1);
  in.exits.open(arrays.exits.object(), 1);
  in.prices.open(arrays.prices->object(), 2);
  frame::lock_released lock;
  native_rules rules(lock, sizes);
  Trigger trigger{};
  if constexpr (Trigger::intrabar) trigger = Trigger{arrays.bars.trigger(arrays.close)};
  spreadsim::pair_loop<pair_reads<Price, Signal>, Rows, native_rules, recorder, Trigger> loop(
      s, in, rows, rules, *rec, trigger);
  checked_array checked[4 + bar_arrays::n_checks] = {
      {&arrays.close, "close", value_rule::price},
      {&arrays.entries, "entries", value_rule::signal},
      {&arrays.exits, "exits", value_rule::signal},
      {arrays.prices == &arrays.prices_given ? arrays.prices : nullptr, "prices",
       value_rule::price},
  };
  arrays.bars.add_checks(arrays.close, checked + 4);
  const bar_inputs bar_pass = arrays.bars.pass(arrays.close);
  const value_checks checks(checked, 4 + bar_arrays::n_checks,
                           arrays.bars.given ? &bar_pass : nullptr);
  lock.release();
  const bool ok = run_checked(loop, checks, arrays.n, 2, lock);
  *total_fee = loop.total_fee();
  return ok;
}

template <class Rows>
bool run(const pair_arrays& arrays, const spreadsim::pair_settings& s, const double* sizes,
         const Rows& rows, recorder* rec, double* total_fee) noexcept {
  return with_element_types(
      arrays.prices->view().kind(), arrays.entries.view().kind(), arrays.exits.view().kind(),
      [&]<element Price, element Signal>() {
        if (arrays.bars.given && s.fill_at_open)
          return run_with<Price, Signal, open_fill_trigger>(arrays, s, sizes, rows, rec,
                                                            total_fee);
        if (arrays.bars.given)
          return run_with<Price, Signal, bar_trigger>(arrays, s, sizes, rows, rec, total_fee);
        return run_with<Price, Signal, rules::close_only>(arrays, s, sizes, rows, rec,
                                                          total_fee);
      });
}

PyObject* pair_body(const frame::args& a) noexcept {
  pair_arrays in;
  if (!take_arrays(a, &in)) return nullptr;
  if (!take_bars(a[a_open].obj, a[a_high].obj, a[a_low].obj,
                 in.close, &in.bars))
    return nullptr;
  spreadsim::pair_settings s;
  frame::storage<double> sizes;
  if (!take_settings(a, &s, &sizes)) return nullptr;
  if (!read_choices(a[a_both_hit].obj, a[a_opposite_entry].obj,
                    &s.take_profit_first, &s.reverse) ||
      !read_fill_at(a[a_fill_at].obj, in.bars, a[a_prices].obj != Py_None,
                    &s.fill_at_open))
    return nullptr;
  if (s.fill_at_open) in.prices = &in.bars.open;  // the market orders' price

  return recorded_run(
      a[a_histories].obj, 2, in.n, in.close.view(), s.volume_multiple.v, true,
      [&](const history_arrays& histories, recorder* rec, double* total_fee) {
        return run(in, s, sizes.get(), spreadsim::view_rows{histories.views()}, rec, total_fee);
      },
      [&](recorder* rec, double* total_fee) {
        return run(in, s, sizes.get(), spreadsim::no_rows{}, rec, total_fee);
      });
}

}  // namespace

const frame::function_def pair_def = {.name = "pair",
                                      .doc = doc,
                                      .params = frame::table(params),
                                      .body = pair_body,
                                      .signature_in_doc = true};

}  // namespace ledger
