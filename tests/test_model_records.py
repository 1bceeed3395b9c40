"""The trade records of the slow models (from_signals_recorded and
pair_from_signals_recorded): hand-made scenarios with every exit reason,
refusals, open positions and marked values, and properties tying the record
to the histories of the same run."""

import math

import numpy as np
import pytest
from hypothesis import assume, event, given
from hypothesis import strategies as st

import solosim_model as solo
import spreadsim_model as pair
import test_properties_solosim as solo_props
import test_properties_spreadsim as pair_props
from property_support import PROFILE, price_path
from solosim_model import (EXIT_SIGNAL, HOLDING_LIMIT, OPEN, OTHER_LEG, STOP_LOSS, TAKE_PROFIT)
from support import assert_same_arrays, assert_same_outcome, outcome, same_bits

EQ, POS, SIZE, PNL, CUM, FEE = range(6)
CASH = 1000000.0
NAN = math.nan
KEYS = ["contract", "entry_bar", "exit_bar", "direction", "lots", "entry_price", "exit_price",
        "entry_fee", "exit_fee", "pnl", "exit_reason"]


def trade(contract, entry_bar, direction, entry_price, lots=1.0, fee=1.0, exit_bar=-1,
          exit_price=NAN, exit_fee=0.0, pnl=NAN, exit_reason=OPEN):
    return dict(contract=contract, entry_bar=entry_bar, exit_bar=exit_bar, direction=direction,
                lots=lots, entry_price=entry_price, exit_price=exit_price, entry_fee=fee,
                exit_fee=exit_fee, pnl=pnl, exit_reason=exit_reason)


def closed(contract, entry_bar, direction, entry_price, exit_bar, exit_price, reason, lots=1.0,
           fee=1.0, multiple=5.0):
    gain = exit_price - entry_price if direction == 1 else entry_price - exit_price
    return trade(contract, entry_bar, direction, entry_price, lots, fee, exit_bar, exit_price,
                 fee, (gain * lots) * multiple - fee, reason)


