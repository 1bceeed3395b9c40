"""Pair backtest inputs: arrays of any numeric dtype or layout read like
float64, Python indexing for everything else, and the errors of bad inputs."""

import math

import numpy as np
import pytest

import spreadsim_model as model
from quorra.accel import spreadsim
from support import assert_same_arrays

SETTINGS = dict(sl_stop=3.0, tp_stop=4.0, sl_trail=1, max_hold_bars=9, slip_point=0.25)


def base_case(n=120, seed=5):
    rng = np.random.default_rng(seed)
    prices = np.round(100 + np.cumsum(rng.normal(0, 1.5, size=(n, 2)), axis=0)).astype(np.int64)
    entries = rng.choice([0, 0, 0, 0, 1, -1, 2, -3], size=n).astype(np.int64)
    exits = rng.choice([0, 0, 0, 0, 0, 1, -1], size=n).astype(np.int64)
    return prices, entries, exits


def run(close, entries, exits, **kw):
    return spreadsim.pair_from_signals(close, entries, exits, **{**SETTINGS, **kw})


def reference():
    prices, entries, exits = base_case()
    return run(prices.astype(np.float64), entries.astype(np.float64), exits.astype(np.float64))


class Tracked(np.ndarray):
    """An ndarray subclass: read through Python indexing."""


def strided(a):
    wide = np.zeros((a.shape[0] * 2,) + a.shape[1:], dtype=a.dtype)
    wide[::2] = a
    return wide[::2]


def reversed_(a):
    return np.ascontiguousarray(a[::-1])[::-1]


def big_endian(a):
    return a.astype(a.dtype.newbyteorder(">"))


LAYOUTS = {
    "int64": lambda a: a,
    "int8": lambda a: a.astype(np.int8) if a.ndim == 1 else a.astype(np.int16),
    "uint16": lambda a: a.astype(np.uint16) if a.ndim == 2 else a.astype(np.int32),
    "float32": lambda a: a.astype(np.float32),
    "float16": lambda a: a.astype(np.float16),
    "strided": lambda a: strided(a.astype(np.float64)),
    "reversed": lambda a: reversed_(a.astype(np.float64)),
    "fortran": lambda a: np.asfortranarray(a.astype(np.float64)),
    "big-endian": lambda a: big_endian(a.astype(np.float64)),
    "object": lambda a: a.astype(object),
    "subclass": lambda a: a.astype(np.float64).view(Tracked),
    "unaligned": lambda a: np.frombuffer(b"\0" + a.astype(np.float64).tobytes(),
                                         dtype=np.float64, offset=1).reshape(a.shape),
}


@pytest.mark.parametrize("which", ["prices", "entries", "exits", "all"])
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_inputs_of_any_numeric_layout_read_like_float64(layout, which):
    prices, entries, exits = base_case()
    convert = LAYOUTS[layout]
    arrays = {"prices": prices, "entries": entries, "exits": exits}
    for name in arrays:
        if which in (name, "all"):
            arrays[name] = convert(arrays[name])
        else:
            arrays[name] = arrays[name].astype(np.float64)
    got = run(arrays["prices"], arrays["entries"], arrays["exits"])
    assert_same_arrays(got, reference())


@pytest.mark.parametrize("dtype", [np.bool_, np.uint8, np.float64])
def test_boolean_like_signals(dtype):
    prices, _, _ = base_case(20)
    prices = prices.astype(np.float64)
    entries = np.zeros(20, dtype=dtype)
    entries[[2, 9]] = 1
    exits = np.zeros(20, dtype=dtype)
    exits[5] = 1  # positive: closes the short leg B of a long spread
    got = spreadsim.pair_from_signals(prices, entries, exits)
    rows = model.pair_from_signals(prices, entries.astype(np.float64), exits.astype(np.float64))
    model.assert_same_rows(got, rows)
    assert got[0][2:5, 1].tolist() == [1.0, 1.0, 1.0] and got[0][5, 1] == 0.0


def test_prices_default_to_close_columns_and_extra_columns_are_ignored():
    prices, entries, exits = base_case(60)
    wide = np.column_stack([prices, prices[:, ::-1] * 7]).astype(np.float64)
    a = run(wide, entries, exits)
    b = run(np.zeros((60, 1)), entries, exits, prices=prices.astype(np.float64))
    c = run(wide, entries, exits, prices=wide)
    assert_same_arrays(a, b)
    assert_same_arrays(c, b)


def test_column_signals_read_like_one_dimensional():
    prices, entries, exits = base_case()
    got = run(prices.astype(np.float64), entries[:, None], exits[:, None].astype(float))
    assert_same_arrays(got, reference())


def index_error_text(array, index):
    try:
        array[index]
    except IndexError as e:
        return str(e)
    raise AssertionError("no IndexError")


@pytest.mark.parametrize("layout", ["int64", "float64", "subclass"])
def test_short_entries_raise_numpys_index_error(layout):
    entries = np.array([0, 0, 0], dtype=np.float64 if layout != "int64" else np.int64)
    if layout == "subclass":
        entries = entries.view(Tracked)
    with pytest.raises(IndexError) as e:
        spreadsim.pair_from_signals(np.ones((5, 2)), entries, np.zeros(5))
    assert str(e.value) == index_error_text(np.zeros(3), 3)
    assert "quorra.accel.spreadsim.pair_from_signals" in [f.name for f in
                                                         _tb_frames(e.value)]


