#include "solosim/from_signals.hpp"

#include "frame/binding.hpp"
#include "frame/code_address.hpp"
#include "solosim/bar_loop.hpp"
#include "solosim/flat_args.hpp"
#include "solosim/history.hpp"
#include "solosim/module_rules.hpp"
#include "solosim/readers.hpp"
#include "solosim/run_settings.hpp"

#include <climits>
#include <cstdint>

namespace solosim {

namespace {

enum arg_index {
  a_close, a_entries, a_exits, a_size, a_size_type, a_margin_rate, a_price_tick,
  a_volume_multiple, a_prices, a_min_start_length, a_init_cash, a_commission, a_com_type,
  a_slip_point, a_sl_stop, a_tp_stop, a_stop_mode, a_sl_trail, a_sl_callback_addr,
  a_tp_callback_addr, a_sl_callback_args, a_tp_callback_args, a_max_hold_bars, a_count
};

namespace d = frame::defaults;

// The four list defaults are single objects made at import and shared by
// every call that omits them.
constexpr frame::param from_signals_params[] = {
    {"close", frame::kind::array},
    {"entries", frame::kind::array},
    {"exits", frame::kind::array},
    {"size", frame::kind::object, d::number(1.0)},
    {"size_type", frame::kind::i32, d::integer(0)},
    {"margin_rate", frame::kind::object, d::number_list(0.1)},
    {"price_tick", frame::kind::object, d::number_list(1.0)},
    {"volume_multiple", frame::kind::object, d::number_list(5.0)},
    {"prices", frame::kind::array, d::none()},
    {"min_start_length", frame::kind::i32, d::integer(1)},
    {"init_cash", frame::kind::f32, d::number(1000000.0)},
    {"commission", frame::kind::object, d::integer_list(1)},
    {"com_type", frame::kind::i32, d::integer(1)},
    {"slip_point", frame::kind::f32, d::number(0.0)},
    {"sl_stop", frame::kind::f32, d::number(0.0)},
    {"tp_stop", frame::kind::f32, d::number(0.0)},
    {"stop_mode", frame::kind::i32, d::integer(0)},
    {"sl_trail", frame::kind::i32, d::integer(0)},
    {"sl_callback_addr", frame::kind::i64, d::integer(0)},
    {"tp_callback_addr", frame::kind::i64, d::integer(0)},
    {"sl_callback_args", frame::kind::tuple, d::empty_tuple()},
    {"tp_callback_args", frame::kind::tuple, d::empty_tuple()},
    {"max_hold_bars", frame::kind::i32, d::integer(0)},
};
static_assert(sizeof from_signals_params / sizeof from_signals_params[0] == a_count);

// The shape of the run from `close`: a 2-D ndarray whose extents fit the
// 32-bit counters. Checked before any other work.
bool run_shape(PyObject* close, int32_t* n, int32_t* m) noexcept {
  if (close == Py_None) return frame::raise_none_arg("close");
  auto* arr = reinterpret_cast<PyArrayObject*>(close);  // the binding checked the type
  if (PyArray_NDIM(arr) != 2) {
    PyErr_Format(PyExc_ValueError,
                 "from_signals() argument 'close' must be two-dimensional, got %d dimension(s)",
                 PyArray_NDIM(arr));
    return false;
  }
  if (PyArray_DIM(arr, 0) > INT32_MAX) return frame::raise_too_many("bars", PyArray_DIM(arr, 0));
  if (PyArray_DIM(arr, 1) > INT32_MAX)
    return frame::raise_too_many("contracts", PyArray_DIM(arr, 1));
  *n = static_cast<int32_t>(PyArray_DIM(arr, 0));
  *m = static_cast<int32_t>(PyArray_DIM(arr, 1));
  return true;
}

template <class In, class Rows>
bool run_loop(const run_settings& s, const contract_lists& lists, const In& in, const Rows& rows,
              int32_t n, int32_t m) noexcept {
  module_rules lookups;
  rules::no_events events;
  bar_loop<In, Rows, module_rules> loop(s, lists, in, rows, lookups, events);
  return loop.allocate(m) && loop.run(n, m);
}

PyObject* from_signals_body(const frame::args& a) noexcept {
  int32_t n = 0, m = 0;
  if (!run_shape(a[a_close].obj, &n, &m)) return nullptr;
  PyObject* prices = a[a_prices].obj == Py_None ? a[a_close].obj : a[a_prices].obj;

  contract_lists lists;
  if (!lists.size.build(a[a_size].obj, m) || !lists.margin_rate.build(a[a_margin_rate].obj, m) ||
      !lists.price_tick.build(a[a_price_tick].obj, m) ||
      !lists.volume_multiple.build(a[a_volume_multiple].obj, m) ||
      !lists.commission.build(a[a_commission].obj, m))
    return nullptr;

  run_settings s;
  s.size_type = a[a_size_type].i32;
  s.com_type = a[a_com_type].i32;
  s.stop_mode = a[a_stop_mode].i32;
  s.sl_trail = a[a_sl_trail].i32;
  s.max_hold_bars = a[a_max_hold_bars].i32;
  s.warmup_end = int64_t{a[a_min_start_length].i32} - 1;
  s.init_cash = a[a_init_cash].f32;
  s.slip_point = a[a_slip_point].f32;
  s.sl_stop = a[a_sl_stop].f32;
  s.tp_stop = a[a_tp_stop].f32;
  // The addresses are the caller's promise of a stop_callback_t; one that is
  // not even executable memory is refused before anything runs.
  if (!frame::check_callback_address("sl_callback_addr", a[a_sl_callback_addr].i64) ||
      !frame::check_callback_address("tp_callback_addr", a[a_tp_callback_addr].i64))
    return nullptr;
  s.sl_cb = reinterpret_cast<rules::stop_callback_t>(
      static_cast<intptr_t>(a[a_sl_callback_addr].i64));
  s.tp_cb = reinterpret_cast<rules::stop_callback_t>(
      static_cast<intptr_t>(a[a_tp_callback_addr].i64));
  s.sl_active = s.sl_stop > 0 || s.sl_cb != nullptr;
  s.tp_active = s.tp_stop > 0 || s.tp_cb != nullptr;

  flat_block sl_block, tp_block;
  if (!sl_block.build(a[a_sl_callback_args].obj) || !tp_block.build(a[a_tp_callback_args].obj))
    return nullptr;
  s.sl_args = sl_block.data();
  s.sl_args_len = sl_block.size();
  s.tp_args = tp_block.data();
  s.tp_args_len = tp_block.size();

  history result;
  if (!result.create(n, m)) return nullptr;

  frame::numeric_input entries, exits, price_input;
  entries.open(a[a_entries].obj);
  exits.open(a[a_exits].obj);
  price_input.open(prices);

  bool ok;
  if (typed_2d(entries) && typed_2d(exits) && typed_2d(price_input) && result.all_typed()) {
    const typed_inputs in{entries, exits, price_input};
    ok = run_loop(s, lists, in, typed_rows{result.targets(), n}, n, m);
  } else {
    const general_inputs in{entries, exits, price_input};
    ok = run_loop(s, lists, in, general_rows{result.targets(), result.list()}, n, m);
  }
  if (!ok) return nullptr;
  return result.release();
}

}  // namespace

const frame::function_def from_signals_def = {
    "from_signals", nullptr, from_signals_params, a_count, 3, from_signals_body};

}  // namespace solosim