def assert_trades(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert list(g) == KEYS
        for key in ("contract", "entry_bar", "exit_bar", "direction", "exit_reason"):
            assert type(g[key]) is int and g[key] == w[key], (key, g, w)
        assert same_bits([g[k] for k in KEYS], [w[k] for k in KEYS]), (g, w)


def column(values):
    return np.array(values, dtype=np.float64).reshape(len(values), -1)


# ---- consistency of a record with the histories of its run ----

def open_bars(trades, j, n):
    """Per bar: is contract (leg) j's trade open at the end of it."""
    held = [False] * n
    for t in (t for t in trades if t["contract"] == j):
        for i in range(t["entry_bar"], t["exit_bar"] if t["exit_bar"] >= 0 else n):
            assert not held[i]  # one position at a time
            held[i] = True
    return held


def finite(*xs):
    return all(math.isfinite(x) for x in xs)


def assert_consistent(histories, record, close, multiples, entries, exits, start, max_hold,
                      spread=False, at_open=False):
    """What the histories of a run (n bars, m contracts or legs) show about
    its trades. `entries(i, j)` / `exits(i, j)` read the signals. `at_open`:
    market orders at the opens, so a trade may close on its entry bar."""
    m = len(histories)
    n = len(record["equity"])
    trades = record["trades"]
    assert [(t["entry_bar"], t["contract"]) for t in trades] == \
        sorted({(t["entry_bar"], t["contract"]) for t in trades})
    if m:
        assert same_bits(record["equity"], histories[-1][:, EQ])
        if n:
            assert same_bits([record["total_fee"]], [histories[-1][-1, FEE]])
    fees = sum(t["entry_fee"] + t["exit_fee"] for t in trades)
    if finite(fees, record["total_fee"]):
        assert math.isclose(fees, record["total_fee"], rel_tol=1e-9, abs_tol=1e-9)
    marks = [0.0] * n
    for j, h in enumerate(histories):
        held = open_bars(trades, j, n)
        assert held == [bool(p != 0) for p in h[:, POS]]
        exit_bars = set()
        for t in (t for t in trades if t["contract"] == j):
            i, k = t["entry_bar"], t["exit_bar"]
            assert i >= start - 1 and t["direction"] in (1, -1)
            assert (at_open and k == i) or (t["direction"] == 1) == (h[i, POS] == 1)
            assert same_bits([t["lots"]], [h[i, SIZE]])
            if k == -1:
                assert t["exit_reason"] == OPEN and held[-1]
                assert same_bits([t["exit_price"], t["exit_fee"], t["pnl"]], [NAN, 0.0, NAN])
                assert max_hold <= 0 or n - 1 - i < max_hold
                last = n - 1
            else:
                exit_bars.add(k)
                assert (k >= i if at_open else k > i) and same_bits([t["pnl"]], [h[k, PNL]])
                assert t["exit_reason"] in ((1, 2, 3, 4, 5) if spread else (1, 2, 3, 4))
                assert max_hold <= 0 or k - i <= max_hold
                assert (t["exit_reason"] == HOLDING_LIMIT) <= (k - i == max_hold)
                if t["exit_reason"] == EXIT_SIGNAL:
                    x = exits(k, j)
                    assert (x < 0) if t["direction"] == 1 else (x > 0)
                    assert spread or x == -t["direction"]
                last = k - 1
            for b in range(i, last + 1):
                p = float(close[b, j])
                marks[b] += ((p - t["entry_price"] if t["direction"] == 1 else
                              t["entry_price"] - p) * t["lots"]) * multiples[j]
        assert all(h[i, PNL] == 0.0 for i in range(n) if i not in exit_bars)
        # refused: an entry signal on a flat contract (leg) that left it flat
        entered = {t["entry_bar"] for t in trades if t["contract"] == j}
        refused = sum(1 for i in range(max(start - 1, 0), n)
                      if (i == 0 or h[i - 1, POS] == 0) and entries(i, j) != 0 and h[i, POS] == 0
                      and i not in entered)
        assert record["refused"][j] == refused
    for i in range(n):
        if not any(h[i, POS] != 0 for h in histories):
            assert same_bits([record["value"][i]], [record["equity"][i]])
        elif finite(marks[i], record["value"][i], record["equity"][i]):
            assert math.isclose(record["value"][i], record["equity"][i] + marks[i],
                                rel_tol=1e-9, abs_tol=1e-6 * abs(record["equity"][i]) + 1e-9)


def solo_run(close, entries, exits=None, **kwargs):
    close, entries = column(close), column(entries)
    exits = np.zeros_like(entries) if exits is None else column(exits)
    histories, record = solo.from_signals_recorded(close, entries, exits, **kwargs)
    assert_same_arrays(histories, solo.from_signals(close, entries, exits, **kwargs))
    assert_consistent(histories, record, close,
                      solo.setting_list(kwargs.get("volume_multiple", 5.0), close.shape[1]),
                      lambda i, j: entries[i, j], lambda i, j: exits[i, j],
                      kwargs.get("min_start_length", 1), kwargs.get("max_hold_bars", 0))
    return histories, record


def pair_run(close, entries, exits=None, **kwargs):
    close, entries = np.array(close, dtype=np.float64), np.array(entries, dtype=np.float64)
    exits = np.zeros_like(entries) if exits is None else np.array(exits, dtype=np.float64)
    rows, record = pair.pair_from_signals_recorded(close, entries, exits, **kwargs)
    histories = pair.as_arrays(rows)
    assert_same_arrays(histories, pair.as_arrays(pair.pair_from_signals(close, entries, exits,
                                                                        **kwargs)))
    assert_consistent(histories, record, close, pair.normalise(kwargs.get("volume_multiple", 5.0)),
                      lambda i, j: entries[i], lambda i, j: exits[i],
                      kwargs.get("min_start_length", 1), kwargs.get("max_hold_bars", 0), True)
    return histories, record


# ---- solosim scenarios ----

SLIP = 0.5  # exact in single precision

# (direction, prices, exit signals, settings, exit bar, fill before slippage, reason)
SOLO_EXITS = [
    (1, [100.0, 95.0, 85.0], None, dict(sl_stop=10), 2, lambda e: e - 10.0, STOP_LOSS),
    (-1, [100.0, 105.0, 115.0], None, dict(sl_stop=10), 2, lambda e: e + 10.0, STOP_LOSS),
    (1, [100.0, 105.0, 125.0], None, dict(tp_stop=20), 2, lambda e: e + 20.0, TAKE_PROFIT),
    (-1, [100.0, 95.0, 75.0], None, dict(tp_stop=20), 2, lambda e: e - 20.0, TAKE_PROFIT),
    (1, [100.0, 104.0, 107.0], None, dict(max_hold_bars=2), 2, lambda e: 107.0, HOLDING_LIMIT),
    (-1, [100.0, 96.0, 93.0], None, dict(max_hold_bars=2), 2, lambda e: 93.0, HOLDING_LIMIT),
    (1, [100.0, 103.0, 99.0], None, dict(max_hold_bars=1), 1, lambda e: 103.0, HOLDING_LIMIT),
    (1, [100.0, 104.0, 107.0], [0, 0, -1], {}, 2, lambda e: 107.0, EXIT_SIGNAL),
    (-1, [100.0, 96.0, 93.0], [0, 0, 1], {}, 2, lambda e: 93.0, EXIT_SIGNAL),
    # both stops set, each price path reaching one of them on a later bar
    (1, [100.0, 115.0, 89.0], None, dict(sl_stop=10, tp_stop=20), 2, lambda e: e - 10.0,
     STOP_LOSS),
    (1, [100.0, 91.0, 121.0], None, dict(sl_stop=10, tp_stop=20), 2, lambda e: e + 20.0,
     TAKE_PROFIT),
    # a negative tick puts both levels past the price at once: the stop-loss wins
    (1, [100.0, 100.0], None, dict(sl_stop=10, tp_stop=20, price_tick=-1.0), 1,
     lambda e: e + 10.0, STOP_LOSS),
    # trailing: the stop follows the best price since the entry
    (1, [100.0, 105.0, 103.0, 94.0], None, dict(sl_stop=10, sl_trail=1), 3, lambda e: 95.0,
     STOP_LOSS),
    (-1, [100.0, 90.0, 95.0, 101.0], None, dict(sl_stop=10, sl_trail=1), 3, lambda e: 100.0,
     STOP_LOSS),
]


@pytest.mark.parametrize("slip", [0.0, SLIP])
@pytest.mark.parametrize("direction, prices, exits, settings, exit_bar, level, reason", SOLO_EXITS)
def test_solo_exit_reasons(direction, prices, exits, settings, exit_bar, level, reason, slip):
    entries = [direction] + [0] * (len(prices) - 1)
    _, record = solo_run(prices, entries, exits, slip_point=slip, **settings)
    entry = 100.0 + slip * direction
    fill = level(entry) - slip * direction  # slippage always against the trader
    assert_trades(record["trades"], [closed(0, 0, direction, entry, exit_bar, fill, reason)])
    assert record["refused"] == [0] and record["total_fee"] == 2.0
    mark = [((p - entry if direction == 1 else entry - p) * 1.0) * 5.0 for p in prices]
    assert record["value"][:exit_bar] == [CASH - 1.0 + u for u in mark[:exit_bar]]
    assert record["value"][exit_bar:] == record["equity"][exit_bar:]


def test_solo_refused_entry():
    # margin (100 * 3) * 5 * 0.1 = 150 plus commission 3 exceeds 152
    _, record = solo_run([100.0, 100.0, 100.0], [1, 0, 1], size=3, init_cash=152.0)
    assert record == dict(trades=[], refused=[2], equity=[152.0] * 3, value=[152.0] * 3,
                          total_fee=0.0)


def test_solo_refused_then_accepted_and_open_at_end():
    close = [[100.0, 100.0], [100.0, 100.0], [120.0, 103.0]]
    entries = [[1, 0], [0, 1], [0, 1]]
    exits = [[0, 0], [0, 0], [-1, 0]]
    _, record = solo_run(close, entries, exits, size=2, margin_rate=0.5, price_tick=1.0,
                         volume_multiple=5.0, commission=1, init_cash=600.0)
    # contract 1 is refused while contract 0 holds 500 of margin; contract 0's
    # close frees the cash earlier in bar 2
    assert_trades(record["trades"], [
        closed(0, 0, 1, 100.0, 2, 120.0, EXIT_SIGNAL, lots=2.0, fee=2.0),
        trade(1, 2, 1, 103.0, lots=2.0, fee=2.0)])
    assert record["refused"] == [0, 1]
    assert record["equity"] == [598.0, 598.0, 794.0]
    assert record["value"] == [598.0, 598.0, 794.0] and record["total_fee"] == 6.0


def test_solo_value_marks_open_positions_at_close():
    close = [[100.0, 50.0], [102.0, 48.0], [103.0, 47.0]]
    prices = np.array(close) + 0.5  # the fills: long 100.5, short 50.5
    _, record = solo_run(close, [[1, -1], [0, 0], [0, 0]], prices=prices,
                         margin_rate=0.1, price_tick=1.0, volume_multiple=[5.0, 10.0],
                         commission=1)
    assert_trades(record["trades"], [trade(0, 0, 1, 100.5), trade(1, 0, -1, 50.5)])
    assert record["equity"] == [CASH - 2.0] * 3
    assert record["value"] == [1000000.5, 1000030.5, 1000045.5]


@pytest.mark.parametrize("value, direction", [(1.0, 1), (2.0, -1), (-3.0, -1), (NAN, -1)])
def test_solo_entry_value_sets_the_direction(value, direction):
    _, record = solo_run([100.0, 90.0], [value, 0])
    assert_trades(record["trades"], [trade(0, 0, direction, 100.0)])
    assert record["value"][1] == CASH - 1.0 + ((90.0 - 100.0) * direction) * 5.0


# ---- spreadsim scenarios ----

# (name, entry signal, later (A, B) prices, exit signals, settings, and the
# (reason, exit bar, fill) of legs A and B)
PAIR_EXITS = [
    ("stop-loss on A, B follows", 1, [[94.0, 50.0]], None, dict(sl_stop=5),
     ((STOP_LOSS, 1, 95.0), (OTHER_LEG, 1, 50.0))),
    ("stop-loss on B, A follows", 1, [[100.0, 56.0]], None, dict(sl_stop=5),
     ((OTHER_LEG, 1, 100.0), (STOP_LOSS, 1, 55.0))),
    ("both stop-losses", 1, [[94.0, 56.0]], None, dict(sl_stop=5),
     ((STOP_LOSS, 1, 95.0), (STOP_LOSS, 1, 55.0))),
    ("take-profit on A", 1, [[106.0, 50.0]], None, dict(tp_stop=5),
     ((TAKE_PROFIT, 1, 105.0), (OTHER_LEG, 1, 50.0))),
    ("take-profit on B", 1, [[100.0, 44.0]], None, dict(tp_stop=5),
     ((OTHER_LEG, 1, 100.0), (TAKE_PROFIT, 1, 45.0))),
    ("signal closes the long leg", 1, [[101.0, 49.0]], [0, -1], {},
     ((EXIT_SIGNAL, 1, 101.0), (OTHER_LEG, 1, 49.0))),
    ("signal closes the short leg", 1, [[101.0, 49.0]], [0, 1], {},
     ((OTHER_LEG, 1, 101.0), (EXIT_SIGNAL, 1, 49.0))),
    ("holding limit closes both", 1, [[101.0, 49.0], [102.0, 48.0]], None,
     dict(max_hold_bars=2), ((HOLDING_LIMIT, 2, 102.0), (HOLDING_LIMIT, 2, 48.0))),
    ("short spread", -1, [[106.0, 50.0]], None, dict(sl_stop=5),
     ((STOP_LOSS, 1, 105.0), (OTHER_LEG, 1, 50.0))),
    ("stop-loss after a near take-profit", 1, [[108.0, 50.0], [94.0, 50.0]], None,
     dict(sl_stop=5, tp_stop=10), ((STOP_LOSS, 2, 95.0), (OTHER_LEG, 2, 50.0))),
    ("trailing stop on A", 1, [[104.0, 50.0], [99.0, 50.0]], None, dict(sl_stop=5, sl_trail=1),
     ((STOP_LOSS, 2, 99.0), (OTHER_LEG, 2, 50.0))),
]


@pytest.mark.parametrize("name, entry, later, exits, settings, expected", PAIR_EXITS,
                         ids=[c[0] for c in PAIR_EXITS])
def test_pair_exit_reasons(name, entry, later, exits, settings, expected):
    close = [[100.0, 50.0]] + later
    entries = [entry] + [0] * len(later)
    _, record = pair_run(close, entries, exits, **settings)
    want = [closed(j, 0, entry * (1 - 2 * j), close[0][j], bar, fill, reason)
            for j, (reason, bar, fill) in enumerate(expected)]
    assert_trades(record["trades"], want)
    assert record["refused"] == [0, 0] and record["total_fee"] == 4.0


def test_pair_refused_entries_count_for_both_legs():
    # margins 50 + 25 and fees 2 exceed 50
    _, record = pair_run([[100.0, 50.0]] * 3, [1, -1, 0], init_cash=50.0)
    assert record == dict(trades=[], refused=[2, 2], equity=[50.0] * 3, value=[50.0] * 3,
                          total_fee=0.0)


def test_pair_value_marks_open_legs_at_close():
    close = np.array([[100.0, 50.0], [103.0, 48.0]])
    _, record = pair_run(close, [1, 0], prices=close + 0.5, volume_multiple=[5.0, 10.0])
    assert_trades(record["trades"], [trade(0, 0, 1, 100.5), trade(1, 0, -1, 50.5)])
    assert record["equity"] == [CASH - 2.0] * 2
    assert record["value"] == [1000000.5, 1000035.5]


# ---- properties over drawn runs ----

def is_positive(x):
    return solo.f32(x) > 0


def signals(shape, values):
    return st.lists(st.sampled_from(values), min_size=int(np.prod(shape)),
                    max_size=int(np.prod(shape))).map(lambda v: np.array(v).reshape(shape))


def pick(*values):
    return st.sampled_from(values)


# Runs that mostly trade (the differential tests' draws mostly fail or stay
# flat): plain settings, prices without gaps, frequent signals.
COMMON = dict(min_start_length=pick(1, 1, 3), init_cash=pick(1e6, 1e6, 2000.0, 600.0),
              com_type=pick(0, 1, 2), slip_point=pick(0.0, 0.5), sl_stop=pick(0.0, 2.0, 3.0, 0.02),
              tp_stop=pick(0.0, 4.0, 0.05), stop_mode=pick(0, 0, 2), sl_trail=pick(0, 1),
              max_hold_bars=pick(0, 0, 2, 5), size=pick(1.0, 2.0, 3.7), size_type=pick(0),
              margin_rate=pick(0.1, 0.5), price_tick=pick(1.0, 0.5))


@st.composite
def solo_trading(draw):
    n, m = draw(st.integers(2, 20)), draw(st.integers(1, 3))
    call = {k: draw(v) for k, v in COMMON.items()}
    call.update(close=np.column_stack([draw(price_path(n, edges=False)) for _ in range(m)]),
                entries=draw(signals((n, m), [0.0] * 3 + [1.0, -1.0, 2.0])),
                exits=draw(signals((n, m), [0.0] * 3 + [1.0, -1.0])),
                volume_multiple=draw(pick(5.0, 10.0, [5.0, 10.0, 1.0][:m])),
                commission=draw(pick(1, 2.5)))
    rule = pick(None, None, "ticks", "alternating")
    return call, draw(rule), draw(rule), None, None


@st.composite
def pair_trading(draw):
    n = draw(st.integers(2, 20))
    call = {k: draw(v) for k, v in COMMON.items()}
    call.update(close=np.column_stack([draw(price_path(n, edges=False)) for _ in range(2)]),
                entries=draw(signals((n,), [0.0] * 3 + [1.0, -1.0])),
                exits=draw(signals((n,), [0.0] * 3 + [1.0, -1.0])),
                volume_multiple=draw(pick(5.0, [5.0, 10.0])), commission=draw(pick(1.0, 2.5)),
                leg_size_ratio=draw(pick(1.0, 2, [1, 3])))
    return call, None


def note(record):
    reasons = sorted({t["exit_reason"] for t in record["trades"]})
    event(f"exit reasons {reasons}" + (", refused" if any(record["refused"]) else ""))


@PROFILE
@given(st.one_of(solo_props.backtests(), solo_trading()))
def test_solo_records_agree_with_histories(drawn):
    call = drawn[0]
    close = call["close"]
    recorder = solo.Recorder(close.shape[1])
    got = outcome(solo_props.model_call, *drawn, recorder=recorder)
    assert_same_outcome(got, outcome(solo_props.model_call, *drawn), assert_same_arrays)
    if got[0] == "raised":
        return
    record = recorder.record()
    note(record)
    n, m = close.shape
    if not m:
        assert record["equity"] == record["value"] == [solo.f32(call["init_cash"])] * n
    entries, exits = call["entries"], call["exits"]
    assert_consistent(got[1], record, np.asarray(close, dtype=np.float64),
                      solo.setting_list(call["volume_multiple"], m),
                      lambda i, j: entries[i, j], lambda i, j: exits[i, j],
                      solo.int32(call["min_start_length"]), solo.int32(call["max_hold_bars"]))
    for t in record["trades"]:
        if t["exit_reason"] == STOP_LOSS:
            assert is_positive(call["sl_stop"]) or drawn[1]
        if t["exit_reason"] == TAKE_PROFIT:
            assert is_positive(call["tp_stop"]) or drawn[2]


@PROFILE
@given(st.one_of(pair_props.pair_calls(), pair_trading()))
def test_pair_records_agree_with_histories(drawn):
    call = drawn[0]
    assume(call["close"].shape[1] >= 2)  # the value marks both legs at their close column
    recorder = solo.Recorder(2)
    got = outcome(pair_props.model_call, *drawn, recorder=recorder)
    assert_same_outcome(got, outcome(pair_props.model_call, *drawn), assert_same_arrays)
    if got[0] == "raised":
        return
    record = recorder.record()
    note(record)
    entries, exits = call["entries"], call["exits"]
    assert_consistent(got[1], record, np.asarray(call["close"], dtype=np.float64),
                      pair.normalise(call["volume_multiple"]),
                      lambda i, j: entries[i], lambda i, j: exits[i],
                      solo.int32(call["min_start_length"]), solo.int32(call["max_hold_bars"]),
                      spread=True)
    trades = record["trades"]
    assert len(trades) % 2 == 0
    for a, b in zip(trades[::2], trades[1::2]):
        # both legs enter together in opposite directions and leave on one bar
        assert (a["contract"], b["contract"]) == (0, 1)
        assert a["entry_bar"] == b["entry_bar"] and a["exit_bar"] == b["exit_bar"]
        assert a["direction"] == -b["direction"]
        reasons = {a["exit_reason"], b["exit_reason"]}
        assert reasons == {OPEN} or OPEN not in reasons and reasons != {OTHER_LEG}
        assert (STOP_LOSS in reasons) <= is_positive(call["sl_stop"])
        assert (TAKE_PROFIT in reasons) <= is_positive(call["tp_stop"])


# ---- market orders at the opens ----

@st.composite
def at_the_opens(draw, trading):
    """A drawn trading run with bars around its closes, filling at the opens."""
    drawn = draw(trading)
    close = drawn[0]["close"]
    steps = np.array(draw(signals(close.shape, [-3.0, -1.0, 0.0, 0.0, 1.0, 2.5])))
    reach = np.array(draw(signals((2,) + close.shape, [0.0, 0.0, 1.0, 4.0])))
    o = np.maximum(close + steps, close / 2)
    hi, lo = np.maximum(o, close) + reach[0], np.minimum(o, close) - reach[1]
    drawn[0].update(open=o, high=hi, low=np.where(lo > 0, lo, np.minimum(o, close)),
                    fill_at="open")
    return drawn


@PROFILE
@given(at_the_opens(solo_trading()))
def test_solo_records_at_the_opens_agree_with_histories(drawn):
    call = drawn[0]
    recorder = solo.Recorder(call["close"].shape[1])
    histories = solo_props.model_call(*drawn, recorder=recorder)
    record = recorder.record()
    note(record)
    entries, exits = call["entries"], call["exits"]
    assert_consistent(histories, record, call["close"],
                      solo.setting_list(call["volume_multiple"], call["close"].shape[1]),
                      lambda i, j: entries[i, j], lambda i, j: exits[i, j],
                      call["min_start_length"], call["max_hold_bars"], at_open=True)
    # an entry fills at its bar's open, slippage added against the trader
    for t in record["trades"]:
        o = call["open"][t["entry_bar"], t["contract"]]
        slip = solo.f32(call["slip_point"])
        assert t["entry_price"] == (o + slip * t["direction"] if slip > 0 else o)


@PROFILE
@given(at_the_opens(pair_trading()))
def test_pair_records_at_the_opens_agree_with_histories(drawn):
    call = drawn[0]
    recorder = solo.Recorder(2)
    histories = pair_props.model_call(*drawn, recorder=recorder)
    record = recorder.record()
    note(record)
    entries, exits = call["entries"], call["exits"]
    assert_consistent(histories, record, call["close"], pair.normalise(call["volume_multiple"]),
                      lambda i, j: entries[i], lambda i, j: exits[i],
                      call["min_start_length"], call["max_hold_bars"], spread=True, at_open=True)
    trades = record["trades"]
    for a, b in zip(trades[::2], trades[1::2]):
        assert a["exit_bar"] == b["exit_bar"]
        if OTHER_LEG in (a["exit_reason"], b["exit_reason"]):
            # the other leg at the open after a close at the open (a market
            # exit or a stop filled there), at the close after a stop inside
            # the range
            first, other = (a, b) if b["exit_reason"] == OTHER_LEG else (b, a)
            at_open = first["exit_price"] == exit_fill(call, first, call["open"])
            assert other["exit_price"] == exit_fill(call, other,
                                                    call["open"] if at_open else call["close"])
            assert at_open or first["exit_reason"] in (STOP_LOSS, TAKE_PROFIT)


def exit_fill(call, t, prices):
    """A market exit's fill of trade t at prices[exit_bar, leg], slippage
    against the trader."""
    p = float(prices[t["exit_bar"], t["contract"]])
    slip = solo.f32(call["slip_point"])
    return p - slip * t["direction"] if slip > 0 else p
