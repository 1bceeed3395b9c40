"""pair_from_signals interface: binding, defaults, normalisation of the
per-leg settings and the lot ratio, the result arrays."""

import inspect
import math
import sys
import traceback
import types

import numpy as np
import pytest

import spreadsim_model as model
from quorra.accel import spreadsim
from support import assert_same_arrays

PARAMS = ["close", "entries", "exits", "size", "size_type", "margin_rate", "price_tick",
          "volume_multiple", "prices", "min_start_length", "init_cash", "commission",
          "com_type", "slip_point", "sl_stop", "tp_stop", "stop_mode", "sl_trail",
          "max_hold_bars", "leg_size_ratio"]

DEFAULTS = (1.0, 0, [0.1, 0.1], [1.0, 1.0], [5.0, 5.0], None, 1, 1000000.0, [1.0, 1.0], 1,
            0.0, 0.0, 0.0, 0, 0, 0, 1.0)

PRICES = np.array([[100.0, 50.0], [100.0, 50.0], [100.0, 50.0]])


def round_trip(**kw):
    """Long spread entered on bar 0 and closed by the exit signal on bar 1."""
    return spreadsim.pair_from_signals(PRICES, np.array([1.0, 0, 0]), np.array([0, -1.0, 0]),
                                       **kw)


def frames(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__)]


# --- module and function objects ---------------------------------------------

def test_module_binds_numpy_and_its_two_functions_in_order():
    public = [k for k in vars(spreadsim) if not k.startswith("__")]
    assert public == ["np", "calculate_size", "pair_from_signals"]
    assert spreadsim.np is np
    assert spreadsim.__doc__ is None
    assert sys.modules["quorra.accel.spreadsim"] is spreadsim


@pytest.mark.parametrize("name", ["calculate_size", "pair_from_signals"])
def test_function_names(name):
    f = getattr(spreadsim, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "quorra.accel.spreadsim")


def test_docstrings():
    assert spreadsim.calculate_size.__doc__ is None
    doc = spreadsim.pair_from_signals.__doc__
    for part in ("配对交易", "级联", "止损", "leg_size_ratio", "entries", "exits", "prices"):
        assert part in doc


def test_signature():
    sig = inspect.signature(spreadsim.pair_from_signals)
    assert list(sig.parameters) == PARAMS
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    defaults = [p.default for p in sig.parameters.values()]
    assert defaults[:3] == [inspect.Parameter.empty] * 3
    assert defaults[3:] == list(DEFAULTS)


def test_defaults_exact_and_shared():
    f = spreadsim.pair_from_signals
    assert f.__defaults__ == DEFAULTS
    assert [type(v) for v in f.__defaults__] == [type(v) for v in DEFAULTS]
    assert all(type(x) is float for i in (2, 3, 4, 8) for x in f.__defaults__[i])
    assert f.__kwdefaults__ is None
    lists = [f.__defaults__[i] for i in (2, 3, 4, 8)]
    assert len({id(x) for x in lists}) == 4
    round_trip(sl_stop=1.0)
    again = [f.__defaults__[i] for i in (2, 3, 4, 8)]
    assert all(a is b for a, b in zip(lists, again))
    assert lists == [[0.1, 0.1], [1.0, 1.0], [5.0, 5.0], [1.0, 1.0]]


# --- binding -----------------------------------------------------------------

def call_error(*args, **kw):
    with pytest.raises(TypeError) as e:
        spreadsim.pair_from_signals(*args, **kw)
    return str(e.value)


def test_binding_errors():
    c, s = PRICES, np.zeros(3)
    assert call_error(c) == "pair_from_signals() takes at least 3 positional arguments (1 given)"
    assert call_error() == "pair_from_signals() takes at least 3 positional arguments (0 given)"
    assert call_error(*([c, s, s] + list(DEFAULTS) + [0])) == \
        "pair_from_signals() takes at most 20 positional arguments (21 given)"
    assert call_error(c, s, size=1.0) == \
        "pair_from_signals() takes at least 3 positional arguments (2 given)"
    assert call_error(c, s, s, 1.0, close=c) == \
        "pair_from_signals() got multiple values for keyword argument 'close'"
    assert call_error(c, s, s, sizes=1) == \
        "pair_from_signals() got an unexpected keyword argument 'sizes'"


