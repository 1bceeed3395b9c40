"""Python code running in the middle of a call: replaced module functions
that raise, return non-numbers, resize or rewrite the arrays being read or
written, or call the engines again; conversions of arguments doing the same;
native callbacks on several threads at once. Every case ends in a clean
exception or a correct result."""

import gc
import subprocess
import sys
import textwrap
import threading
import weakref

import numpy as np
import pytest

import holdreturn_model
import solosim_model
import spreadsim_model
from quorra.accel import holdreturn, solosim, spreadsim
from support import assert_same_arrays, native_callback, same_bits

RESIZE_REFUSED = "cannot resize an array that references or is referenced"


@pytest.fixture
def restore_modules():
    """Puts back every module attribute a test rebinds."""
    saved = {mod: dict(vars(mod)) for mod in (holdreturn, solosim, spreadsim)}
    yield
    for mod, names in saved.items():
        for name in set(vars(mod)) - set(names):
            delattr(mod, name)
        for name, value in names.items():
            setattr(mod, name, value)


def solo_inputs(n=30, m=2):
    prices = 100.0 + np.arange(n * m, dtype=np.float64).reshape(n, m) % 7
    entries = np.zeros((n, m))
    entries[::4] = 1
    entries[2::8] = -1
    exits = np.zeros((n, m))
    exits[2::4] = -1
    exits[1::8] = 1
    return prices, entries, exits


def pair_inputs(n=30):
    prices = np.column_stack([100.0 + np.arange(n) % 5, 50.0 - np.arange(n) % 3])
    entries = np.zeros(n)
    entries[::5] = 1
    entries[3::10] = -1
    exits = np.zeros(n)
    exits[2::5] = -1
    return prices, entries, exits


SOLO = dict(margin_rate=0.1, price_tick=1.0, volume_multiple=5.0, commission=1.0)


def run_solo(close, entries, exits, **kw):
    return solosim.from_signals(close, entries, exits, **SOLO, **kw)


def run_pair(close, entries, exits, **kw):
    return spreadsim.pair_from_signals(close, entries, exits, **kw)


# engine name: (module, run, inputs, the name its frames carry)
ENGINES = {"solosim": (solosim, run_solo, solo_inputs, "quorra.accel.solosim.from_signals"),
           "spreadsim": (spreadsim, run_pair, pair_inputs,
                         "quorra.accel.spreadsim.pair_from_signals")}


def hold_signals(n=40):
    close = 100.0 + np.sin(np.arange(n, dtype=np.float64))
    signals = np.zeros(n)
    signals[::6] = 1.0
    signals[3::12] = -1.0
    return signals, close


# ---- replaced functions that fail or return non-numbers ----

SIZERS = [
    (lambda *a: 1 / 0, ZeroDivisionError, "division by zero"),
    (lambda *a: "2", TypeError, "must be real number, not str"),
    (lambda *a: None, TypeError, "must be real number, not NoneType"),
    (lambda *a: [1.0], TypeError, "must be real number, not list"),
    (5, TypeError, "'int' object is not callable"),
]


@pytest.mark.parametrize("engine", ["solosim", "spreadsim"])
@pytest.mark.parametrize("sizer, exc, text", SIZERS)
def test_replaced_sizer_failures_end_the_run(restore_modules, engine, sizer, exc, text):
    mod, run, inputs, frame = ENGINES[engine]
    mod.calculate_size = sizer
    with pytest.raises(exc, match=text) as info:
        run(*inputs())
    assert frame in [entry.name for entry in info.traceback]


def test_replaced_commission_returning_a_non_number(restore_modules):
    solosim.calculate_commission = lambda *a: object()
    with pytest.raises(TypeError, match="must be real number, not object"):
        run_solo(*solo_inputs())


# ---- resizing the arrays a call is reading (refcheck=False) ----

def resize_later(target, at_call=2):
    """A replacement sizer that resizes `target` (ignoring references) on its
    at_call-th call, recording what NumPy said."""
    said = []

    def sizer(*args):
        if len(said) + 1 == at_call:
            try:
                target.resize((50000, 7), refcheck=False)
                said.append("resized")
            except ValueError as exc:
                said.append(str(exc))
                raise
        else:
            said.append(None)
        return 1.0

    return sizer, said


