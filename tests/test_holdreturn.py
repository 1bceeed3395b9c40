import re
import subprocess
import sys

import numpy as np
import pytest

import holdreturn_model as model
from quorra.accel import holdreturn as hr
from support import same_bits

KEYS = list(model.KEYS)


def assert_same(got, want):
    """Equal key order, types and values; float arrays compared bit for bit."""
    assert type(got) is dict and list(got) == KEYS
    for key in ("long_profits", "short_profits"):
        assert type(got[key]) is np.ndarray and got[key].dtype == np.float64
        assert got[key].flags.c_contiguous and same_bits(got[key], want[key])
    for key in ("signal_indices", "signal_directions"):
        assert got[key] == want[key] and all(type(v) is int for v in got[key])
    assert type(got["cum_profit"]) is list and len(got["cum_profit"]) == len(want["cum_profit"])
    for curve, expected in zip(got["cum_profit"], want["cum_profit"]):
        assert curve.dtype == np.float64 and same_bits(curve, expected)


def market(seed, n, density, defects):
    """Random signals (with odd values) and closes (with NaN, inf, 0, negatives)."""
    rng = np.random.default_rng(seed)
    close = 100 * np.cumprod(1 + rng.normal(0, 0.02, n))
    bad = rng.random(n) < defects
    close[bad] = rng.choice([np.nan, np.inf, -np.inf, 0.0, -3.0, 1e-300], bad.sum())
    odd = [-0.0, np.nan, 2.5, -0.25, np.inf, -np.inf]
    signals = np.where(rng.random(n) < density, rng.choice([1.0, -1.0], n), 0.0)
    pick = rng.random(n) < density / 4
    signals[pick] = rng.choice(odd, pick.sum())
    return signals, close


HOLD_SETS = [[1, 5, 10], [0], [3, 0, 3, 250, 1], [7, 2**31 - 1, 2]]


@pytest.mark.parametrize("bars", HOLD_SETS)
@pytest.mark.parametrize("seed, n, density, defects",
                         [(1, 300, 0.05, 0.0), (2, 200, 0.3, 0.05), (3, 60, 0.9, 0.2),
                          (4, 1, 1.0, 0.0), (5, 2, 1.0, 0.5)])
def test_matches_model(seed, n, density, defects, bars):
    signals, close = market(seed, n, density, defects)
    got = hr.calc_holdreturn(signals, close, bars)
    assert_same(got, model.calc_holdreturn(signals, close, bars))
    assert got["bars"] is bars


def test_worked_example():
    signals = np.zeros(10)
    signals[2], signals[7] = 1.0, -1.0
    close = np.arange(1.0, 11.0)
    r = hr.calc_holdreturn(signals, close, [3])
    long_ratio, short_ratio = r["long_profits"][0, 0], r["short_profits"][1, 0]
    assert long_ratio == (((4 - 3) / 3) + 1.0) * (((5 - 3) / 3) + 1.0) * (((6 - 3) / 3) + 1.0)
    assert short_ratio == (((8 - 9) / 8) + 1.0) * (((8 - 10) / 8) + 1.0)  # held to the last bar
    nan = np.nan
    expected = [1, 1, nan, nan, nan, long_ratio, long_ratio, nan, nan, short_ratio]
    np.testing.assert_array_equal(r["cum_profit"][0], expected)


