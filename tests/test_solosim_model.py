"""from_signals against the slow model: randomised runs bit for bit, and
every kind of input element read as Python reads it."""

import decimal
import fractions

import numpy as np
import pytest

from quorra.accel import solosim

import solosim_model as model
from support import assert_same_arrays, assert_same_outcome, outcome


def scenario(seed, n_max=40, m_max=4):
    rng = np.random.default_rng(seed)
    n, m = int(rng.integers(1, n_max)), int(rng.integers(1, m_max + 1))
    close = np.round(100 + np.cumsum(rng.normal(0, 2, (n, m)), axis=0), 1)
    entries = rng.choice([0.0] * 5 + [1.0, -1.0, 2.0, np.nan], size=(n, m))
    exits = rng.choice([0.0] * 3 + [1.0, -1.0, np.nan], size=(n, m))
    pick = lambda *xs: xs[int(rng.integers(len(xs)))]  # noqa: E731
    kwargs = dict(
        size=pick(1, 2.5, 1000.0, 0.3, [2, 3, 1, 4]), size_type=pick(0, 1, 2, 4),
        margin_rate=pick(0.1, 0.5, [0.2, 0.1, 0.3, 0.15]),
        price_tick=pick(0.2, 1.0, (1, 0.5, 0.25, 2)), volume_multiple=pick(5, 10, [3, 7, 5, 10]),
        commission=pick(1, 0.0003, 2, [1, 2, 3, 0.5]), com_type=pick(0, 1, 2, 9),
        init_cash=pick(1e6, 5000.0, 123456.7), slip_point=pick(0.0, 0.1, -1.0, np.nan, 0.3),
        sl_stop=pick(0.0, 3.0, 0.02, 500.0), tp_stop=pick(0.0, 5.0, 0.03, 800.0),
        stop_mode=pick(0, 1, 2, 3), sl_trail=pick(0, 1, True), max_hold_bars=pick(0, 1, 3),
        min_start_length=pick(1, 0, 3, -5))
    if rng.random() < 0.5:
        kwargs["prices"] = close + np.round(rng.normal(0, 0.5, (n, m)), 2)
    return close, entries, exits, kwargs


def assert_same(engine, modelled):
    assert_same_outcome(engine, modelled, assert_same_arrays)


@pytest.mark.parametrize("seed", range(120))
def test_random_runs_match_model(seed):
    close, entries, exits, kwargs = scenario(seed)
    assert_same(outcome(solosim.from_signals, close, entries, exits, **kwargs),
                outcome(model.from_signals, close, entries, exits, **kwargs))


@pytest.mark.parametrize("seed", range(6))
def test_many_contracts_share_cash(seed):
    rng = np.random.default_rng(100 + seed)
    n, m = 60, 25
    close = np.round(50 + np.cumsum(rng.normal(0, 1, (n, m)), axis=0), 2)
    entries = rng.choice([0.0] * 4 + [1.0, -1.0], size=(n, m))
    exits = rng.choice([0.0] * 4 + [1.0, -1.0], size=(n, m))
    kwargs = dict(size=[3, 0.05][seed % 2], size_type=[0, 2][seed % 2], margin_rate=0.2,
                  price_tick=0.01, volume_multiple=10, commission=0.0002, com_type=2,
                  init_cash=3000.0, sl_stop=0.03, tp_stop=0.05, stop_mode=2, sl_trail=1,
                  max_hold_bars=7)
    got = solosim.from_signals(close, entries, exits, **kwargs)
    want = model.from_signals(close, entries, exits, **kwargs)
    assert_same_arrays(got, want)
    if kwargs["size_type"] == 0:
        # entry signals on flat contracts that left them flat: refused for cash
        refused = sum(int(np.sum((entries[1:, j] != 0) & (a[:-1, 1] == 0) & (a[1:, 1] == 0)))
                      for j, a in enumerate(got))
        assert refused > 0


def signal_scenario(seed, long_only=False):
    """Signals of -1/0/1 (or 0/1), prices exact in every float width."""
    rng = np.random.default_rng(1000 + seed)
    n, m = 50, 3
    close = 64.0 + np.cumsum(rng.integers(-2, 3, (n, m)), axis=0) * 0.5
    values = [0.0] * 4 + [1.0] + ([] if long_only else [-1.0])
    entries = rng.choice(values, size=(n, m))
    exits = rng.choice(values, size=(n, m))
    kwargs = dict(margin_rate=0.1, price_tick=0.5, volume_multiple=5, commission=1, sl_stop=3,
                  tp_stop=5, max_hold_bars=6, slip_point=0.25)
    return close, entries, exits, kwargs


SIGNED = [np.int8, np.int16, np.int32, np.int64, np.float16, np.float32, np.float64,
          np.dtype(">f8"), np.dtype("<i4"), np.dtype(">i2")]
