"""Native stop callbacks (ctypes callbacks and a C callback compiled at test
time) and the flat callback argument blocks. The hand-computed callback
scenarios run against the engine and against the slow model."""

import ctypes
import math
import shutil
import subprocess
import sysconfig

import numpy as np
import pytest

from quorra.accel import solosim

import solosim_model as model
from support import assert_same_arrays, native_callback

POS, PNL = 1, 3


class Native:
    """A ctypes callback around a Python function taking the model's
    arguments (the block as a list); records every call."""

    def __init__(self, fn):
        self.fn = fn
        self.calls = []
        self.null_pointers = []

        def trampoline(bar, direction, entry, price, ref, dist, tick, mult, size, args, n_args):
            block = [args[k] for k in range(n_args)]
            self.null_pointers.append(not args)
            call = (bar, direction, entry, price, ref, dist, tick, mult, size, block, n_args)
            self.calls.append(call)
            return fn(*call)

        self.cfunc, self.address = native_callback(trampoline)


class Modelled:
    """The same function for the model, with its own call log."""

    def __init__(self, fn):
        self.fn = fn
        self.calls = []

    def __call__(self, *call):
        self.calls.append(call)
        return self.fn(*call)


def column(values):
    return np.array(values, dtype=np.float64).reshape(-1, 1)


class Engine:
    """from_signals with ctypes callbacks (Native)."""

    native = True
    callback = Native

    def from_signals(self, close, entries, exits, sl=None, tp=None, **kwargs):
        return solosim.from_signals(close, entries, exits,
                                    sl_callback_addr=sl.address if sl else 0,
                                    tp_callback_addr=tp.address if tp else 0, **kwargs)

    def run(self, prices, entries, exits=None, sl=None, tp=None, **kwargs):
        """One contract; exits default to none. Returns its (n, 6) history."""
        n = len(prices)
        exits = np.zeros(n) if exits is None else exits
        return self.from_signals(column(prices), column(entries), column(exits), sl, tp,
                                 **kwargs)[0]


class Model(Engine):
    """The slow model with the same callbacks as Python callables (Modelled)."""

    native = False
    callback = Modelled

    def from_signals(self, close, entries, exits, sl=None, tp=None, **kwargs):
        return model.from_signals(close, entries, exits, sl_callback=sl, tp_callback=tp,
                                  **kwargs)


run = Engine().run


@pytest.fixture(params=[Engine, Model], ids=["engine", "model"])
def backtest(request):
    return request.param()


def constant(value):
    return lambda *call: value


# Deterministic callbacks of their arguments, each sometimes declining.
def ticks_from_block(bar, direction, entry, price, ref, dist, tick, mult, size, block, n):
    if bar % 4 == 3:
        return math.nan
    return (block[0] if n else 2.0) * tick + (bar % 3)


def widen_when_winning(bar, direction, entry, price, ref, dist, tick, mult, size, block, n):
    gain = (price - entry) if direction == 1 else (entry - price)
    return dist * 1.5 if gain > 0 and dist > 0 else (-1.0 if bar % 2 else 3.0 * tick)


CALLBACKS = [None, ticks_from_block, widen_when_winning]


