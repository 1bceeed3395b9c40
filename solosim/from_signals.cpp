#include "solosim/from_signals.hpp"

#include "frame/binding.hpp"
#include "solosim/bar_loop.hpp"
#include "solosim/flat_args.hpp"
#include "solosim/history.hpp"
#include "solosim/module_rules.hpp"
#include "solosim/parameters.hpp"
#include "solosim/readers.hpp"
#include "solosim/run_settings.hpp"

#include <climits>
#include <cstdint>

namespace solosim {

namespace {

using namespace solo_args;
namespace d = frame::defaults;

// The four list defaults are single objects made at import and shared by
// every call that omits them.
constexpr auto from_signals_params =
    solo_parameters(frame::kind::array, {d::number_list(0.1), d::number_list(1.0),
                                         d::number_list(5.0), d::integer_list(1)});

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

  run_settings s = scalar_settings(a);
  callback_blocks blocks;
  if (!blocks.prepare(a, &s)) return nullptr;

  history result;
  if (!result.create(n, m)) return nullptr;

  frame::numeric_input entries, exits, price_input;
  entries.open(a[a_entries].obj);
  exits.open(a[a_exits].obj);
  price_input.open(prices);

  bool ok;
  if (typed_2d(entries) && typed_2d(exits) && typed_2d(price_input) && result.all_typed()) {
    const typed_inputs in{{}, entries, exits, price_input};
    ok = run_loop(s, lists, in, typed_rows{result.targets(), n}, n, m);
  } else {
    const general_inputs in{entries, exits, price_input};
    ok = run_loop(s, lists, in, general_rows{result.targets(), result.list()}, n, m);
  }
  if (!ok) return nullptr;
  return result.release();
}

}  // namespace

const frame::function_def from_signals_def = {.name = "from_signals",
                                             .doc = nullptr,
                                             .params = frame::table(from_signals_params),
                                             .body = from_signals_body};

}  // namespace solosim