@pytest.mark.parametrize("engine, which", [
    ("solosim", "prices"), ("solosim", "entries"), ("solosim", "exits"),
    ("solosim", "close_as_prices"),
    ("spreadsim", "prices"), ("spreadsim", "entries"), ("spreadsim", "exits")])
def test_input_resized_mid_run_is_refused(restore_modules, engine, which):
    mod, run, inputs, _ = ENGINES[engine]
    prices, entries, exits = inputs()
    target = {"prices": prices, "entries": entries, "exits": exits,
              "close_as_prices": prices}[which]
    sizer, said = resize_later(target)
    mod.calculate_size = sizer
    # solosim reads `prices` as the fills beside a copy as the close, or
    # (close_as_prices) reads the close as the fills too
    close, fills = (prices.copy(), prices) if engine == "solosim" and \
        which != "close_as_prices" else (prices, None)
    with pytest.raises(ValueError, match=RESIZE_REFUSED):
        run(close, entries, exits, prices=fills)
    assert said[-1].startswith(RESIZE_REFUSED)
    # The pin ends with the call: the array can be resized again.
    assert weakref.getweakrefcount(target) == 0
    target.resize((3, 3), refcheck=False)


@pytest.mark.parametrize("view", ["strided", "memoryview"])
def test_owner_behind_a_view_is_pinned(restore_modules, view):
    # The memory belongs to `owner`; the call reads a view of it.
    prices, entries, exits = solo_inputs(n=60)
    owner = np.repeat(prices, 2, axis=0)
    if view == "strided":
        read = owner[::2]
    else:
        owner = prices.copy()
        read = np.asarray(memoryview(owner))
    sizer, said = resize_later(owner)
    solosim.calculate_size = sizer
    with pytest.raises(ValueError, match=RESIZE_REFUSED):
        run_solo(read, entries[:len(read)], exits[:len(read)])


@pytest.mark.parametrize("which", ["signals", "close"])
def test_holdreturn_input_resized_by_a_holding_length(which):
    signals, close = hold_signals()
    target = signals if which == "signals" else close

    class Resizing:
        def __int__(self):
            target.resize(100000, refcheck=False)
            return 3

    with pytest.raises(ValueError, match=RESIZE_REFUSED):
        holdreturn.calc_holdreturn(signals, close, [2, Resizing()])
    assert weakref.getweakrefcount(target) == 0


def test_memory_behind_a_redirected_buffer_is_pinned():
    # A subclass whose __buffer__ hands out another array's memory: that
    # array is what the held bars are read from, so it is what must stay put.
    signals, close = hold_signals()
    other = close.copy()

    class Redirected(np.ndarray):
        def __buffer__(self, flags):
            return memoryview(other)

    class Resizing:
        def __int__(self):
            other.resize(100000, refcheck=False)
            return 3

    with pytest.raises(ValueError, match=RESIZE_REFUSED):
        holdreturn.calc_holdreturn(signals, close.view(Redirected), [2, Resizing()])


def test_result_arrays_resized_mid_run_are_refused(restore_modules):
    made = []
    real = np

    class Stash:
        """A module `np` whose zeros remembers the arrays it made."""

        def __getattr__(self, name):
            return getattr(real, name)

        @staticmethod
        def zeros(*args, **kwargs):
            made.append(real.zeros(*args, **kwargs))
            return made[-1]

    def sizer(*args):
        for arr in made:
            if arr.ndim == 2:
                arr.resize((10**6, 6), refcheck=False)
        return 1.0

    for mod, run, inputs, _ in ENGINES.values():
        made.clear()
        mod.np = Stash()
        mod.calculate_size = sizer
        with pytest.raises(ValueError, match=RESIZE_REFUSED):
            run(*inputs())


# ---- rewriting values mid-run: reads see the new values ----

