#include "spreadsim/pair_from_signals.hpp"

#include "rules/numpy_calls.hpp"
#include "spreadsim/pair_engine.hpp"
#include "spreadsim/parameters.hpp"
#include "spreadsim/pair_settings.hpp"

#include <cstdint>

namespace spreadsim {

namespace {

using namespace pair_args;
namespace d = frame::defaults;

// The four list defaults are single objects made at import and shared by
// every call that omits them.
constexpr auto params =
    pair_parameters(frame::kind::array, {d::number_list(0.1, 0.1), d::number_list(1.0, 1.0),
                                         d::number_list(5.0, 5.0), d::number_list(1.0, 1.0)});

constexpr const char* doc =
    "配对交易回测引擎（加速版）。\n"
    "\n"
    "核心逻辑：\n"
    "1. 入场信号检查（联合资金校验，两腿原子性同时入场）\n"
    "2. 每条腿独立检查止损、止盈、超时与离场信号\n"
    "3. 任一腿离场时，另一腿强制平仓（级联平仓）\n"
    "\n"
    "Args:\n"
    "    close: (n, 2) 两列收盘价\n"
    "    entries: (n,) >0 做多价差，<0 做空价差\n"
    "    exits: (n,) >0 平空价差，<0 平多价差\n"
    "    size: 价差交易规模\n"
    "    size_type: 规模类型\n"
    "    margin_rate: [leg_a, leg_b] 保证金比例\n"
    "    price_tick: [leg_a, leg_b] 最小变动价位\n"
    "    volume_multiple: [leg_a, leg_b] 合约乘数\n"
    "    prices: (n, 2) 成交价格\n"
    "    leg_size_ratio: A:B 手数比例\n";

FRAME_COLD bool raise_no_first_dimension() noexcept {
  PyErr_SetString(PyExc_IndexError, "tuple index out of range");
  return false;
}

FRAME_COLD bool raise_rows_out_of_bounds(int axis) noexcept {
  PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
  return false;
}

// The bar count: the first dimension of `close`, which must fit 32 bits.
bool bar_count(PyObject* close, int32_t* n) noexcept {
  if (close == Py_None) return frame::raise_none_arg("close");
  PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(close);
  if (PyArray_NDIM(arr) < 1) return raise_no_first_dimension();
  const npy_intp rows = PyArray_DIM(arr, 0);
  if (rows > INT32_MAX) return frame::raise_too_many("bars", rows);
  *n = static_cast<int32_t>(rows);
  return true;
}

// np.zeros((n, 6), dtype=np.float64), through the module's `np` binding.
PyObject* new_rows(int32_t n) noexcept {
  const frame::ref shape = frame::ref::steal(Py_BuildValue("(ii)", static_cast<int>(n), 6));
  if (!shape) return nullptr;
  return rules::np_zeros(shape.get());
}

// A result array and its writable (n, 6) float64 view.
bool make_rows(int32_t n, frame::ref* rows, frame::f64_view* view) noexcept {
  *rows = frame::ref::steal(new_rows(n));
  if (!*rows || !view->acquire(rows->get(), 2, "double_t", true)) return false;
  // np.zeros may have been replaced; never write outside what came back.
  if (n > 0 && (view->empty() || view->shape(0) < n)) return raise_rows_out_of_bounds(0);
  if (n > 0 && view->shape(1) < 6) return raise_rows_out_of_bounds(1);
  return true;
}

bool read_settings(const frame::args& a, pair_settings* s) noexcept {
  s->size = a[a_size].obj;
  scalar_settings(a, s);
  return normalise_leg_setting(a[a_margin_rate].obj, &s->margin_rate) &&
         normalise_leg_setting(a[a_price_tick].obj, &s->price_tick) &&
         normalise_leg_setting(a[a_volume_multiple].obj, &s->volume_multiple) &&
         normalise_leg_setting(a[a_commission].obj, &s->commission);
}

PyObject* pair_from_signals_body(const frame::args& a) noexcept {
  int32_t n = 0;
  if (!bar_count(a[a_close].obj, &n)) return nullptr;

  pair_settings s;
  if (!read_settings(a, &s)) return nullptr;
  PyObject* prices = a[a_prices].obj == Py_None ? a[a_close].obj : a[a_prices].obj;
  if (!read_leg_size_ratio(a[a_leg_size_ratio].obj, s.ratio)) return nullptr;

  frame::ref result[2];
  frame::f64_view rows[2];
  for (int j = 0; j < 2; ++j)
    if (!make_rows(n, &result[j], &rows[j])) return nullptr;

  pair_inputs in;
  in.entries.open(a[a_entries].obj, 1);
  in.exits.open(a[a_exits].obj, 1);
  in.prices.open(prices, 2);
  if (!run_pair(s, in, rows, n)) return nullptr;

  PyObject* list = PyList_New(2);
  if (!list) return nullptr;
  PyList_SET_ITEM(list, 0, result[0].release());
  PyList_SET_ITEM(list, 1, result[1].release());
  return list;
}

}  // namespace

const frame::function_def pair_from_signals_def = {.name = "pair_from_signals",
                                                  .doc = doc,
                                                  .params = frame::table(params),
                                                  .body = pair_from_signals_body};

}  // namespace spreadsim