@pytest.mark.parametrize("closes, long_row, short_row", [
    ([2.0, 0.0, 1.0], [0.0, 1.0], [3.0, 1.0]),           # a close of 0 zeroes the long ratio
    ([2.0, np.nan, np.inf, 3.0], [1.5, 1.0], [0.5, 1.0]),  # NaN and infinite closes are skipped
    ([0.0, 1.0, 2.0], [np.nan] * 2, [np.nan] * 2),       # invalid entry prices give NaN rows
    ([-1.0, 1.0], [np.nan] * 2, [np.nan] * 2),
    ([np.inf, 1.0], [np.nan] * 2, [np.nan] * 2),
])
def test_held_bar_rules(closes, long_row, short_row):
    signals = np.zeros(len(closes))
    signals[0] = 1.0
    r = hr.calc_holdreturn(signals, np.array(closes), [10, 0])
    np.testing.assert_array_equal(r["long_profits"], [long_row])
    np.testing.assert_array_equal(r["short_profits"], [short_row])


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("layout", [
    lambda a: np.repeat(a, 3)[::3],                 # strided
    lambda a: a[::-1].copy()[::-1],                 # reversed
    read_only,
    lambda a: a.view(type("Sub", (np.ndarray,), {})),
    lambda a: np.frombuffer(b"\0" + a.tobytes(), offset=1),  # misaligned, read-only
])
def test_layouts_read_the_same_values(layout):
    signals, close = market(7, 120, 0.2, 0.05)
    got = hr.calc_holdreturn(layout(signals), layout(close), [1, 4, 30])
    assert_same(got, hr.calc_holdreturn(signals, close, [1, 4, 30]))
    longer = np.concatenate([close, [1.0, np.nan]])
    assert_same(hr.calc_holdreturn(signals, longer, [1, 4, 30]), got)


@pytest.mark.parametrize("signals",
                         [np.zeros(4), np.full(3, np.nan), np.empty(0), np.array([-0.0])])
@pytest.mark.parametrize("bars", [[], [1, 2], ["x", -3, 2**40, float("nan")]])
@pytest.mark.parametrize("close", [None, np.ones(1)])
def test_no_signals(signals, close, bars):
    # Neither close nor any element of bars is looked at.
    r = hr.calc_holdreturn(signals, close, bars)
    assert list(r) == KEYS and r["bars"] is bars
    for key in ("long_profits", "short_profits"):
        assert r[key].shape == (0, len(bars)) and r[key].dtype == np.float64
    assert r["signal_indices"] == r["signal_directions"] == r["cum_profit"] == []
    assert len({id(r[k]) for k in ("signal_indices", "signal_directions", "cum_profit")}) == 3


def test_no_holding_lengths():
    r = hr.calc_holdreturn(np.array([0.0, -2.0, 1.0]), np.ones(3), [])
    assert r["long_profits"].shape == r["short_profits"].shape == (2, 0)
    assert r["signal_indices"] == [1, 2] and r["signal_directions"] == [-1, 1]
    assert r["cum_profit"] == []


S, C = np.array([0.0, 1.0, 0.0]), np.array([1.0, 2.0, 3.0])