def test_keyword_call_matches_positional():
    e, x = np.array([1.0, 0, 0]), np.array([0, -1.0, 0])
    a = spreadsim.pair_from_signals(PRICES, e, x, 2.0, 0, [0.2, 0.3], 1.0, 5.0, None, 1, 1e6,
                                    [1.0, 2.0], 1, 0.0, 3.0)
    b = spreadsim.pair_from_signals(exits=x, entries=e, close=PRICES, commission=[1.0, 2.0],
                                    margin_rate=[0.2, 0.3], sl_stop=3.0, size=2.0)
    assert_same_arrays(a, b)


@pytest.mark.parametrize("param, value, got", [
    ("close", [[1.0, 2.0]], "list"), ("entries", (1,), "tuple"), ("exits", 0, "int"),
    ("prices", [[1.0, 2.0]], "list"),
])
def test_array_parameters_must_be_ndarrays(param, value, got):
    kw = dict(close=PRICES, entries=np.zeros(3), exits=np.zeros(3))
    kw[param] = value
    with pytest.raises(TypeError) as e:
        spreadsim.pair_from_signals(**kw)
    assert str(e.value) == \
        f"Argument '{param}' has incorrect type (expected numpy.ndarray, got {got})"
    assert frames(e.value)[-1] == "quorra.accel.spreadsim.pair_from_signals"


def test_scalar_conversions_come_before_array_type_tests():
    with pytest.raises(TypeError, match="an integer is required"):
        spreadsim.pair_from_signals([1], None, None, size_type="1")
    with pytest.raises(TypeError, match="must be real number|not 'str'"):
        spreadsim.pair_from_signals([1], None, None, init_cash="x", stop_mode=None)


@pytest.mark.parametrize("name", ["size_type", "min_start_length", "com_type", "stop_mode",
                                  "sl_trail", "max_hold_bars"])
def test_int32_settings_overflow(name):
    with pytest.raises(OverflowError):
        round_trip(**{name: 2**31})


# --- per-leg settings ----------------------------------------------------------

@pytest.mark.parametrize("commission, fees", [
    (2.5, (2.5, 2.5)), (3, (3.0, 3.0)), (True, (1.0, 1.0)), (np.float64(1.5), (1.5, 1.5)),
    ([2.0], (2.0, 2.0)), ((2.0, 3.0), (2.0, 3.0)), ((2.0, 3.0, 4.0), (2.0, 3.0)),
    (["2", "3.5"], (2.0, 3.5)), ("7", (7.0, 7.0)), (np.array([0.5, 4.0]), (0.5, 4.0)),
    (range(2, 9), (2.0, 3.0)), ({4.0: "a", 6.0: "b"}, (4.0, 6.0)),
])
def test_per_leg_setting_forms(commission, fees):
    r0, r1 = round_trip(commission=commission)
    # Entry and exit at the same prices: each leg loses exactly its exit fee.
    assert (-r0[1, 3], -r1[1, 3]) == fees
    assert r0[0, 5] == fees[0] + fees[1]


@pytest.mark.parametrize("name", ["margin_rate", "price_tick", "volume_multiple", "commission"])
@pytest.mark.parametrize("value", [0.2, [0.2], (0.2, 0.3, 0.4), ["0.2", "0.3"], [0.3, 0.2]])
def test_each_per_leg_setting_against_model(name, value):
    prices = np.array([[100.0, 50.0], [97.0, 52.0], [99.0, 51.0], [103.0, 47.0]])
    e, x = np.array([1.0, 0, -1, 0]), np.array([0, 0, 0, 1.0])
    kw = {name: value, "com_type": 0, "sl_stop": 10.0, "stop_mode": 1}
    got = spreadsim.pair_from_signals(prices, e, x, **kw)
    model.assert_same_rows(got, model.pair_from_signals(prices, e, x, **kw))


