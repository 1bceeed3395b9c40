"""Differential properties of solosim: whole from_signals calls and calls of
its sizing and commission rules, drawn at random, against the slow model.
Results must agree bit for bit and exceptions by type and text."""

import math

import numpy as np
import pytest
from hypothesis import event, given
from hypothesis import strategies as st

import solosim_model as model
from property_support import INF, LAYOUTS, NAN, PROFILE, laid_out, price_path, signal_matrix
from quorra.accel import solosim, spreadsim
from support import assert_same_arrays, assert_same_outcome, native_callback, outcome

EDGE = [0.0, -0.0, 1.0, -1.0, 2.0, NAN, INF, -INF]
NUMBERS = st.one_of(st.sampled_from(EDGE + [0.1, 0.5, 5.0, 10.0, 100.0, 4000.0, 1e-200, 1e300]),
                    st.floats(allow_nan=True, allow_infinity=True), st.integers(-10**6, 10**6))
# Integer settings: mostly valid scheme numbers, sometimes values the
# integer conversion truncates or refuses.
INT_SETTINGS = st.sampled_from([0, 0, 0, 1, 1, 1, 2, 2, 2, 3, -1, 0, 1, 2, 0, 1, 2, 0, 1, 2,
                                True, 1.9, -0.5, np.int64(2), 2**31, NAN])

# Native stop callbacks as functions of their arguments (the block as a
# list), each declining in some bars.
CALLBACK_RULES = {
    "nothing": lambda bar, d, entry, price, ref, dist, tick, mult, size, block, n: 0.0,
    "nan": lambda bar, d, entry, price, ref, dist, tick, mult, size, block, n: math.nan,
    "negative": lambda bar, d, entry, price, ref, dist, tick, mult, size, block, n: -1.0,
    "ticks": lambda bar, d, entry, price, ref, dist, tick, mult, size, block, n:
        (block[0] if n else 2.0) * tick,
    "alternating": lambda bar, d, entry, price, ref, dist, tick, mult, size, block, n:
        dist + 1.0 if bar % 2 else 0.0,
    "from_entry": lambda bar, d, entry, price, ref, dist, tick, mult, size, block, n:
        abs(price - entry) * 0.5 + sum(block),
}


def native(rule):
    """A ctypes callback around a modelled rule; keep it alive for the run."""
    fn = CALLBACK_RULES[rule]

    def trampoline(bar, direction, entry, price, ref, dist, tick, mult, size, args, n_args):
        block = [args[k] for k in range(n_args)]
        return fn(bar, direction, entry, price, ref, dist, tick, mult, size, block, n_args)

    return native_callback(trampoline)


def setting(values, m):
    """A per-contract setting: a scalar for every contract, or a sequence
    whose length is usually m (sometimes one short, to fail late)."""
    scalar = st.sampled_from(values)
    seq_len = st.sampled_from([m] * 12 + [m + 1, max(m - 1, 0)])
    return st.one_of(
        scalar, scalar,
        seq_len.flatmap(lambda k: st.lists(scalar, min_size=k, max_size=k)),
        seq_len.flatmap(lambda k: st.lists(scalar, min_size=k, max_size=k).map(tuple)))


# Replacements bound to solosim.calculate_size / calculate_commission.
SIZE_RULES = {
    "double": lambda price, size, size_type, cash, margin_rate, multiple: 2.0,
    "by_cash": lambda price, size, size_type, cash, margin_rate, multiple: float(cash > 1e5) + 1,
    "int": lambda price, size, size_type, cash, margin_rate, multiple: 3,
    "numpy": lambda price, size, size_type, cash, margin_rate, multiple: np.float64(size),
}
COMMISSION_RULES = {
    "flat": lambda price, size, multiple, commission, com_type, tick: 2.5,
    "rate": lambda price, size, multiple, commission, com_type, tick: price * size * 1e-4,
    "bool": lambda price, size, multiple, commission, com_type, tick: True,
}


def price_matrix(draw, n, m):
    """An (n, m) float64 matrix, one drawn price path per column."""
    out = np.zeros((n, m))
    for j in range(m):
        out[:, j] = draw(price_path(n))
    return out