def test_solosim_prices_rewritten_mid_run_match_model(restore_modules):
    prices, entries, exits = solo_inputs()
    model_prices = prices.copy()

    def rewriting(target):
        calls = []

        def sizer(price, size, size_type, cash, margin_rate, multiple):
            calls.append(price)
            target[len(calls):] += 0.25 * len(calls)
            return 2.0
        return sizer

    solosim.calculate_size = rewriting(prices)
    got = run_solo(prices, entries, exits, sl_stop=2.0, tp_stop=3.0)
    want = solosim_model.from_signals(model_prices, entries, exits, **SOLO, sl_stop=2.0,
                                      tp_stop=3.0, size_fn=rewriting(model_prices))
    assert_same_arrays(got, want)


def test_spreadsim_exits_rewritten_mid_run_match_model(restore_modules):
    prices, entries, exits = pair_inputs()
    model_exits = exits.copy()

    def rewriting(target):
        calls = []

        def sizer(*args):
            calls.append(1)
            target[(len(calls) * 3) % len(target)] = 1.0
            return 1.0
        return sizer

    spreadsim.calculate_size = rewriting(exits)
    got = run_pair(prices, entries, exits)
    want = spreadsim_model.pair_from_signals(prices, entries, model_exits,
                                             sizer=rewriting(model_exits))
    spreadsim_model.assert_same_rows(got, want)


# ---- calling the engines again from inside a call ----

def test_recursive_sizer_gives_the_plain_result(restore_modules):
    prices, entries, exits = solo_inputs()
    expected = run_solo(prices, entries, exits)
    inner_results = []

    def sizer(*args):
        if not inner_results:  # one level deep: the inner run sizes plainly
            inner_results.append(None)
            inner_results.append(run_solo(prices, entries, exits))
        return solosim_model.calculate_size(*args)

    solosim.calculate_size = sizer
    got = run_solo(prices, entries, exits)
    assert inner_results  # the inner runs used the replacement's plain rule
    assert_same_arrays(got, expected)


@pytest.mark.parametrize("engine", ["solosim", "spreadsim"])
def test_unbounded_recursion_is_a_recursion_error(restore_modules, engine):
    mod, run, inputs, _ = ENGINES[engine]
    mod.calculate_size = lambda *a: run(*inputs(5))
    with pytest.raises(RecursionError):
        run(*inputs(5))


def test_single_holdreturn_with_recursive_inner(restore_modules):
    signals, close = hold_signals()
    expected = holdreturn.calc_single_holdreturn(signals, close, 3)
    real = holdreturn.calc_holdreturn
    depth = []

    def inner(signal, close_, bars):
        depth.append(1)
        if len(depth) < 5:
            holdreturn.calc_single_holdreturn(signal, close_, bars[0])
        return real(signal, close_, bars)

    holdreturn.calc_holdreturn = inner
    got = holdreturn.calc_single_holdreturn(signals, close, 3)
    assert len(depth) == 5
    assert same_bits(got["long_profits"], expected["long_profits"])


@pytest.mark.parametrize("inner, exc", [
    (lambda *a: None, TypeError), (lambda *a: {}, KeyError), (lambda *a: [], TypeError),
    (lambda *a: {"long_profits": 1}, KeyError)])
def test_single_holdreturn_with_odd_inner_results(restore_modules, inner, exc):
    holdreturn.calc_holdreturn = inner
    with pytest.raises(exc):
        holdreturn.calc_single_holdreturn(*hold_signals(), 3)


# ---- argument conversions that meddle ----

def test_holding_length_clearing_the_list():
    signals, close = hold_signals()
    bars = [2, 3, 4]

    class Clearing:
        def __int__(self):
            bars.clear()
            return 1

    bars.insert(1, Clearing())
    model_bars = [2, Clearing(), 3, 4]
    with pytest.raises(IndexError, match="list index out of range"):
        holdreturn.calc_holdreturn(signals, close, bars)
    bars[:] = model_bars[:]
    with pytest.raises(IndexError, match="list index out of range"):
        holdreturn_model.calc_holdreturn(signals, close, bars)


def test_settings_list_cleared_mid_run_changes_nothing(restore_modules):
    prices, entries, exits = solo_inputs()
    multiples = [5.0, 5.0]
    expected = solosim.from_signals(prices, entries, exits, volume_multiple=[5.0, 5.0],
                                    margin_rate=0.1, price_tick=1.0, commission=1.0)

    def sizer(*args):
        multiples.clear()
        return solosim_model.calculate_size(*args)

    solosim.calculate_size = sizer
    got = solosim.from_signals(prices, entries, exits, volume_multiple=multiples,
                               margin_rate=0.1, price_tick=1.0, commission=1.0)
    assert_same_arrays(got, expected)