@pytest.mark.parametrize("name, value, error, text", [
    ("price_tick", None, TypeError, "object of type 'NoneType' has no len()"),
    ("price_tick", np.int64(2), TypeError, "object of type 'numpy.int64' has no len()"),
    ("price_tick", ["x", 1.0], ValueError, "could not convert string to float: 'x'"),
    ("price_tick", [1.0, 2.0, "unused but converted"], ValueError, "could not convert string"),
    ("price_tick", [None], TypeError,
     "float() argument must be a string or a real number, not 'NoneType'"),
    ("leg_size_ratio", [], IndexError, "list index out of range"),
    ("leg_size_ratio", (), IndexError, "tuple index out of range"),
    ("leg_size_ratio", ["x"], ValueError, "could not convert string to float: 'x'"),
    ("leg_size_ratio", [2, None], TypeError, "float() argument must be a string or a real number"),
])
def test_bad_per_leg_setting_or_lot_ratio_fails_at_call(name, value, error, text):
    with pytest.raises(error) as e:
        spreadsim.pair_from_signals(PRICES, np.zeros(3), np.zeros(3), **{name: value})
    assert text in str(e.value)


@pytest.mark.parametrize("name", ["margin_rate", "price_tick", "volume_multiple", "commission"])
@pytest.mark.parametrize("value", [[], ()])
def test_short_per_leg_setting_fails_at_first_entry(name, value):
    r0, _ = spreadsim.pair_from_signals(PRICES, np.zeros(3), np.zeros(3), **{name: value})
    assert (r0[:, 1] == 0).all()
    with pytest.raises(IndexError, match="^list index out of range$"):
        spreadsim.pair_from_signals(PRICES, np.array([0, 1.0, 0]), np.zeros(3), **{name: value})


class CountingFloat(float):
    calls = 0

    def __float__(self):
        CountingFloat.calls += 1
        return 2.0


class OneItem:
    """A one-element sequence that counts reads of its element."""

    def __init__(self):
        self.reads = 0

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i != 0:
            raise IndexError(i)
        self.reads += 1
        return CountingFloat(9.0)


def test_a_number_or_one_element_fetched_and_converted_once_per_leg():
    CountingFloat.calls = 0
    r0, r1 = round_trip(commission=CountingFloat(9.0))
    assert CountingFloat.calls == 2
    assert (r0[1, 3], r1[1, 3]) == (-2.0, -2.0)
    CountingFloat.calls, seq = 0, OneItem()
    round_trip(commission=seq)
    assert (seq.reads, CountingFloat.calls) == (2, 2)


class IntFloat:
    def __float__(self):
        return 3


def test_float_result_must_be_a_float():
    with pytest.raises(TypeError, match=r"^__float__ returned non-float \(type int\)$"):
        round_trip(commission=[IntFloat(), 1.0])


# --- lot ratio -------------------------------------------------------------------

@pytest.mark.parametrize("ratio, lots", [
    (1.0, (1.0, 1.0)), (2, (2.0, 1.0)), (2.9, (2.0, 1.0)), (True, (1.0, 1.0)),
    ([2, 3], (2.0, 3.0)), ((2,), (2.0, 1.0)), ((2, 3, "ignored"), (2.0, 3.0)),
    (["4", 5.5], (4.0, 5.0)), (np.array([2, 3]), (1.0, 1.0)), (np.int64(2), (1.0, 1.0)),
    ("3", (1.0, 1.0)), (None, (1.0, 1.0)), ({0: 5}, (1.0, 1.0)), (0.4, (1.0, 1.0)),
    (-3, (1.0, 1.0)), (math.nan, (1.0, 1.0)), (1e10, (1.0, 1.0)), (2147483647, (2147483647.0, 1.0)),
    (2147483648.0, (1.0, 1.0)), (np.float64(3.0), (3.0, 1.0)),
])
def test_lot_ratio_forms(ratio, lots):
    r0, r1 = spreadsim.pair_from_signals(PRICES[:1], np.array([1.0]), np.zeros(1),
                                         leg_size_ratio=ratio, init_cash=1e30)
    assert (r0[0, 2], r1[0, 2]) == lots