@st.composite
def backtests(draw):
    n = draw(st.sampled_from([0, 1, 2, 3, 5, 8, 12, 16, 20]))
    m = draw(st.sampled_from([0, 1, 1, 2, 2, 3]))
    close = laid_out(price_matrix(draw, n, m), "f8", draw(LAYOUTS))
    call = {
        "close": close,
        "entries": draw(signal_matrix((n, m))),
        "exits": draw(signal_matrix((n, m))),
        "size": draw(setting([1.0, 2, 0.5, 3.7, True, 10000.0, 0.3], m)),
        "size_type": draw(INT_SETTINGS),
        "margin_rate": draw(setting([0.1, 0.2, 0.05, 0.0], m)),
        "price_tick": draw(setting([1.0, 0.5, 0.2, 2.0], m)),
        "volume_multiple": draw(setting([5.0, 10.0, 1.0, 0.0], m)),
        "min_start_length": draw(st.sampled_from([-5, 0, 1, 1, 1, 2, 3, 100])),
        "init_cash": draw(st.sampled_from([1e6] * 6 + [60.0, 500.0, 123456789.0, 1e-50, 3.5e38])),
        "commission": draw(setting([1, 1.0, 0.0, 0.0001, 2.5], m)),
        "com_type": draw(INT_SETTINGS),
        "slip_point": draw(st.sampled_from([0.0, 0.0, 0.1, 0.5, -1.0, NAN])),
        "sl_stop": draw(st.sampled_from([0.0, 2.0, 3.0, 0.02, 10.0, 3000.0, NAN, -1.0])),
        "tp_stop": draw(st.sampled_from([0.0, 2.0, 4.0, 0.05, 5000.0, NAN])),
        "stop_mode": draw(INT_SETTINGS),
        "sl_trail": draw(st.sampled_from([0, 1, True, 7])),
        "max_hold_bars": draw(st.sampled_from([0, 0, 1, 2, 5, -1])),
    }
    if draw(st.booleans()):
        call["prices"] = laid_out(price_matrix(draw, n, m),
                                  draw(st.sampled_from(["f8", "f8", "f4", "i8"])), draw(LAYOUTS))
    if n and m and draw(st.integers(0, 14)) == 0:
        # Text among Python-object prices is no number to the engine.
        text = price_matrix(draw, n, m).astype(object)
        text[draw(st.integers(0, n - 1)), draw(st.integers(0, m - 1))] = "101.5"
        call["prices"] = text
    args = st.sampled_from([(), (), (1, 2.5), ([1, 2], 3), (np.array([0.5, 1.5]),), ((),)])

    call["sl_callback_args"] = draw(args)
    call["tp_callback_args"] = draw(args)
    rules = st.sampled_from([None, None] + sorted(CALLBACK_RULES))
    return call, draw(rules), draw(rules), draw(st.sampled_from([None] * 4 + sorted(SIZE_RULES))), \
        draw(st.sampled_from([None] * 4 + sorted(COMMISSION_RULES)))


def model_call(call, sl_rule, tp_rule, size_rule, commission_rule, **extra):
    """The model with the binding's conversions of the integer settings
    applied first, in parameter order (they may fail as the binding does).
    `extra` goes to the model as it is (its recorder)."""
    kwargs = dict(call)
    for name in ("size_type", "min_start_length", "com_type", "stop_mode", "sl_trail",
                 "max_hold_bars"):
        kwargs[name] = model.int32(kwargs[name])
    return model.from_signals(
        **kwargs,
        sl_callback=CALLBACK_RULES[sl_rule] if sl_rule else None,
        tp_callback=CALLBACK_RULES[tp_rule] if tp_rule else None,
        size_fn=SIZE_RULES[size_rule] if size_rule else None,
        commission_fn=COMMISSION_RULES[commission_rule] if commission_rule else None, **extra)


def engine_call(call, sl_rule, tp_rule, size_rule, commission_rule):
    keep = []
    addresses = {}
    for key, rule in (("sl_callback_addr", sl_rule), ("tp_callback_addr", tp_rule)):
        if rule:
            cfunc, addresses[key] = native(rule)
            keep.append(cfunc)
    saved = solosim.calculate_size, solosim.calculate_commission
    try:
        if size_rule:
            solosim.calculate_size = SIZE_RULES[size_rule]
        if commission_rule:
            solosim.calculate_commission = COMMISSION_RULES[commission_rule]
        return solosim.from_signals(**call, **addresses)
    finally:
        solosim.calculate_size, solosim.calculate_commission = saved


@PROFILE
@given(backtests())
def test_from_signals_matches_model(drawn):
    got = outcome(engine_call, *drawn)
    want = outcome(model_call, *drawn)
    event(f"{want[1].__name__}: {want[2][:40]}" if want[0] == "raised" else
          "empty" if drawn[0]["close"].size == 0 else
          "traded" if any(np.any(r[:, 1]) for r in want[1]) else "no trade")
    assert_same_outcome(got, want, assert_same_arrays)


# spreadsim's calculate_size is built from the same source: both are checked.
@pytest.mark.parametrize("calculate_size", [solosim.calculate_size, spreadsim.calculate_size],
                         ids=["solosim", "spreadsim"])
@PROFILE
@given(values=st.lists(NUMBERS, min_size=6, max_size=6), size_type=INT_SETTINGS)
def test_calculate_size_matches_model(calculate_size, values, size_type):
    price, size, _, cash, margin_rate, multiple = values
    got = outcome(calculate_size, price, size, size_type, cash, margin_rate, multiple)
    want = outcome(lambda: model.calculate_size(float(price), float(size), model.int32(size_type),
                                                float(cash), float(margin_rate), float(multiple)))
    assert_same_outcome(got, want, lambda g, w: (type(g), g.hex()) == (float, w.hex()))


@PROFILE
@given(st.lists(NUMBERS, min_size=6, max_size=6), INT_SETTINGS)
def test_calculate_commission_matches_model(values, com_type):
    price, size, multiple, commission, _, tick = values
    got = outcome(solosim.calculate_commission, price, size, multiple, commission, com_type, tick)
    want = outcome(lambda: model.calculate_commission(
        float(price), float(size), float(multiple), float(commission), model.int32(com_type),
        float(tick)))
    assert_same_outcome(got, want, lambda g, w: (type(g), float(g).hex()) == (float, w.hex()))