def run_isolated(code):
    """Runs `code` in a fresh interpreter (a crash there fails the test
    instead of ending the test run)."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)


def test_half_built_lists_never_reach_python():
    # A holding length's __int__ walks every list the collector tracks while
    # the call is building its results: none may hold an empty slot.
    done = run_isolated("""
        import gc
        import numpy as np
        from quorra.accel import holdreturn

        class Walking:
            def __init__(self, value):
                self.value = value
            def __int__(self):
                for o in gc.get_objects():
                    if type(o) is list:
                        for item in o:
                            type(item)
                return self.value

        close = np.linspace(100.0, 110.0, 50)
        signals = np.zeros(50)
        signals[::5] = 1.0
        r = holdreturn.calc_holdreturn(signals, close, [Walking(1), Walking(2), Walking(3)])
        print(len(r["cum_profit"]))
        """)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ["3"]


def test_signature_of_a_function_with_a_walking_parameter_type(monkeypatch):
    import inspect

    real = inspect.Parameter

    def walking(*args, **kwargs):
        for o in gc.get_objects():
            if type(o) is list:
                for item in o:
                    type(item)
        return real(*args, **kwargs)

    monkeypatch.setattr(inspect, "Parameter", walking)
    monkeypatch.setattr(walking, "POSITIONAL_OR_KEYWORD", real.POSITIONAL_OR_KEYWORD,
                        raising=False)
    sig = solosim.calculate_size.__signature__
    assert list(sig.parameters)[0] == "close_price"


# ---- native callbacks ----

def test_callback_resizing_an_input_cannot_free_it():
    prices, entries, exits = solo_inputs()
    said = []

    def callback(bar, direction, entry, price, ref, dist, tick, mult, size, args, n):
        try:
            prices.resize((10**5, 3), refcheck=False)
            said.append("resized")
        except ValueError as exc:
            said.append(str(exc))
        return 2.0

    cfunc, address = native_callback(callback)
    result = run_solo(prices, entries, exits, sl_callback_addr=address)
    assert said and all(s.startswith(RESIZE_REFUSED) for s in said)
    expected = solosim_model.from_signals(prices, entries, exits, **SOLO,
                                          sl_callback=lambda *a: 2.0)
    assert_same_arrays(result, expected)


def test_callback_running_the_engine_again():
    prices, entries, exits = solo_inputs()
    inner = []

    def callback(bar, direction, entry, price, ref, dist, tick, mult, size, args, n):
        inner.append(run_solo(prices, entries, exits)[0][-1, 0])
        return 1.5

    cfunc, address = native_callback(callback)
    result = run_solo(prices, entries, exits, tp_callback_addr=address, tp_stop=1.0)
    expected = solosim_model.from_signals(prices, entries, exits, **SOLO, tp_stop=1.0,
                                          tp_callback=lambda *a: 1.5)
    assert inner
    assert_same_arrays(result, expected)


def test_threads_running_backtests_with_callbacks_at_once():
    # Each callback releases the interpreter lock to the other threads in the
    # middle of a run; every run must give its own single-threaded result.
    def make(k):
        def callback(bar, direction, entry, price, ref, dist, tick, mult, size, args, n):
            return (args[0] if n else 1.0) * tick + (bar + k) % 3
        return callback

    callbacks = [native_callback(make(k)) for k in range(4)]
    inputs = [solo_inputs(n=40 + 5 * k, m=1 + k % 3) for k in range(4)]

    def one(k):
        prices, entries, exits = inputs[k]
        return run_solo(prices, entries, exits, sl_callback_addr=callbacks[k][1],
                        tp_callback_addr=callbacks[(k + 1) % 4][1], tp_stop=1.0,
                        sl_callback_args=(float(k + 1),), tp_callback_args=())

    expected = [one(k) for k in range(4)]
    results = {}
    errors = []

    def worker(k):
        try:
            for rep in range(15):
                results[k, rep] = one(k)
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for (k, rep), got in results.items():
        assert_same_arrays(got, expected[k])