def test_ratio_scales_sized_lots():
    r0, r1 = spreadsim.pair_from_signals(PRICES[:1], np.array([1.0]), np.zeros(1), size=3.0,
                                         leg_size_ratio=[2.5, 0.5])
    assert (r0[0, 2], r1[0, 2]) == (7.0, 1.0)


# --- result arrays ---------------------------------------------------------------

def test_result_is_a_list_of_two_new_float64_arrays():
    result = round_trip()
    assert type(result) is list and len(result) == 2
    for r in result:
        assert type(r) is np.ndarray and r.dtype == np.float64 and r.shape == (3, 6)
        assert r.flags.c_contiguous and r.flags.writeable and r.base is None


def fake_numpy(zeros):
    return types.SimpleNamespace(zeros=zeros, float64=np.float64)


def test_result_arrays_come_from_the_modules_np_binding(monkeypatch):
    made = []

    def zeros(shape, dtype):
        a = np.full(shape, 7.0, dtype=dtype)
        made.append((shape, dtype, a))
        return a

    monkeypatch.setattr(spreadsim, "np", fake_numpy(zeros))
    result = round_trip()
    assert [(s, d) for s, d, _ in made] == [((3, 6), np.float64)] * 2
    assert result[0] is made[0][2] and result[1] is made[1][2]
    assert result[0][0].tolist() == [999998.0, 1.0, 1.0, 0.0, -2.0, 2.0]


@pytest.mark.parametrize("zeros, error, text", [
    (lambda s, dtype: np.zeros(s, np.float32), ValueError,
     "Buffer dtype mismatch, expected 'double_t' but got 'float'"),
    (lambda s, dtype: np.zeros(s, np.int64), ValueError, "Buffer dtype mismatch, expected 'double_t'"),
    (lambda s, dtype: np.zeros(s[0]), ValueError,
     "Buffer has wrong number of dimensions (expected 2, got 1)"),
    (lambda s, dtype: np.zeros((s[0] - 1, 6)), IndexError, "Out of bounds on buffer access (axis 0)"),
    (lambda s, dtype: np.zeros((s[0], 5)), IndexError, "Out of bounds on buffer access (axis 1)"),
    (lambda s, dtype: None, IndexError, "Out of bounds on buffer access (axis 0)"),
    (lambda s, dtype: np.broadcast_to(np.zeros(6), s), ValueError, "read-only"),
])
def test_unusable_result_arrays_are_refused(monkeypatch, zeros, error, text):
    monkeypatch.setattr(spreadsim, "np", fake_numpy(zeros))
    with pytest.raises(error) as e:
        round_trip()
    assert text in str(e.value)


def test_wider_result_arrays_are_written_in_their_first_six_columns(monkeypatch):
    monkeypatch.setattr(spreadsim, "np", fake_numpy(lambda s, dtype: np.full((4, 8), -1.0)))
    r0, _ = round_trip()
    assert r0[0].tolist() == [999998.0, 1.0, 1.0, 0.0, -2.0, 2.0, -1.0, -1.0]
    assert r0[3].tolist() == [-1.0] * 8


def test_missing_np_binding_is_name_error(monkeypatch):
    monkeypatch.delattr(spreadsim, "np")
    with pytest.raises(NameError, match="^name 'np' is not defined$"):
        round_trip()
