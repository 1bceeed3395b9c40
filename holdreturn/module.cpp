// The holdreturn module: its two functions with their parameter tables and
// docstrings, and the bodies that run after binding.
#include "frame/binding.hpp"
#include "holdreturn/holdreturn.hpp"

namespace {

constexpr const char module_doc[] =
    "信号持仓收益计算引擎（加速版）\n"
    "\n"
    "根据交易信号，计算持有 N 根 K 线后的收益曲线。\n"
    "\n"
    "计算逻辑：\n"
    "    初始收益 profit = 1.0\n"
    "    做多：profit = pre_profit × (1 + (current_price - open_price) / open_price)\n"
    "    做空：profit = pre_profit × (1 + (open_price - current_price) / open_price)\n"
    "    其中 open_price 为信号所在 K 线的价格（持仓期间固定不变），\n"
    "    current_price 为当前 K 线的价格。\n"
    "\n"
    "输入：\n"
    "    signals: (n,) float64，交易信号（0 无信号，>0 做多，<0 做空）\n"
    "    close: (n,) float64，收盘价\n"
    "    bars: (m,) int 列表，持仓 K 线数，例如 [3, 5, 10]\n"
    "\n"
    "输出（dict）：\n"
    "    'long_profits': (n_signals, m) float64，做多收益\n"
    "    'short_profits': (n_signals, m) float64，做空收益\n"
    "    'signal_indices': int 列表，信号所在的 K 线位置\n"
    "    'signal_directions': int 列表，信号方向（1 做多，-1 做空）\n"
    "    'cum_profit': (n,) float64 数组的列表，每个持仓周期一条累计收益曲线"
    "（按信号方向合并）\n";

constexpr const char calc_holdreturn_doc[] =
    "根据交易信号计算持仓收益。\n"
    "\n"
    "Args:\n"
    "    signals: 信号数组（0 无信号，1 做多，-1 做空）\n"
    "    close: 收盘价数组\n"
    "    bars: 持仓 K 线数列表\n"
    "\n"
    "Returns:\n"
    "    dict: 收益数据\n";

constexpr const char calc_single_holdreturn_doc[] =
    "单信号收益计算（指标系列中的单信号情形）。\n"
    "\n"
    "Args:\n"
    "    signal: 单信号数组（0 或 1）\n"
    "    close: 收盘价数组\n"
    "    bar_hold: 持仓 K 线数\n"
    "\n"
    "Returns:\n"
    "    dict: 收益数据\n";

// Both bodies read their arrays through one-dimensional float64 views, taken
// in parameter order and held until the body returns.
bool take_views(const frame::args& a, frame::f64_view* signals, frame::f64_view* close) noexcept {
  return signals->acquire(a[0].obj, 1, "double") && close->acquire(a[1].obj, 1, "double");
}

PyObject* calc_holdreturn_body(const frame::args& a) noexcept {
  frame::f64_view signals;
  frame::f64_view close;
  if (!take_views(a, &signals, &close)) return nullptr;
  return holdreturn::calc_holdreturn(a[0].obj, signals, a[1].obj, close, a[2].obj);
}

// inner[key]; an exact dict reports a missing key as KeyError(key) itself.
PyObject* fetch(PyObject* inner, PyObject* key) noexcept {
  if (!PyDict_CheckExact(inner)) return PyObject_GetItem(inner, key);
  PyObject* value = PyDict_GetItemWithError(inner, key);
  if (value == nullptr && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
  return Py_XNewRef(value);
}

bool copy_key(PyObject* result, PyObject* inner, PyObject* key) noexcept {
  frame::ref value = frame::ref::steal(fetch(inner, key));
  return value && PyDict_SetItem(result, key, value.get()) == 0;
}

PyObject* one_hold_list(int32_t bar_hold) noexcept {
  frame::ref hold = frame::ref::steal(PyLong_FromLong(bar_hold));
  if (!hold) return nullptr;
  PyObject* list = PyList_New(1);
  if (list != nullptr) PyList_SET_ITEM(list, 0, hold.release());
  return list;
}

PyObject* calc_single_holdreturn_body(const frame::args& a) noexcept {
  const int32_t bar_hold = a[2].i32;
  frame::f64_view signal;
  frame::f64_view close;
  if (!take_views(a, &signal, &close)) return nullptr;

  // Looked up at each call, so a replacement bound to the module attribute
  // is what runs.
  namespace key = holdreturn::names;
  frame::ref callee = frame::ref::steal(frame::module_lookup(key::calc_holdreturn));
  frame::ref holds = frame::ref::steal(one_hold_list(bar_hold));
  if (!callee || !holds) return nullptr;
  PyObject* argv[3] = {a[0].obj, a[1].obj, holds.get()};
  frame::ref inner = frame::ref::steal(PyObject_Vectorcall(callee.get(), argv, 3, nullptr));
  if (!inner) return nullptr;

  frame::ref result = frame::ref::steal(PyDict_New());
  if (!result || !copy_key(result.get(), inner.get(), key::long_profits) ||
      !copy_key(result.get(), inner.get(), key::short_profits) ||
      !copy_key(result.get(), inner.get(), key::signal_indices) ||
      !copy_key(result.get(), inner.get(), key::signal_directions))
    return nullptr;

  // An empty curve list is replaced by a new one; a non-empty one is fetched
  // again and stored as it is.
  frame::ref curves = frame::ref::steal(fetch(inner.get(), key::cum_profit));
  if (!curves) return nullptr;
  const int truth = PyObject_IsTrue(curves.get());
  if (truth < 0) return nullptr;
  curves = frame::ref::steal(truth ? fetch(inner.get(), key::cum_profit) : PyList_New(0));
  if (!curves || PyDict_SetItem(result.get(), key::cum_profit, curves.get()) < 0) return nullptr;

  frame::ref bars = frame::ref::steal(one_hold_list(bar_hold));
  if (!bars || PyDict_SetItem(result.get(), key::bars, bars.get()) < 0) return nullptr;
  return result.release();
}

constexpr frame::param calc_holdreturn_params[] = {
    {"signals", frame::kind::array}, {"close", frame::kind::array}, {"bars", frame::kind::list}};
// bar_hold is a scalar kind, so the binding converts it before the array
// type tests.
constexpr frame::param calc_single_holdreturn_params[] = {
    {"signal", frame::kind::array}, {"close", frame::kind::array}, {"bar_hold", frame::kind::i32}};

const frame::function_def calc_holdreturn_def = {.name = "calc_holdreturn",
                                                .doc = calc_holdreturn_doc,
                                                .params = frame::table(calc_holdreturn_params),
                                                .body = calc_holdreturn_body};
const frame::function_def calc_single_holdreturn_def = {
    .name = "calc_single_holdreturn",
    .doc = calc_single_holdreturn_doc,
    .params = frame::table(calc_single_holdreturn_params),
    .body = calc_single_holdreturn_body};

const frame::function_def* const functions[] = {&calc_holdreturn_def, &calc_single_holdreturn_def};

const frame::module_spec spec = {"holdreturn", "quorra.accel.holdreturn", module_doc, functions, 2,
                                 holdreturn::names::init};

}  // namespace

PyMODINIT_FUNC PyInit_holdreturn(void) { return frame::init_module(spec); }