def _tb_frames(exc):
    import traceback
    return traceback.extract_tb(exc.__traceback__)


def test_short_exits_raise_only_when_an_open_leg_reads_them():
    prices = np.ones((5, 2))
    spreadsim.pair_from_signals(prices, np.zeros(5), np.zeros(2))
    with pytest.raises(IndexError) as e:
        spreadsim.pair_from_signals(prices, np.array([0, 0, 1.0, 0, 0]), np.zeros(2))
    assert str(e.value) == index_error_text(np.zeros(2), 3)


@pytest.mark.parametrize("shape, index", [((5, 1), (0, 1)), ((3, 2), (3, 0))])
def test_short_prices_raise_at_first_read(shape, index):
    close, prices = np.ones((5, 2)), np.ones(shape)
    entries = np.zeros(5)
    entries[index[0]] = 1.0
    # No read, no error:
    spreadsim.pair_from_signals(close, np.zeros(5), np.zeros(5), prices=prices)
    with pytest.raises(IndexError) as e:
        spreadsim.pair_from_signals(close, entries, np.zeros(5), prices=prices)
    assert str(e.value) == index_error_text(prices, index)


@pytest.mark.parametrize("stops", [{"sl_stop": 1.0}, {}])
def test_open_pair_reads_every_price_row(stops):
    # An open leg reads its price on every held bar, with or without a rule
    # that needs it, so prices shorter than close never go unnoticed.
    prices = np.array([[100.0, 50.0]] * 2)
    close = np.ones((4, 2))
    with pytest.raises(IndexError, match="index 2 is out of bounds for axis 0 with size 2"):
        spreadsim.pair_from_signals(close, np.array([0, 1.0, 0, 0]), np.zeros(4),
                                    prices=prices, **stops)


@pytest.mark.parametrize("entries, error, text", [
    (None, TypeError, "'NoneType' object is not subscriptable"),
    (np.ones((3, 2)), ValueError, "truth value of an array with more than one element"),
    (np.array(1.0), IndexError, "too many indices"),
])
def test_unusable_entries_fail_at_first_read(entries, error, text):
    with pytest.raises(error, match=text):
        spreadsim.pair_from_signals(np.ones((3, 2)), entries, np.zeros(3))


def test_none_exits_fail_only_when_read():
    prices = np.array([[100.0, 50.0]] * 3)
    r0, _ = spreadsim.pair_from_signals(prices, np.zeros(3), None)
    assert (r0[:, 1] == 0).all()
    with pytest.raises(TypeError, match="not subscriptable"):
        spreadsim.pair_from_signals(prices, np.array([1.0, 0, 0]), None)


@pytest.mark.parametrize("value, error", [("abc", TypeError), (None, TypeError),
                                          (1 + 2j, TypeError)])
def test_object_prices_that_are_not_numbers_fail(value, error):
    prices = np.array([[value, 50.0]] * 2, dtype=object)
    with pytest.raises(error):
        spreadsim.pair_from_signals(prices, np.array([1.0, 0]), np.zeros(2))


def test_close_none_is_refused_before_other_work():
    with pytest.raises(TypeError, match="^Argument 'close' must not be None$"):
        spreadsim.pair_from_signals(None, None, None, margin_rate=None)


def test_zero_dimensional_close_has_no_bar_count():
    with pytest.raises(IndexError, match="tuple index out of range"):
        spreadsim.pair_from_signals(np.array(1.0), np.zeros(1), np.zeros(1))


def test_more_bars_than_32_bits_count_is_overflow():
    close = np.broadcast_to(np.zeros((1, 2)), (2**31, 2))
    with pytest.raises(OverflowError, match="^too many bars: 2147483648 exceeds 2147483647$"):
        spreadsim.pair_from_signals(close, np.zeros(1), np.zeros(1))


def test_read_only_and_python_path_inputs_are_left_unchanged():
    prices, entries, exits = base_case(40)
    prices = prices.astype(np.float64)
    before = [a.copy() for a in (prices, entries, exits)]
    for a in (prices, entries, exits):
        a.flags.writeable = False
    run(prices, entries, exits.astype(object))
    for a, b in zip((prices, entries, exits), before):
        assert a.tobytes() == b.tobytes()


def test_nan_prices_propagate_like_the_model():
    prices = np.array([[100.0, 50.0], [math.nan, 50.0], [100.0, math.nan], [90.0, 60.0]])
    entries = np.array([1.0, 0, 0, 0])
    for kw in ({}, {"sl_stop": 2.0, "tp_stop": 2.0}, {"sl_stop": 2.0, "sl_trail": 1}):
        got = spreadsim.pair_from_signals(prices, entries, np.array([0, 0, 0, -1.0]), **kw)
        model.assert_same_rows(got, model.pair_from_signals(
            prices, entries, np.array([0, 0, 0, -1.0]), **kw))