@pytest.mark.parametrize("seed", range(40))
def test_random_runs_with_callbacks_match_model(seed):
    rng = np.random.default_rng(500 + seed)
    n, m = int(rng.integers(5, 40)), int(rng.integers(1, 4))
    close = np.round(100 + np.cumsum(rng.normal(0, 2, (n, m)), axis=0), 1)
    entries = rng.choice([0.0] * 4 + [1.0, -1.0, 2.0], size=(n, m))
    exits = rng.choice([0.0] * 4 + [1.0, -1.0], size=(n, m))
    sl_fn = CALLBACKS[seed % 3]
    tp_fn = CALLBACKS[(seed // 3) % 3]
    kwargs = dict(margin_rate=0.1, price_tick=float(rng.choice([0.5, 1.0])), volume_multiple=5,
                  commission=1, sl_stop=float(rng.choice([0.0, 4.0])),
                  tp_stop=float(rng.choice([0.0, 6.0])), sl_trail=int(rng.integers(2)),
                  slip_point=float(rng.choice([0.0, 0.25])), stop_mode=int(rng.integers(3)),
                  sl_callback_args=[(), (3.0,), (1.5, [2, 4])][seed % 3],
                  tp_callback_args=[(4,), (), ((1, 2),)][seed % 3])
    sl_native, tp_native = (Native(fn) if fn else None for fn in (sl_fn, tp_fn))
    got = Engine().from_signals(close, entries, exits, sl_native, tp_native, **kwargs)
    sl_model, tp_model = (Modelled(fn) if fn else None for fn in (sl_fn, tp_fn))
    want = Model().from_signals(close, entries, exits, sl_model, tp_model, **kwargs)
    assert_same_arrays(got, want)
    for native, modelled in ((sl_native, sl_model), (tp_native, tp_model)):
        if native:
            assert native.calls == modelled.calls


class TestArguments:
    def test_stop_loss_callback_arguments(self, backtest):
        sl = backtest.callback(constant(0.0))
        backtest.run([100.0, 101.0, 99.5, 98.0], [1, 0, 0, 0], sl=sl, size=2, price_tick=0.5,
                     volume_multiple=10.0, sl_callback_args=(7, [8.5]))
        # called in the holding bars; the stop at the entry fill closes bar 2
        assert sl.calls == [
            (1, 1, 100.0, 101.0, 100.0, 0.0, 0.5, 10.0, 2.0, [7.0, 8.5], 2),
            (2, 1, 100.0, 99.5, 100.0, 0.0, 0.5, 10.0, 2.0, [7.0, 8.5], 2),
        ]

    def test_direction_converted_by_int(self, backtest):
        sl = backtest.callback(constant(0.0))
        backtest.run([100.0, 101.0, 99.0], [-1.9, 0, 0], sl=sl, sl_stop=50)
        assert [c[1] for c in sl.calls] == [-1, -1]

    @pytest.mark.parametrize("value, exc, text", [
        (math.nan, ValueError, "cannot convert float NaN to integer"),
        (3e9, OverflowError, "Python int too large to convert to C int"),
    ])
    def test_direction_conversion_errors_end_the_run(self, backtest, value, exc, text):
        sl = backtest.callback(constant(0.0))
        with pytest.raises(exc) as info:
            backtest.run([100.0, 101.0], [value, 0], sl=sl, sl_stop=50)
        assert str(info.value) == text and sl.calls == []

    def test_object_direction_conversion_errors(self, backtest):
        sl = backtest.callback(constant(0.0))
        close, exits = column([100.0, 101.0]), column([0.0, 0.0])
        entries = np.array([["1"], [0]], dtype=object)
        with pytest.raises(TypeError, match="^an integer is required$"):
            backtest.from_signals(close, entries, exits, sl=sl, sl_stop=50)

    # an empty block is handed over as a null pointer
    @pytest.mark.parametrize("sl_args, tp_args, sl_block, tp_block", [
        ((), (), [], []), (None, None, [], []),
        ((1, 2.5), ([1, 2], 3), [1.0, 2.5], [1.0, 2.0, 3.0])])
    def test_blocks_and_their_pointers(self, backtest, sl_args, tp_args, sl_block, tp_block):
        sl = backtest.callback(constant(0.0))
        tp = backtest.callback(constant(0.0))
        backtest.run([100.0, 101.0], [1, 0], sl=sl, tp=tp, sl_callback_args=sl_args,
                     tp_callback_args=tp_args, tp_stop=5)
        assert sl.calls[0][-2:] == (sl_block, len(sl_block))
        assert tp.calls[0][-2:] == (tp_block, len(tp_block))
        if backtest.native:
            assert sl.null_pointers == [not sl_block] and tp.null_pointers == [not tp_block]

    def test_take_profit_callback_gets_its_own_distance(self, backtest):
        sl = backtest.callback(constant(0.0))
        tp = backtest.callback(constant(0.0))
        backtest.run([100.0, 101.0], [1, 0], sl=sl, tp=tp, sl_stop=3, tp_stop=7)
        assert sl.calls[0][5] == 3.0 and tp.calls[0][5] == 7.0


class TestCallsAndEffects:
    def test_called_once_per_holding_bar(self, backtest):
        sl = backtest.callback(constant(0.0))
        tp = backtest.callback(constant(0.0))
        backtest.run([100.0, 101.0, 102.0, 103.0, 104.0, 105.0], [0, 1, 0, 0, 1, 0],
                     [0, 0, 0, -1, 0, 0], sl=sl, tp=tp, sl_stop=50, tp_stop=50)
        # entry in bar 1, held in 2 and 3 (closed by signal), re-entered in 4, held in 5
        assert [c[0] for c in sl.calls] == [2, 3, 5]
        assert [c[0] for c in tp.calls] == [2, 3, 5]

    def test_take_profit_callback_skipped_without_level(self, backtest):
        # tp_price = entry - 0 for a short at a non-positive price: nothing to move
        tp = backtest.callback(constant(1.0))
        backtest.run([0.0, 1.0, 2.0], [-1, 0, 0], tp=tp)
        assert tp.calls == []

    def test_positive_result_moves_the_stop(self, backtest):
        sl = backtest.callback(lambda bar, *rest: 5.0 if bar == 1 else 0.0)
        h = backtest.run([100.0, 100.0, 96.0, 94.0], [1, 0, 0, 0], sl=sl, sl_stop=20)
        assert h[:, POS].tolist() == [1.0, 1.0, 1.0, 0.0]
        assert h[3, PNL] == ((95.0 - 100.0) * 1.0) * 5.0 - 1.0
        assert sl.calls[1][5] == 5.0  # the new distance is handed back next bar

    @pytest.mark.parametrize("result", [0.0, -3.0, math.nan, -math.inf])
    def test_declining_results_change_nothing(self, backtest, result):
        sl = backtest.callback(constant(result))
        tp = backtest.callback(constant(result))
        h = backtest.run([100.0, 95.0, 91.0, 109.0, 111.0], [1, 0, 0, 0, 0], sl=sl, tp=tp,
                         sl_stop=10, tp_stop=10)
        assert h[:, POS].tolist() == [1.0, 1.0, 1.0, 1.0, 0.0]
        assert h[4, PNL] == ((110.0 - 100.0) * 1.0) * 5.0 - 1.0

    def test_callback_only_stop_starts_at_entry(self, backtest):
        sl = backtest.callback(constant(0.0))
        h = backtest.run([100.0, 100.5, 100.0], [1, 0, 0], sl=sl)
        assert sl.calls[0][4:6] == (100.0, 0.0)  # reference = entry fill, distance 0
        assert h[:, POS].tolist() == [1.0, 1.0, 0.0]
        assert h[2, PNL] == -1.0

    def test_trailing_moves_the_reference_the_callback_sees(self, backtest):
        sl = backtest.callback(constant(4.0))
        h = backtest.run([100.0, 103.0, 101.0, 98.0], [1, 0, 0, 0], sl=sl, sl_trail=1)
        assert [c[4] for c in sl.calls] == [103.0, 103.0, 103.0]
        assert h[3, PNL] == ((99.0 - 100.0) * 1.0) * 5.0 - 1.0

    def test_take_profit_callback_without_stop_loss_uses_entry_fill(self, backtest):
        tp = backtest.callback(constant(5.0))
        h = backtest.run([100.0, 104.0, 106.0], [1, 0, 0], tp=tp, slip_point=0.5)
        assert [c[4] for c in tp.calls] == [100.5, 100.5]
        assert h[2, PNL] == ((105.5 - 0.5 - 100.5) * 1.0) * 5.0 - 1.0

    def test_take_profit_callback_short_without_stop_loss(self, backtest):
        tp = backtest.callback(constant(5.0))
        h = backtest.run([100.0, 96.0, 94.0], [-1, 0, 0], tp=tp)
        assert h[2, PNL] == ((100.0 - 95.0) * 1.0) * 5.0 - 1.0

    def test_stop_loss_before_take_profit_when_both_met(self, backtest):
        # the callbacks push the levels past each other
        sl = backtest.callback(constant(-5.0 + 10.0))   # stop at 95 for a long
        tp = backtest.callback(constant(1.0))           # take-profit at 101
        h = backtest.run([100.0, 94.0], [1, 0], sl=sl, tp=tp, price_tick=1.0)
        assert h[1, PNL] == ((95.0 - 100.0) * 1.0) * 5.0 - 1.0


class TestFlatArgs:
    @pytest.mark.parametrize("args, values", [
        ((1, 2.5), [1.0, 2.5]),
        (([1, 2], 3), [1.0, 2.0, 3.0]),
        ((2, [1.5, 3], ()), [2.0, 1.5, 3.0]),
        ((np.array([1.0, 2.0]), np.float64(4)), [1.0, 2.0, 4.0]),
        ((np.float32(0.1), True, "4"), [float(np.float32(0.1)), 1.0, 4.0]),
        (((),), []),
    ])
    def test_blocks(self, args, values):
        sl = Native(constant(0.0))
        run([100.0, 101.0], [1, 0], sl=sl, sl_callback_args=args)
        assert sl.calls[0][-2:] == (values, len(values))
        assert sl.null_pointers == [not values]
        assert model.flat_args(args) == values

    @pytest.mark.parametrize("name", ["sl_callback_args", "tp_callback_args"])
    @pytest.mark.parametrize("args", [("x",), ([[1, 2]],), ([[1.0], [2.0]],), ([1, "y"],),
                                      (object(),), ([1, [2, 3]],)])
    def test_unconvertible_element_fails_without_callback(self, name, args):
        with pytest.raises(Exception) as info:
            run([100.0], [0], **{name: args})
        with pytest.raises(type(info.value)) as want:
            model.flat_args(args)
        assert str(info.value) == str(want.value)
        names = [entry.name for entry in info.traceback[-2:]]
        assert names == ["quorra.accel.solosim.from_signals",
                         "quorra.accel.solosim._build_flat_args"]

    def test_stop_loss_block_built_first(self):
        with pytest.raises(ValueError, match="'a'"):
            run([100.0], [0], sl_callback_args=("a",), tp_callback_args=("b",))


GIL_PROBE = r"""
#include <Python.h>
#include <stdint.h>

int calls = 0;
int calls_holding_gil = 0;
int64_t last_n_args = -1;
int last_args_null = -1;
double last_args_sum = 0.0;

double probe(int64_t bar, int64_t direction, double entry_price, double current_price,
             double ref_price, double current_distance, double price_tick,
             double volume_multiple, double size, const double* args, int64_t n_args) {
  calls++;
  if (PyGILState_Check()) calls_holding_gil++;
  last_n_args = n_args;
  last_args_null = args == NULL;
  last_args_sum = 0.0;
  for (int64_t k = 0; k < n_args; k++) last_args_sum += args[k];
  return 0.0;
}
"""


@pytest.fixture(scope="module")
def probe_library(tmp_path_factory):
    """The compiled probe and the address of its callback."""
    cc = shutil.which("cc")
    if cc is None:
        pytest.skip("no C compiler")
    tmp = tmp_path_factory.mktemp("probe")
    src = tmp / "probe.c"
    src.write_text(GIL_PROBE)
    lib = tmp / "probe.so"
    subprocess.run([cc, "-shared", "-fPIC", "-O1", f"-I{sysconfig.get_paths()['include']}",
                    "-o", str(lib), str(src)], check=True)
    lib = ctypes.CDLL(str(lib))
    return lib, ctypes.cast(lib.probe, ctypes.c_void_p).value


def probe_counter(lib, name, kind=ctypes.c_int):
    return kind.in_dll(lib, name)


def test_native_callback_runs_without_the_lock(probe_library):
    lib, address = probe_library
    probe_counter(lib, "calls").value = 0
    probe_counter(lib, "calls_holding_gil").value = 0
    close = np.full((6, 2), 100.0)
    entries = np.zeros((6, 2))
    entries[0] = [1.0, -1.0]
    solosim.from_signals(close, entries, np.zeros((6, 2)), sl_callback_addr=address,
                         tp_callback_addr=address, sl_stop=5, tp_stop=5, margin_rate=0.1,
                         price_tick=1.0, volume_multiple=5.0, commission=1,
                         sl_callback_args=(1.5, [2, 3]), tp_callback_args=())
    assert probe_counter(lib, "calls").value == 2 * 2 * 5
    assert probe_counter(lib, "calls_holding_gil").value == 0
    # the probe does see the lock when called with it held
    held = ctypes.PyDLL(lib._name).probe
    held.restype = ctypes.c_double
    held(*([0] * 11))
    assert probe_counter(lib, "calls_holding_gil").value == 1
    # the last call was the take-profit callback, with the empty block
    assert probe_counter(lib, "last_n_args", ctypes.c_int64).value == 0
    assert probe_counter(lib, "last_args_null").value == 1


def test_native_callback_block(probe_library):
    lib, address = probe_library
    run_args = dict(sl_callback_addr=address, sl_callback_args=(1.5, [2, 3]))
    solosim.from_signals(column([100.0, 100.0]), column([1.0, 0.0]), column([0.0, 0.0]),
                         **run_args)
    assert probe_counter(lib, "last_n_args", ctypes.c_int64).value == 3
    assert probe_counter(lib, "last_args_null").value == 0
    assert probe_counter(lib, "last_args_sum", ctypes.c_double).value == 6.5
