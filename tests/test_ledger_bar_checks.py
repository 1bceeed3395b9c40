"""The checks of ledger.solo's and ledger.pair's bars and choices, each
with its message and in its order, on every read path (dtype and layout);
and two offences the checks of the signals and settings must catch on
those paths too: an int8 signal of 2 and a price_tick of 0."""

import numpy as np
import pytest

from property_support import laid_out
from quorra.accel import ledger
from test_ledger_properties import assert_same_result, random_run

N = 6
CLOSE = np.full((N, 2), 100.0)
BARS = dict(open=np.full((N, 2), 100.0), high=np.full((N, 2), 101.0), low=np.full((N, 2), 99.0))
PATHS = [("f8", "C"), ("f8", "F"), ("f8", "strided"), ("f8", "unaligned"), ("f8", "swapped"),
         ("f8", "subclass"), ("f4", "C"), ("i8", "C"), ("i8", "reversed")]


def call(f, **change):
    """A clean call of `f` with `change` applied, the signals zero."""
    signals = np.zeros((N, 2)) if f is ledger.solo else np.zeros(N)
    args = dict(close=CLOSE, entries=signals, exits=signals, **BARS)
    args.update(change)
    return args


def set_at(array, index, value, dtype="f8", layout="C"):
    out = np.array(array, dtype=np.float64)
    out[index] = value
    return laid_out(out, dtype, layout)


def raises(exc, text, f, **kwargs):
    with pytest.raises(exc) as info:
        f(**kwargs)
    assert str(info.value) == text


FUNCTIONS = pytest.mark.parametrize("f", [ledger.solo, ledger.pair], ids=["solo", "pair"])


@FUNCTIONS
@pytest.mark.parametrize("given, text", [
    (("high",), "give all three of open, high and low, or none: got high only"),
    (("open", "low"), "give all three of open, high and low, or none: got open and low only"),
    (("open", "high"), "give all three of open, high and low, or none: got open and high only"),
])
def test_all_three_or_none(f, given, text):
    args = call(f)
    for name in ("open", "high", "low"):
        if name not in given:
            args[name] = None
    raises(ValueError, text, f, **args)


@FUNCTIONS
@pytest.mark.parametrize("name", ["open", "high", "low"])
def test_shape_and_type(f, name):
    raises(ValueError, f"{name} has shape (5, 2); it must have shape (6, 2)", f,
           **call(f, **{name: BARS[name][:5]}))
    raises(ValueError, f"{name} has shape (6,); it must have shape (6, 2)", f,
           **call(f, **{name: BARS[name][:, 0]}))
    raises(TypeError, f"{name} must hold real numbers (bool, integers or floats), got dtype <U1",
           f, **call(f, **{name: np.full((N, 2), "1")}))


# (the array, the offending bar and value, the message)
VALUE_ERRORS = [
    ("open", (2, 1), np.nan, "open[2, 1] is nan; prices must be finite and > 0"),
    ("open", (0, 0), 0.0, "open[0, 0] is 0.0; prices must be finite and > 0"),
    ("high", (5, 0), np.inf, "high[5, 0] is inf; prices must be finite and > 0"),
    ("low", (3, 1), -1.0, "low[3, 1] is -1.0; prices must be finite and > 0"),
    ("high", (4, 1), 99.0, "high[4, 1] is 99.0, below the bar's close 100.0"),
    ("low", (1, 0), 101.0, "low[1, 0] is 101.0, above the bar's close 100.0"),
]
# every case on every path an integer array can hold it on
VALUE_CASES = [(dtype, layout) + case for dtype, layout in PATHS for case in VALUE_ERRORS
               if dtype != "i8" or np.isfinite(case[2])]


@FUNCTIONS
@pytest.mark.parametrize("dtype, layout, name, at, value, text", VALUE_CASES)
def test_value_checks(f, name, at, value, text, dtype, layout):
    raises(ValueError, text, f, **call(f, **{name: set_at(BARS[name], at, value, dtype, layout)}))


@FUNCTIONS
def test_the_message_names_the_value_as_given(f):
    high = set_at(np.full((13, 4), 101.0), (12, 3), 99.5)
    args = dict(close=np.full((13, 4), 100.0), open=np.full((13, 4), 100.0), high=high,
                low=np.full((13, 4), 99.0))
    if f is ledger.solo:
        args.update(entries=np.zeros((13, 4)), exits=np.zeros((13, 4)))
        raises(ValueError, "high[12, 3] is 99.5, below the bar's close 100.0", f, **args)
    else:
        args = {k: v[:, 2:] for k, v in args.items()}
        args.update(entries=np.zeros(13), exits=np.zeros(13))
        raises(ValueError, "high[12, 1] is 99.5, below the bar's close 100.0", f, **args)