@pytest.mark.parametrize("call, exc, text", [
    (lambda: hr.calc_holdreturn(S, C), TypeError,
     "calc_holdreturn() takes exactly 3 positional arguments (2 given)"),
    (lambda: hr.calc_holdreturn(S, C, [1], 1), TypeError,
     "calc_holdreturn() takes exactly 3 positional arguments (4 given)"),
    (lambda: hr.calc_holdreturn(S, C, [1], signals=S), TypeError,
     "calc_holdreturn() got multiple values for keyword argument 'signals'"),
    (lambda: hr.calc_holdreturn(S, C, bar=[1]), TypeError,
     "calc_holdreturn() got an unexpected keyword argument 'bar'"),
    (lambda: hr.calc_holdreturn(list(S), C, [1]), TypeError,
     "Argument 'signals' has incorrect type (expected numpy.ndarray, got list)"),
    (lambda: hr.calc_holdreturn(S, 3.0, (1,)), TypeError,
     "Argument 'close' has incorrect type (expected numpy.ndarray, got float)"),
    (lambda: hr.calc_holdreturn(S, C, (1,)), TypeError,
     "Argument 'bars' has incorrect type (expected list, got tuple)"),
    (lambda: hr.calc_holdreturn(S, C, type("Hold", (list,), {})([1])), TypeError,
     "Argument 'bars' has incorrect type (expected list, got Hold)"),
    (lambda: hr.calc_holdreturn(S.astype(np.float32), C.astype(np.int8), [1]), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (lambda: hr.calc_holdreturn(S, C.astype(np.int64), [1]), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'long'"),
    (lambda: hr.calc_holdreturn(S, C.astype(bool), [1]), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'bool'"),
    (lambda: hr.calc_holdreturn(S.reshape(1, 3), C, [1]), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda: hr.calc_holdreturn(None, C.astype(np.float32), [1]), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (lambda: hr.calc_holdreturn(None, C, None), TypeError, "Argument 'signals' must not be None"),
    (lambda: hr.calc_holdreturn(np.zeros(3), None, None), TypeError,
     "object of type 'NoneType' has no len()"),
    (lambda: hr.calc_holdreturn(S, None, [1]), TypeError, "'NoneType' object is not subscriptable"),
    (lambda: hr.calc_holdreturn(np.ones(5), C, [1]), ValueError,
     "close must have at least as many elements as signals (got 3, need 5)"),
    (lambda: hr.calc_single_holdreturn(S), TypeError,
     "calc_single_holdreturn() takes exactly 3 positional arguments (1 given)"),
    (lambda: hr.calc_single_holdreturn(list(S), C, "3"), TypeError, "an integer is required"),
    (lambda: hr.calc_single_holdreturn(S, C, None), TypeError, "an integer is required"),
    (lambda: hr.calc_single_holdreturn(S, C, float("nan")), ValueError,
     "cannot convert float NaN to integer"),
    (lambda: hr.calc_single_holdreturn(S, C, 2**31), OverflowError,
     "Python int too large to convert to C int"),
    (lambda: hr.calc_single_holdreturn(list(S), C, 3), TypeError,
     "Argument 'signal' has incorrect type (expected numpy.ndarray, got list)"),
    (lambda: hr.calc_single_holdreturn(S, C[None], 3), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda: hr.calc_single_holdreturn(S, C, -1), ValueError,
     "holding length must be non-negative, got -1"),
])
def test_call_errors(call, exc, text):
    with pytest.raises(exc, match=f"^{re.escape(text)}$"):
        call()


@pytest.mark.parametrize("dtype, text", [
    # NumPy writes a repeat count before the element: "3s", "2w", "8x".
    ("S3", "Buffer dtype mismatch, expected 'double' but got a string"),
    ("S1", "Buffer dtype mismatch, expected 'double' but got a string"),
    ("V8", "Buffer dtype mismatch, expected 'double' but got end"),
    ("U2", "Unexpected format string character: 'w'"),
    ("c16", "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
    ("f8,i4", "Buffer dtype mismatch, expected 'double' but got a struct"),
])
def test_buffer_format_repeat_counts(dtype, text):
    with pytest.raises(ValueError, match=f"^{re.escape(text)}$"):
        hr.calc_holdreturn(np.zeros(3, dtype=dtype), C, [1])


def test_too_many_bars():
    huge = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2**31,), strides=(0,))
    with pytest.raises(OverflowError, match="^too many bars: 2147483648 exceeds 2147483647$"):
        hr.calc_holdreturn(huge, None, [])


@pytest.mark.parametrize("bars, same_as", [
    ([3.7, 2.2], [3, 2]),
    ([np.int64(3), np.float64(2.9), True, np.uint8(0)], [3, 2, 1, 0]),
    ([type("Big", (int,), {"__int__": lambda self: 99})(4)], [4]),  # ints are read by value
])
def test_holding_length_conversion(bars, same_as):
    signals, close = market(3, 50, 0.3, 0.0)
    r = hr.calc_holdreturn(signals, close, bars)
    assert r["bars"] is bars
    assert_same(r, hr.calc_holdreturn(signals, close, same_as))


@pytest.mark.parametrize("bars, exc, text", [
    (["x"], TypeError, "an integer is required"),
    ([1, float("nan")], ValueError, "cannot convert float NaN to integer"),
    ([float("inf")], OverflowError, "cannot convert float infinity to integer"),
    ([2, 2**31], OverflowError, "Python int too large to convert to C int"),
    ([0, -3], ValueError, "holding length must be non-negative, got -3"),
    ([-3.5], ValueError, "holding length must be non-negative, got -3"),
    ([-1, "x"], ValueError, "holding length must be non-negative, got -1"),
])
@pytest.mark.parametrize("entry", [5.0, np.nan])  # a valid or an invalid entry price
def test_bad_holding_length(bars, exc, text, entry):
    with pytest.raises(exc, match=f"^{re.escape(text)}$"):
        hr.calc_holdreturn(np.array([1.0, 0.0]), np.array([entry, 6.0]), bars)


class Probe:
    """A holding length whose __int__ logs each call and may act on the call."""

    def __init__(self, log, tag, values, action=None):
        self.log, self.tag, self.values, self.action = log, tag, list(values), action

    def __int__(self):
        self.log.append(self.tag)
        if self.action:
            self.action(len(self.log))
        value = self.values.pop(0) if len(self.values) > 1 else self.values[0]
        if isinstance(value, Exception):
            raise value
        return value


def run_both(signals, close, make_bars):
    """Runs engine and model on fresh probes; returns their outcomes and call logs."""
    outcomes = []
    for fn in (hr.calc_holdreturn, model.calc_holdreturn):
        log = []
        c = close.copy()
        bars = make_bars(log, c)
        try:
            outcomes.append((fn(signals, c, bars), log))
        except Exception as e:  # noqa: BLE001 - the outcome is compared
            outcomes.append(((type(e), str(e)), log))
    return outcomes


@pytest.mark.parametrize("make_bars", [
    lambda log, c: [Probe(log, "a", [2]), 3, Probe(log, "b", [1, 4, 0, 6])],
    lambda log, c: [Probe(log, "a", [1, 2, 3, 4, 5, 6, 7])],
    lambda log, c: [Probe(log, "a", [5]), Probe(log, "b", [1, ValueError("boom")])],
    lambda log, c: [Probe(log, "a", [2, -4])],
    lambda log, c: [Probe(log, "a", [3], lambda calls: c.__setitem__(slice(None), calls))],
])
@pytest.mark.parametrize("entries", [[5.0, 6.0, 7.0], [np.nan, 6.0, -1.0], [np.nan, np.nan, 0.0]])
def test_conversions_follow_call_order(make_bars, entries):
    signals = np.array([1.0, 0.0, -1.0, 0.0, 2.0, 0.0, 0.0, 0.0])
    close = np.array([entries[0], 5.5, entries[1], 6.5, entries[2], 7.5, 8.0, 9.0])
    (got, got_log), (want, want_log) = run_both(signals, close, make_bars)
    assert got_log == want_log
    if isinstance(want, dict):
        assert_same(got, want)
    else:
        assert got == want


def test_bars_shrunk_by_a_conversion():
    bars = [0, 0, 0]
    bars[0] = Probe([], "a", [1], lambda calls: bars.clear())
    with pytest.raises(IndexError, match="^list index out of range$"):
        hr.calc_holdreturn(np.array([1.0, 0.0]), np.array([1.0, 2.0]), bars)


class Doubling(np.ndarray):
    def __getitem__(self, key):
        value = super().__getitem__(key)
        if isinstance(key, int) and key == 3:
            raise LookupError("no entry at 3")
        return value * 2 if isinstance(key, int) else value


@pytest.mark.parametrize("signals", [[0, 1, 0, 0, -1, 0], [0, 1, 0, -1, 0, 0]])
def test_entry_price_read_through_indexing(signals):
    signals = np.array(signals, dtype=float)
    close = np.array([1.0, 2.0, 3.0, 4.0, 2.5, 1.0]).view(Doubling)
    (got, _), (want, _) = run_both(signals, close, lambda log, c: [1, 3])
    if isinstance(want, dict):
        assert_same(got, want)
    else:
        assert got == want == (LookupError, "no entry at 3")


def test_single_matches_calc_holdreturn():
    signals, close = market(11, 80, 0.2, 0.05)
    r = hr.calc_single_holdreturn(signal=signals, close=close, bar_hold=7.9)
    assert_same(r, hr.calc_holdreturn(signals, close, [7]))
    assert r["bars"] == [7] and r["long_profits"].shape[1] == 1
    assert r["signal_directions"] == hr.calc_holdreturn(signals, close, [1])["signal_directions"]
    # without signals the close is not read
    r = hr.calc_single_holdreturn(np.zeros(3), None, 4)
    assert r["long_profits"].shape == (0, 1) and r["cum_profit"] == [] and r["bars"] == [4]


class Inner:
    """Stands in for the module's calc_holdreturn: records the call, returns shape(real result)."""

    def __init__(self, shape=lambda result: result):
        self.shape, self.args, self.result = shape, None, None

    def __call__(self, *args):
        self.args = args
        self.result = self.shape(REAL_CALC(*args))
        return self.result


REAL_CALC = hr.calc_holdreturn


def test_single_calls_module_attribute(monkeypatch):
    monkeypatch.setattr(hr, "calc_holdreturn", inner := Inner())
    signals, close = np.array([0.0, -1.0, 0.0]), np.array([3.0, 2.0, 1.0])
    r = hr.calc_single_holdreturn(signals, close, 2.5)
    s, c, held = inner.args
    assert s is signals and c is close and held == [2] and type(held) is list
    assert r is not inner.result and list(r) == KEYS and r["signal_directions"] == [-1]
    assert all(r[key] is inner.result[key] for key in KEYS[:5])
    assert r["bars"] == [2] and r["bars"] is not held
    monkeypatch.setattr(hr, "calc_holdreturn", inner := Inner(lambda d: dict(d, cum_profit=[])))
    r = hr.calc_single_holdreturn(signals, close, 1)
    assert r["cum_profit"] == [] and r["cum_profit"] is not inner.result["cum_profit"]


class Mapping:
    def __init__(self, data):
        self.data, self.fetched = data, []

    def __getitem__(self, key):
        self.fetched.append(key)
        return self.data[key]


def test_single_inner_result_lookups(monkeypatch):
    monkeypatch.setattr(hr, "calc_holdreturn", inner := Inner(Mapping))
    hr.calc_single_holdreturn(np.array([1.0, 0.0]), np.ones(2), 1)
    assert inner.result.fetched == KEYS[:5] + ["cum_profit"]  # non-empty curves: fetched twice
    no_short = Inner(lambda d: {k: v for k, v in d.items() if k != "short_profits"})
    monkeypatch.setattr(hr, "calc_holdreturn", no_short)
    with pytest.raises(KeyError, match="^'short_profits'$"):
        hr.calc_single_holdreturn(np.array([1.0, 0.0]), np.ones(2), 1)


def test_single_name_lookup():
    # In a fresh interpreter: removing the attribute would reorder this
    # module's namespace for the rest of the session.
    code = """
import builtins, numpy as np
from quorra.accel import holdreturn as hr
del hr.calc_holdreturn
try:
    hr.calc_single_holdreturn(np.zeros(2), None, 1)
except NameError as e:
    print(e)
builtins.calc_holdreturn = lambda *a: dict.fromkeys(["long_profits", "short_profits",
    "signal_indices", "signal_directions", "cum_profit"], "from builtins")
print(hr.calc_single_holdreturn(np.zeros(2), None, 1)["signal_indices"])
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.splitlines() == ["name 'calc_holdreturn' is not defined", "from builtins"]


def test_inner_error_keeps_both_traceback_entries():
    with pytest.raises(TypeError) as info:
        hr.calc_single_holdreturn(np.ones(2), None, 1)
    names = [entry.name for entry in info.traceback][-2:]
    assert names == ["quorra.accel.holdreturn.calc_single_holdreturn",
                     "quorra.accel.holdreturn.calc_holdreturn"]


def test_no_references_leak():
    signals, close = market(5, 40, 0.3, 0.1)
    bars = [1, 3.5, np.int64(2)]
    objects = (signals, close, bars, *bars)
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(30):
        del_at_once = hr.calc_holdreturn(signals, close, bars)
        del del_at_once
        hr.calc_single_holdreturn(signals, close, 2)
        hr.calc_holdreturn(signals, close, [Probe([], "a", [2]), *bars])  # call-order path
        for bad, exc in (([1, "x"], TypeError), ([Probe([], "a", [-1])], ValueError)):
            with pytest.raises(exc):
                hr.calc_holdreturn(signals, close, bad)
        with pytest.raises(ValueError):
            hr.calc_holdreturn(signals, close[:3], bars)
    assert [sys.getrefcount(o) for o in objects] == before
    r = hr.calc_holdreturn(signals, close, bars)
    counts = [sys.getrefcount(r[key]) for key in KEYS[:5]]  # the dict's and the argument's
    assert counts == [2] * 5


def test_docstrings():
    for fn in (hr.calc_holdreturn, hr.calc_single_holdreturn):
        assert "Args:" in fn.__doc__ and "收益" in fn.__doc__ and "Returns:" in fn.__doc__
    assert "持有" in hr.__doc__ and "cum_profit" in hr.__doc__
