"""Differential properties of spreadsim: whole pair_from_signals calls and
calls of its calculate_size, drawn at random, against the slow model.
Results must agree bit for bit and exceptions by type and text."""

import numpy as np
from hypothesis import event, given
from hypothesis import strategies as st

import solosim_model
import spreadsim_model as model
from property_support import INF, LAYOUTS, NAN, PROFILE, laid_out, price_path, signal_matrix
from quorra.accel import spreadsim
from support import assert_same_arrays, assert_same_outcome, outcome

INT_SETTINGS = st.sampled_from([0, 0, 0, 1, 1, 1, 2, 2, 2, 3, -1, 0, 1, 2, 0, 1, 2, 0, 1, 2,
                                True, 1.9, -0.5, np.int64(2), 2**31, NAN])
NUMBERS = st.one_of(st.sampled_from([0.0, -0.0, 1.0, -1.0, 2.0, NAN, INF, -INF, 0.1, 0.5, 5.0,
                                     10.0, 100.0, 4000.0, 1e-200, 1e300]),
                    st.floats(allow_nan=True, allow_infinity=True), st.integers(-10**6, 10**6))

# Replacements bound to spreadsim.calculate_size.
SIZE_RULES = {
    "two": lambda price, size, size_type, cash, margin_rate, multiple: 2.0,
    "by_price": lambda price, size, size_type, cash, margin_rate, multiple: price / 25.0,
    "int": lambda price, size, size_type, cash, margin_rate, multiple: 3,
    "nan": lambda price, size, size_type, cash, margin_rate, multiple: NAN,
    "huge": lambda price, size, size_type, cash, margin_rate, multiple: 1e12,
}


def leg_setting(values):
    """A per-leg setting: a number, or a sequence of 1, 2 or 3 elements
    (numeric strings included), rarely an empty one."""
    scalar = st.sampled_from(values)
    element = st.one_of(scalar, scalar, scalar, scalar.map(str))
    listed = st.lists(element, min_size=1, max_size=3)
    return st.integers(0, 29).flatmap(
        lambda k: scalar if k < 20 else listed if k < 24 else listed.map(tuple) if k < 29
        else st.just([]))


RATIOS = st.sampled_from([1.0] * 12 + [2, 0.4, [2, 3], (2,), [1.5, 0.5], None, "x", 1e10,
                          np.array([2, 3]), np.int64(2), np.float64(3.0), [], (), [NAN, 2]])


@st.composite
def pair_calls(draw):
    n = draw(st.sampled_from([0, 1, 2, 3, 5, 8, 12, 16, 20]))
    cols = draw(st.sampled_from([2, 2, 2, 2, 2, 3, 1]))
    close = np.zeros((n, cols))
    for j in range(cols):
        close[:, j] = draw(price_path(n))
    call = {
        "close": laid_out(close, "f8", draw(LAYOUTS)),
        "entries": draw(signal_matrix((n,))),
        "exits": draw(signal_matrix((n,))),
        "size": draw(st.sampled_from([1.0, 1.0, 2, 0.5, 3.7, True, 10000.0, 0.3, "2", NAN])),
        "size_type": draw(INT_SETTINGS),
        "margin_rate": draw(leg_setting([0.1, 0.2, 0.05, 0.0])),
        "price_tick": draw(leg_setting([1.0, 0.5, 0.2, 2.0])),
        "volume_multiple": draw(leg_setting([5.0, 10.0, 1.0])),
        "min_start_length": draw(st.sampled_from([-5, 0, 1, 1, 1, 2, 3, 100])),
        "init_cash": draw(st.sampled_from([1e6] * 6 + [60.0, 500.0, 123456789.0, 1e-50, 3.5e38])),
        "commission": draw(leg_setting([1.0, 0.0, 0.0001, 2.5])),
        "com_type": draw(INT_SETTINGS),
        "slip_point": draw(st.sampled_from([0.0, 0.0, 0.1, 0.5, -1.0, NAN])),
        "sl_stop": draw(st.sampled_from([0.0, 2.0, 3.0, 0.02, 10.0, 3000.0, NAN, -1.0])),
        "tp_stop": draw(st.sampled_from([0.0, 2.0, 4.0, 0.05, 5000.0, NAN])),
        "stop_mode": draw(INT_SETTINGS),
        "sl_trail": draw(st.sampled_from([0, 1, True, 7])),
        "max_hold_bars": draw(st.sampled_from([0, 0, 1, 2, 5, -1])),
        "leg_size_ratio": draw(RATIOS),
    }
    if draw(st.booleans()):
        prices = np.zeros((n, 2))
        for j in range(2):
            prices[:, j] = draw(price_path(n))
        call["prices"] = laid_out(prices, draw(st.sampled_from(["f8", "f8", "f4", "i8"])),
                                  draw(LAYOUTS))
    return call, draw(st.sampled_from([None] * 5 + sorted(SIZE_RULES)))


def model_call(call, size_rule, **extra):
    """The model after the binding's conversions; `extra` goes to it as it is."""
    kwargs = dict(call)
    for name in ("size_type", "min_start_length", "com_type", "stop_mode", "sl_trail",
                 "max_hold_bars"):
        kwargs[name] = solosim_model.int32(kwargs[name])
    rows = model.pair_from_signals(**kwargs, sizer=SIZE_RULES[size_rule] if size_rule else None,
                                   **extra)
    return model.as_arrays(rows)


def engine_call(call, size_rule):
    saved = spreadsim.calculate_size
    try:
        if size_rule:
            spreadsim.calculate_size = SIZE_RULES[size_rule]
        return spreadsim.pair_from_signals(**call)
    finally:
        spreadsim.calculate_size = saved


@PROFILE
@given(pair_calls())
def test_pair_from_signals_matches_model(drawn):
    got = outcome(engine_call, *drawn)
    want = outcome(model_call, *drawn)
    event(f"{want[1].__name__}: {want[2][:40]}" if want[0] == "raised" else
          "empty" if drawn[0]["close"].shape[0] == 0 else
          "traded" if np.any(want[1][0][:, 1]) else "no trade")
    assert_same_outcome(got, want, assert_same_arrays)