@FUNCTIONS
@pytest.mark.parametrize("open_value, text", [
    (102.0, "high[2, 0] is 101.0, below the bar's open 102.0"),
    (98.0, "low[2, 0] is 99.0, above the bar's open 98.0"),
])
def test_high_and_low_against_the_open(f, open_value, text):
    raises(ValueError, text, f, **call(f, open=set_at(BARS["open"], (2, 0), open_value)))


@FUNCTIONS
def test_first_offence_in_parameter_then_row_major_order(f):
    bad_close = set_at(CLOSE, (4, 1), -1.0)
    bad_open = set_at(BARS["open"], (3, 0), np.nan)
    bad_high = set_at(set_at(BARS["high"], (1, 1), 50.0), (0, 0), 60.0)
    bad_low = set_at(BARS["low"], (0, 0), -5.0)
    args = call(f, close=bad_close, open=bad_open, high=bad_high, low=bad_low)
    raises(ValueError, "close[4, 1] is -1.0; prices must be finite and > 0", f, **args)
    args["close"] = CLOSE
    raises(ValueError, "open[3, 0] is nan; prices must be finite and > 0", f, **args)
    args["open"] = BARS["open"]
    raises(ValueError, "high[0, 0] is 60.0, below the bar's close 100.0", f, **args)
    args["high"] = BARS["high"]
    raises(ValueError, "low[0, 0] is -5.0; prices must be finite and > 0", f, **args)
    # the choices and the settings before any value; the shapes before both
    raises(ValueError, "both_hit must be 'stop_loss' or 'take_profit', got 'tp'", f,
           **dict(args, both_hit="tp"))
    raises(ValueError, "size is 0.0; size must be finite and > 0", f,
           **dict(args, both_hit="tp", size=0))
    raises(ValueError, "low has shape (5, 2); it must have shape (6, 2)", f,
           **dict(args, both_hit="tp", size=0, low=BARS["low"][:5]))


@FUNCTIONS
@pytest.mark.parametrize("name, value, text", [
    ("both_hit", "takeprofit", "both_hit must be 'stop_loss' or 'take_profit', got 'takeprofit'"),
    ("both_hit", None, "both_hit must be 'stop_loss' or 'take_profit', got None"),
    ("both_hit", b"stop_loss", "both_hit must be 'stop_loss' or 'take_profit', got b'stop_loss'"),
    ("opposite_entry", "Reverse", "opposite_entry must be 'ignore' or 'reverse', got 'Reverse'"),
    ("opposite_entry", 1, "opposite_entry must be 'ignore' or 'reverse', got 1"),
    ("fill_at", "close", "fill_at must be 'prices' or 'open', got 'close'"),
    ("fill_at", None, "fill_at must be 'prices' or 'open', got None"),
])
def test_choices(f, name, value, text):
    raises(ValueError, text, f, **call(f, **{name: value}))
    # without bars too
    raises(ValueError, text, f, **call(f, open=None, high=None, low=None, **{name: value}))


class Text(str):
    pass


@FUNCTIONS
def test_choices_take_str_subclasses(f):
    f(**call(f, both_hit=Text("take_profit"), opposite_entry=Text("reverse"),
             fill_at=Text("open")))


NO_BARS = "fill_at='open' needs the bars: give open, high and low"
NO_PRICES = "fill_at='open' takes no prices: the market orders fill at the opens"


@FUNCTIONS
@pytest.mark.parametrize("change, text", [
    (dict(open=None, high=None, low=None), NO_BARS),
    (dict(open=None, high=None, low=None, prices=CLOSE), NO_BARS),
    (dict(prices=CLOSE), NO_PRICES),
    (dict(prices=CLOSE, both_hit="tp"), "both_hit must be 'stop_loss' or 'take_profit', got 'tp'"),
    # the open is checked as the bars' open, before the settings' values run
    (dict(open=set_at(BARS["open"], (2, 0), np.nan)), "open[2, 0] is nan; prices must be finite "
                                                       "and > 0"),
])
def test_fill_at_open_needs_the_bars_and_no_prices(f, change, text):
    raises(ValueError, text, f, **call(f, fill_at="open", **change))