UNSIGNED = [np.bool_, np.uint8, np.uint16, np.uint32, np.uint64]


def layouts(a):
    """The same values in several memory layouts."""
    big = np.zeros((a.shape[0] * 2, a.shape[1] * 3), dtype=a.dtype)
    big[::2, ::3] = a
    reversed_copy = np.ascontiguousarray(a[::-1, ::-1])
    yield "contiguous", np.ascontiguousarray(a)
    yield "strided", big[::2, ::3]
    yield "reversed", reversed_copy[::-1, ::-1]
    yield "fortran", np.asfortranarray(a)
    yield "readonly", np.broadcast_to(a, a.shape)
    yield "subclass", a.view(type("Sub", (np.ndarray,), {}))
    yield "object", a.astype(object)


@pytest.mark.parametrize("dtype", SIGNED + UNSIGNED, ids=str)
@pytest.mark.parametrize("which", ["entries", "exits", "prices"])
def test_element_types_match_float64(dtype, which):
    long_only = np.dtype(dtype).kind in "bu"
    close, entries, exits, kwargs = signal_scenario(3, long_only)
    arrays = dict(entries=entries, exits=exits, prices=close)
    arrays[which] = arrays[which].astype(dtype)
    # the float64 run of the very values the typed input holds
    widened = {k: np.asarray(v).astype(np.float64) for k, v in arrays.items()}
    got = solosim.from_signals(close, **arrays, **kwargs)
    want = solosim.from_signals(close, **widened, **kwargs)
    assert_same_arrays(got, want)
    assert any(np.any(a[:, 3] != 0) for a in got)


@pytest.mark.parametrize("which", ["entries", "exits", "prices"])
@pytest.mark.parametrize("layout", ["contiguous", "strided", "reversed", "fortran", "readonly",
                                    "subclass", "object"])
def test_layouts_match(which, layout):
    close, entries, exits, kwargs = signal_scenario(4)
    arrays = dict(entries=entries, exits=exits, prices=close)
    arrays[which] = dict(layouts(arrays[which]))[layout]
    got = solosim.from_signals(close, **arrays, **kwargs)
    want = solosim.from_signals(close, entries, exits, prices=close, **kwargs)
    assert_same_arrays(got, want)


def test_all_inputs_as_python_objects():
    close, entries, exits, kwargs = signal_scenario(5)
    as_int = lambda a: np.array(a.astype(int).tolist(), dtype=object)  # noqa: E731
    prices = np.array([[fractions.Fraction(x) for x in row] for row in close.tolist()],
                      dtype=object)
    got = solosim.from_signals(close, as_int(entries), as_int(exits), prices=prices, **kwargs)
    want = solosim.from_signals(close, entries, exits, **kwargs)
    assert_same_arrays(got, want)


class Weird:
    """Compares unequal to everything and converts to 3."""

    def __eq__(self, other):
        return False

    def __ne__(self, other):
        return True

    def __float__(self):
        return 3.0

    def __int__(self):
        return 3


class BadCompare:
    def __ne__(self, other):
        raise RuntimeError("no comparison")


@pytest.mark.parametrize("value", [
    True, 1, -1, 2**40, np.int64(-1), 1.5, np.nan, "1", "a", None, decimal.Decimal("1"),
    decimal.Decimal("-1"), fractions.Fraction(1, 2), Weird(), BadCompare(), np.float16(1),
    (1,), complex(1, 0),
], ids=repr)
@pytest.mark.parametrize("exit_value", [-1, 1, np.nan, "x", Weird()], ids=repr)
def test_object_elements_behave_as_python(value, exit_value):
    close = np.array([[100.0], [90.0], [110.0], [95.0]])
    entries = np.array([[value], [0], [0], [0]], dtype=object)
    exits = np.array([[0], [exit_value], [exit_value], [0]], dtype=object)
    kwargs = dict(slip_point=0.5, sl_stop=30, tp_stop=40)
    assert_same(outcome(solosim.from_signals, close, entries, exits, **kwargs),
                outcome(model.from_signals, close, entries, exits, **kwargs))


@pytest.mark.parametrize("value", [1.5, "2", None, decimal.Decimal("1e400")], ids=repr)
def test_object_prices(value):
    close = np.array([[100.0], [101.0]])
    prices = np.array([[100.0], [value]], dtype=object)
    entries = np.array([[1.0], [0.0]])
    got = outcome(solosim.from_signals, close, entries, np.zeros((2, 1)), prices=prices)
    if isinstance(value, (str, type(None))):
        assert got[0] == "raised" and got[1] is TypeError
    else:
        assert got[0] == "ok" and got[1][0][1, 0] == 1000000.0 - 1.0
