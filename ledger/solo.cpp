// ledger.solo: from_signals' bar loop with checked inputs, the native
// rules and the recorder, run with the interpreter lock released.
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
#include "solosim/bar_loop.hpp"
#include "solosim/flat_args.hpp"
#include "solosim/history.hpp"
#include "solosim/parameters.hpp"

#include <climits>

namespace ledger {
namespace {

// The positions of this function's parameters: the engine's, then the
// keyword-only ones.
namespace solo_call {
enum solo_call_arg {
  SOLO_PARAMETERS(FRAME_POSITION) LEDGER_KEYWORD_PARAMETERS(FRAME_POSITION) a_count
};
}  // namespace solo_call
using namespace solo_call;

namespace d = frame::defaults;

// from_signals' parameters, arrays as any array-likes and numbers for the
// per-contract defaults (they serve any number of contracts), then
// the keyword-only ones.
constexpr auto params = frame::joined(
    solosim::solo_parameters(frame::kind::object,
                             {d::number(0.1), d::number(1.0), d::number(5.0), d::number(1.0)}),
    keyword_parameters);

constexpr const char* doc =
    "The backtest of solosim.from_signals, recorded: every column of the (n, m)\n"
    "arrays is a contract, all contracts share one cash account, and the rules\n"
    "and results are from_signals' own. The whole run holds no interpreter lock.\n"
    "\n"
    "Differences from from_signals, each a clear error instead of a surprise:\n"
    "close, entries, exits and prices are array-likes of real numbers of shape\n"
    "(n, m); signals must be -1, 0 or 1 and prices finite and > 0; size,\n"
    "margin_rate, price_tick, volume_multiple (finite, > 0) and commission\n"
    "(finite, >= 0) are one number or exactly m numbers; init_cash is finite and\n"
    "> 0. Sizing and commission are always the native rules: a replacement bound\n"
    "to solosim.calculate_size or calculate_commission does not affect ledger.\n"
    "\n"
    "Returns a dict: 'trades' (structured array, one record per position opened:\n"
    "contract, entry_bar, exit_bar, direction, lots, entry_price, exit_price,\n"
    "entry_fee, exit_fee, pnl, exit_reason; see EXIT_REASONS), 'refused' (int64\n"
    "per contract: entries refused for lack of cash), 'equity' (realised, per\n"
    "bar), 'value' (marked to market at close, per bar), 'total_fee', and with\n"
    "histories=True 'histories', the list from_signals returns (the rows of\n"
    "this run).\n"
    "\n" BARS_DOC;

// The shape of the run and the four arrays, checked for type and shape.
struct solo_arrays {
  input_array close, entries, exits, prices_given;
  const input_array* prices = nullptr;  // prices_given, or close
  bar_arrays bars;
  int32_t n = 0, m = 0;
};

bool take_arrays(const frame::args& a, solo_arrays* in) noexcept {
  if (!in->close.take(a[a_close].obj, "close")) return false;
  if (in->close.ndim() != 2) {
    PyErr_Format(PyExc_ValueError,
                 "close must be two-dimensional (bars x contracts), got %d dimension(s)",
                 in->close.ndim());
    return false;
  }
  const npy_intp shape[2] = {in->close.shape(0), in->close.shape(1)};
  if (shape[0] > INT32_MAX) return frame::raise_too_many("bars", shape[0]);
  if (shape[1] > INT32_MAX) return frame::raise_too_many("contracts", shape[1]);
  in->n = static_cast<int32_t>(shape[0]);
  in->m = static_cast<int32_t>(shape[1]);
  if (!in->close.open()) return false;
  auto same_shape = [&](input_array& x, PyObject* arg, const char* name) {
    if (!x.take(arg, name)) return false;
    if (!(x.ndim() == 2 && x.shape(0) == shape[0] && x.shape(1) == shape[1]))
      return raise_shape(name, x, shape, 2);
    return x.open();
  };
  if (!same_shape(in->entries, a[a_entries].obj, "entries") ||
      !same_shape(in->exits, a[a_exits].obj, "exits"))
    return false;
  in->prices = &in->close;
  if (a[a_prices].obj != Py_None) {
    if (!same_shape(in->prices_given, a[a_prices].obj, "prices")) return false;
    in->prices = &in->prices_given;
  }
  return true;
}

bool take_lists(const frame::args& a, int32_t m, solosim::contract_lists* lists,
                frame::storage<double>* multiple) noexcept {
  struct setting {
    int index;
    const char* name;
    bound b;
    solosim::setting_list* list;
  };
  const setting settings[] = {
      {a_size, "size", bound::positive, &lists->size},
      {a_margin_rate, "margin_rate", bound::positive, &lists->margin_rate},
      {a_price_tick, "price_tick", bound::positive, &lists->price_tick},
      {a_volume_multiple, "volume_multiple", bound::positive, &lists->volume_multiple},
      {a_commission, "commission", bound::non_negative, &lists->commission},
  };
  for (const setting& s : settings) {
    frame::storage<double> values;
    if (!per_slot(a[s.index].obj, s.name, m, "contracts", s.b, &values)) return false;
    if (s.index == a_volume_multiple) {
      if (!multiple->allocate(m)) return false;
      for (int32_t j = 0; j < m; ++j) (*multiple)[j] = values[j];
    }
    s.list->assign(std::move(values));
  }
  return true;
}

struct no_rows {
  void prefetch(int32_t, int32_t) const noexcept {}
  template <class In>
  bool write(int32_t, int32_t, double, const typename In::signal&, double, double, double,
             double) const noexcept {
    return true;
  }
};

// The checks of the arrays' values and the loop, block by block with the
// lock released. False with the exception set.
template <element Price, element Signal, class Trigger, class Rows>
bool run_with(const solo_arrays& in, const solosim::run_settings& s,
              const solosim::contract_lists& lists, const Rows& rows, recorder* rec,
              double* total_fee) noexcept {
  frame::lock_released lock;
  native_rules rules(lock);
  using reads_t = solo_reads<Price, Signal>;
  const reads_t reads{{}, in.entries.view(), in.exits.view(), in.prices->view()};
  Trigger trigger{};
  if constexpr (Trigger::intrabar) trigger = Trigger{in.bars.trigger(in.close)};
  solosim::bar_loop<reads_t, Rows, native_rules, recorder, Trigger> loop(s, lists, reads, rows,
                                                                          rules, *rec, trigger);
  if (!loop.allocate(in.m)) return false;
  checked_array arrays[4 + bar_arrays::n_checks] = {
      {&in.close, "close", value_rule::price},
      {&in.entries, "entries", value_rule::signal},
      {&in.exits, "exits", value_rule::signal},
      {in.prices == &in.prices_given ? in.prices : nullptr, "prices", value_rule::price},
  };
  in.bars.add_checks(in.close, arrays + 4);
  const bar_inputs bar_pass = in.bars.pass(in.close);
  const value_checks checks(arrays, 4 + bar_arrays::n_checks,
                           in.bars.given ? &bar_pass : nullptr);
  lock.release();
  loop.start(in.n, in.m);
  const bool ok = run_checked(loop, checks, in.n, in.m, lock);
  *total_fee = loop.total_fee();
  return ok;
}

template <class Rows>
bool run(const solo_arrays& in, const solosim::run_settings& s,
         const solosim::contract_lists& lists, const Rows& rows, recorder* rec,
         double* total_fee) noexcept {
  return with_element_types(
      in.prices->view().kind(), in.entries.view().kind(), in.exits.view().kind(),
      [&]<element Price, element Signal>() {
        if (in.bars.given && s.fill_at_open)
          return run_with<Price, Signal, open_fill_trigger>(in, s, lists, rows, rec, total_fee);
        if (in.bars.given)
          return run_with<Price, Signal, bar_trigger>(in, s, lists, rows, rec, total_fee);
        return run_with<Price, Signal, rules::close_only>(in, s, lists, rows, rec, total_fee);
      });
}

PyObject* solo_body(const frame::args& a) noexcept {
  solo_arrays in;
  if (!take_arrays(a, &in)) return nullptr;
  if (!take_bars(a[a_open].obj, a[a_high].obj, a[a_low].obj,
                 in.close, &in.bars))
    return nullptr;
  solosim::contract_lists lists;
  frame::storage<double> multiple;
  if (!take_lists(a, in.m, &lists, &multiple)) return nullptr;
  if (!check_single_settings(a)) return nullptr;
  solosim::run_settings s = solosim::scalar_settings(a);
  solosim::callback_blocks blocks;
  if (!check_callback_objects(a) || !blocks.prepare(a, &s)) return nullptr;
  if (!read_choices(a[a_both_hit].obj, a[a_opposite_entry].obj,
                    &s.take_profit_first, &s.reverse) ||
      !read_fill_at(a[a_fill_at].obj, in.bars, a[a_prices].obj != Py_None,
                    &s.fill_at_open))
    return nullptr;
  if (s.fill_at_open) in.prices = &in.bars.open;  // the market orders' price

  return recorded_run(
      a[a_histories].obj, in.m, in.n, in.close.view(), multiple.get(), false,
      [&](const history_arrays& histories, recorder* rec, double* total_fee) {
        return run(in, s, lists, solosim::typed_rows{histories.targets(), in.n}, rec, total_fee);
      },
      [&](recorder* rec, double* total_fee) {
        return run(in, s, lists, no_rows{}, rec, total_fee);
      });
}

}  // namespace

const frame::function_def solo_def = {.name = "solo",
                                      .doc = doc,
                                      .params = frame::table(params),
                                      .body = solo_body,
                                      .signature_in_doc = true};

}  // namespace ledger