# ---- offences the signal and setting checks must catch on every path ----

@FUNCTIONS
@pytest.mark.parametrize("layout", ["C", "F", "strided", "reversed", "unaligned", "subclass"])
@pytest.mark.parametrize("which", ["entries", "exits"])
@pytest.mark.parametrize("with_bars", [False, True])
def test_int8_signal_of_two(f, which, layout, with_bars):
    signals = np.zeros((N, 2)) if f is ledger.solo else np.zeros(N)
    at = (3, 1) if f is ledger.solo else 3
    args = call(f, **{which: set_at(signals, at, 2, "i1", layout)})
    if not with_bars:
        args.update(open=None, high=None, low=None)
    where = "[3, 1]" if f is ledger.solo else "[3]"
    raises(ValueError, f"{which}{where} is 2.0; signals must be -1, 0 or 1", f, **args)


@FUNCTIONS
@pytest.mark.parametrize("tick, text", [
    (0, "price_tick is 0.0; price_tick must be finite and > 0"),
    (0.0, "price_tick is 0.0; price_tick must be finite and > 0"),
    ([1.0, 0.0], "price_tick[1] is 0.0; price_tick must be finite and > 0"),
    (np.array([0.0, 1.0]), "price_tick[0] is 0.0; price_tick must be finite and > 0"),
    (np.float32(0), "price_tick is 0.0; price_tick must be finite and > 0"),
])
def test_price_tick_of_zero(f, tick, text):
    raises(ValueError, text, f, **call(f, price_tick=tick))


@FUNCTIONS
@pytest.mark.parametrize("fill_at", ["prices", "open"])
@pytest.mark.parametrize("dtype, layout", PATHS)
def test_bars_of_any_real_dtype_and_layout_give_the_same_run(f, dtype, layout, fill_at):
    rng = np.random.default_rng(3)
    close = np.round(100.0 + np.cumsum(rng.choice([-2.0, 0.0, 2.0], size=(40, 2)), axis=0))
    o = np.round(close + rng.choice([-3.0, 0.0, 3.0], size=close.shape))
    h = np.maximum(o, close) + rng.choice([0.0, 2.0], size=close.shape)
    lo = np.minimum(o, close) - rng.choice([0.0, 2.0], size=close.shape)
    signals = rng.choice([0.0, 1.0, -1.0], p=[0.8, 0.1, 0.1], size=(40, 2))
    if f is ledger.pair:
        signals = signals[:, 0]
    base = dict(close=close, entries=signals, exits=signals[::-1].copy(), sl_stop=2.0,
                tp_stop=3.0, sl_trail=1, opposite_entry="reverse", fill_at=fill_at)
    want = f(**base, open=o, high=h, low=lo, histories=True)
    got = f(**base, open=laid_out(o, dtype, layout), high=laid_out(h, dtype, layout),
            low=laid_out(lo, dtype, layout), histories=True)
    assert len(want["trades"]) > 3
    assert want["trades"].tobytes() == got["trades"].tobytes()
    for a, b in zip(want["histories"], got["histories"]):
        assert a.tobytes() == b.tobytes()


@pytest.mark.parametrize("shape", [(0, 3), (4, 0), (0, 0)])
def test_empty_runs_with_bars(shape):
    close = np.full(shape, 100.0)
    signals = np.zeros(shape)
    r = ledger.solo(close, signals, signals, open=close, high=close, low=close,
                    opposite_entry="reverse", histories=True)
    assert len(r["trades"]) == 0 and r["equity"].shape == (shape[0],)
    assert len(r["histories"]) == shape[1]


@FUNCTIONS
@pytest.mark.parametrize("settings", [dict(sl_stop=3.0, tp_stop=5.0),
                                      dict(sl_stop=2.0, sl_trail=1, tp_stop=2.0)])
def test_both_hit_plays_no_part_without_bars(f, settings):
    close, entries, exits = random_run(5, 3000, 2)
    if f is ledger.pair:
        entries, exits = entries[:, 0], exits[:, 1]
    slot = "contract" if f is ledger.solo else "leg"
    want = f(close, entries, exits, **settings)
    assert len(want["trades"]) > 20
    assert_same_result(f(close, entries, exits, **settings, both_hit="take_profit"), want, slot)
    assert_same_result(f(close, entries, exits, **settings, both_hit="stop_loss",
                         opposite_entry="ignore", open=None, high=None, low=None), want, slot)
