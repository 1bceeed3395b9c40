"""ledger.solo and ledger.pair on small hand-made runs: every exit reason
with its fill and fee, stops reached on different bars, trailing, native
callbacks, refusals, positions open at the end, the pair's cascade, per-leg
sizes and ratios, the marked value, the order and layout of the records."""

import math

import numpy as np
import pytest

import c_callbacks
from quorra.accel import ledger, solosim, spreadsim
from support import assert_same_arrays, native_callback, same_bits
from test_ledger_properties import (FLOAT_FIELDS, INT_FIELDS, assert_matches_histories,
                                    engine_form, trade_dicts)

NAN = math.nan
CASH = 1000000.0
OPEN, STOP_LOSS, TAKE_PROFIT, MAX_HOLD, SIGNAL, CASCADE = range(6)
PLAIN = dict(margin_rate=0.1, price_tick=1.0, volume_multiple=5.0, commission=1.0)


def trade(slot, entry_bar, direction, entry_price, lots=1.0, entry_fee=1.0, exit_bar=-1,
          exit_price=NAN, exit_fee=0.0, pnl=NAN, exit_reason=OPEN):
    return dict(contract=slot, entry_bar=entry_bar, exit_bar=exit_bar, direction=direction,
                lots=lots, entry_price=entry_price, exit_price=exit_price, entry_fee=entry_fee,
                exit_fee=exit_fee, pnl=pnl, exit_reason=exit_reason)


def closed(slot, entry_bar, direction, entry_price, exit_bar, exit_price, reason, lots=1.0,
           entry_fee=1.0, exit_fee=1.0, multiple=5.0):
    gain = exit_price - entry_price if direction == 1 else entry_price - exit_price
    return trade(slot, entry_bar, direction, entry_price, lots, entry_fee, exit_bar, exit_price,
                 exit_fee, (gain * lots) * multiple - exit_fee, reason)


def assert_trades(result, want):
    slot = result["trades"].dtype.names[0]
    got = trade_dicts(result["trades"], slot)
    assert len(got) == len(want), got
    for g, w in zip(got, want):
        assert {k: g[k] for k in ("contract",) + INT_FIELDS} == \
            {k: w[k] for k in ("contract",) + INT_FIELDS}, g
        assert same_bits([g[k] for k in FLOAT_FIELDS], [w[k] for k in FLOAT_FIELDS]), (g, w)


def column(values):
    return np.array(values, dtype=np.float64).reshape(len(values), -1)


def solo(close, entries, exits=None, **settings):
    """ledger.solo with histories, checked against from_signals."""
    close, entries = column(close), column(entries)
    exits = np.zeros_like(entries) if exits is None else column(exits)
    settings = dict(PLAIN, **settings)
    result = ledger.solo(close, entries, exits, **settings, histories=True)
    engine = {k: engine_form(v) if k in PLAIN or k == "size" else v for k, v in settings.items()}
    want = solosim.from_signals(close, entries, exits, **engine)
    assert_same_arrays(result["histories"], want)
    assert_matches_histories(result, want)
    return result


def pair(close, entries, exits=None, engine=True, **settings):
    """ledger.pair with histories, checked against pair_from_signals unless
    `engine` is False (settings it cannot take)."""
    close, entries = np.array(close, dtype=np.float64), np.array(entries, dtype=np.float64)
    exits = np.zeros_like(entries) if exits is None else np.array(exits, dtype=np.float64)
    result = ledger.pair(close, entries, exits, **settings, histories=True)
    if engine:
        want = spreadsim.pair_from_signals(close, entries, exits, **settings)
        assert_same_arrays(result["histories"], want)
        assert_matches_histories(result, want)
    return result


# ---- solo: each exit reason with its fill and fee ----

SLIP = 0.5  # exact in single precision
RATE = 0.001  # fee: a rate on the traded value, so each fill's fee shows its price

# (direction, prices, exit signals, settings, exit bar, fill before slippage, reason)
SOLO_EXITS = {
    "stop-loss long": (1, [100.0, 95.0, 85.0], None, dict(sl_stop=10), 2, 90.0, STOP_LOSS),
    "stop-loss short": (-1, [100.0, 105.0, 115.0], None, dict(sl_stop=10), 2, 110.0, STOP_LOSS),
    "take-profit long": (1, [100.0, 105.0, 125.0], None, dict(tp_stop=20), 2, 120.0,
                         TAKE_PROFIT),
    "take-profit short": (-1, [100.0, 95.0, 75.0], None, dict(tp_stop=20), 2, 80.0,
                          TAKE_PROFIT),
    # both stops set, each reached first on a later bar
    "long: take-profit missed, stop-loss": (1, [100.0, 115.0, 89.0], None,
                                            dict(sl_stop=10, tp_stop=20), 2, 90.0, STOP_LOSS),
    "long: stop-loss missed, take-profit": (1, [100.0, 91.0, 121.0], None,
                                            dict(sl_stop=10, tp_stop=20), 2, 120.0, TAKE_PROFIT),
    "long: take-profit first, stop-loss later": (1, [100.0, 110.0, 125.0, 85.0], None,
                                                 dict(sl_stop=10, tp_stop=20), 2, 120.0,
                                                 TAKE_PROFIT),
    "long: stop-loss first, take-profit later": (1, [100.0, 95.0, 88.0, 130.0], None,
                                                 dict(sl_stop=10, tp_stop=20), 2, 90.0,
                                                 STOP_LOSS),
    "short: take-profit missed, stop-loss": (-1, [100.0, 85.0, 111.0], None,
                                             dict(sl_stop=10, tp_stop=20), 2, 110.0, STOP_LOSS),
    "short: stop-loss missed, take-profit": (-1, [100.0, 109.0, 79.0], None,
                                             dict(sl_stop=10, tp_stop=20), 2, 80.0,
                                             TAKE_PROFIT),
    "holding limit long": (1, [100.0, 104.0, 107.0, 90.0], None, dict(max_hold_bars=2), 2,
                           107.0, MAX_HOLD),
    "holding limit short": (-1, [100.0, 96.0, 93.0, 110.0], None, dict(max_hold_bars=2), 2,
                            93.0, MAX_HOLD),
    "holding limit of one bar": (1, [100.0, 103.0, 99.0], None, dict(max_hold_bars=1), 1,
                                 103.0, MAX_HOLD),
    "exit signal long": (1, [100.0, 104.0, 107.0], [0, 0, -1], {}, 2, 107.0, SIGNAL),
    "exit signal short": (-1, [100.0, 96.0, 93.0], [0, 0, 1], {}, 2, 93.0, SIGNAL),
    "the other side's exit signal passes": (1, [100.0, 104.0, 107.0], [0, 1, -1], {}, 2, 107.0,
                                            SIGNAL),
    # one bar reaching two exits: stop-loss, take-profit, holding limit,
    # exit signal, in that order
    "stop-loss before the holding limit": (1, [100.0, 100.0, 85.0], [0, 0, -1],
                                           dict(sl_stop=10, max_hold_bars=2), 2, 90.0, STOP_LOSS),
    "take-profit before the exit signal": (-1, [100.0, 100.0, 70.0], [0, 0, 1],
                                           dict(tp_stop=20, max_hold_bars=2), 2, 80.0,
                                           TAKE_PROFIT),
    "holding limit before the exit signal": (1, [100.0, 100.0, 101.0], [0, 0, -1],
                                             dict(max_hold_bars=2), 2, 101.0, MAX_HOLD),
}


@pytest.mark.parametrize("slip", [0.0, SLIP])
@pytest.mark.parametrize("direction, prices, exits, settings, exit_bar, level, reason",
                         list(SOLO_EXITS.values()), ids=list(SOLO_EXITS))
def test_solo_exit_reason_fill_and_fee(direction, prices, exits, settings, exit_bar, level,
                                       reason, slip):
    entries = [direction] + [0] * (len(prices) - 1)
    result = solo(prices, entries, exits, slip_point=slip, com_type=2, commission=RATE,
                  **settings)
    entry = 100.0 + slip * direction
    if reason in (STOP_LOSS, TAKE_PROFIT):
        # the stop's level is set from the entry fill (moved by the slippage),
        # and the slippage moves the fill back
        fill = (level + slip * direction) - slip * direction
    else:
        fill = level - slip * direction
    entry_fee = ((entry * 1.0) * 5.0) * RATE
    exit_fee = ((fill * 1.0) * 5.0) * RATE
    assert_trades(result, [closed(0, 0, direction, entry, exit_bar, fill, reason,
                                  entry_fee=entry_fee, exit_fee=exit_fee)])
    assert ledger.EXIT_REASONS[reason] in ("stop_loss", "take_profit", "max_hold", "signal")
    pnl = result["trades"][0]["pnl"]
    assert same_bits([result["total_fee"]], [entry_fee + exit_fee])
    equity = [CASH - entry_fee] * exit_bar + [CASH - entry_fee + pnl] * (len(prices) - exit_bar)
    assert same_bits(result["equity"], equity)
    marks = [((p - entry if direction == 1 else entry - p) * 1.0) * 5.0 for p in prices]
    assert same_bits(result["value"][:exit_bar], [CASH - entry_fee + u for u in marks[:exit_bar]])
    assert same_bits(result["value"][exit_bar:], equity[exit_bar:])
    assert result["refused"].tolist() == [0]


# ---- trailing and native callbacks ----

TRAILING = {
    # the stop follows the best price: 112 - 10 = 102
    "long": (1, [100.0, 105.0, 112.0, 103.0, 101.5], dict(sl_stop=10), 4, 102.0),
    "short": (-1, [100.0, 95.0, 88.0, 97.0, 98.5], dict(sl_stop=10), 4, 98.0),
    # a fraction of the best price: 112 - 112 x 0.1 (single precision)
    "long, fraction": (1, [100.0, 105.0, 112.0, 103.0, 100.5], dict(sl_stop=0.1, stop_mode=2), 4,
                       112.0 - 112.0 * float(np.float32(0.1))),
}


@pytest.mark.parametrize("trail", [0, 1])
@pytest.mark.parametrize("direction, prices, settings, exit_bar, fill", list(TRAILING.values()),
                         ids=list(TRAILING))
def test_trailing_stop_fires_at_the_trailed_level(direction, prices, settings, exit_bar, fill,
                                                  trail):
    result = solo(prices, [direction] + [0] * (len(prices) - 1), sl_trail=trail, **settings)
    if trail:
        assert_trades(result, [closed(0, 0, direction, 100.0, exit_bar, fill, STOP_LOSS)])
    else:  # the fixed stop is never reached
        assert_trades(result, [trade(0, 0, direction, 100.0)])


@pytest.fixture(params=["ctypes", "C"])
def fixed_stop(request):
    """(address, callback args) of a stop callback returning args[0] ticks."""
    if request.param == "C":
        lib = request.getfixturevalue("c_stops")
        yield c_callbacks.address(lib, "fixed_stop")
        return
    keep, address = native_callback(
        lambda bar, d, entry, price, ref, dist, tick, mult, size, args, n: args[0] * tick)
    yield address
    del keep


# (callback kind, settings, prices, exit bar, fill, reason)
CALLBACK_STOPS = {
    # 3 ticks from the entry: 97
    "stop-loss": ("sl", {}, [100.0, 99.0, 97.5, 96.5], 3, 97.0, STOP_LOSS),
    # 3 ticks from the best price: 104 - 3 = 101
    "trailing stop-loss": ("sl", dict(sl_trail=1), [100.0, 104.0, 101.5, 100.9], 3, 101.0,
                           STOP_LOSS),
    # the callback replaces a wider stop-loss
    "stop-loss over sl_stop": ("sl", dict(sl_stop=10), [100.0, 99.0, 96.5], 2, 97.0, STOP_LOSS),
    # 4 ticks from the entry: 104
    "take-profit": ("tp", {}, [100.0, 102.0, 103.5, 104.5], 3, 104.0, TAKE_PROFIT),
}


@pytest.mark.parametrize("kind, settings, prices, exit_bar, fill, reason",
                         list(CALLBACK_STOPS.values()), ids=list(CALLBACK_STOPS))
def test_native_callback_moves_the_stop(fixed_stop, kind, settings, prices, exit_bar, fill,
                                        reason):
    ticks = 3.0 if kind == "sl" else 4.0
    callback = {f"{kind}_callback_addr": fixed_stop, f"{kind}_callback_args": (ticks,)}
    entries = [1] + [0] * (len(prices) - 1)
    result = solo(prices, entries, **settings, **callback)
    assert_trades(result, [closed(0, 0, 1, 100.0, exit_bar, fill, reason)])
    # without the callback the position stays open (or the wider stop holds)
    alone = ledger.solo(column(prices), column(entries), column(entries) * 0, **settings)
    assert alone["trades"]["exit_reason"].tolist() == [OPEN]


# ---- solo: refusals, open positions, marked value, record order ----

def test_refused_entries_are_counted_per_contract():
    close = [[100.0, 100.0]] * 4
    entries = [[1, 1], [1, 1], [0, 0], [0, 1]]
    exits = [[0, 0], [0, 0], [-1, 0], [0, 0]]
    # contract 0 takes 50 of margin and 1 of fee from 200; contract 1's
    # 3 lots need 153 until contract 0's close returns its margin on bar 2
    result = solo(close, entries, exits, size=[1, 3], init_cash=200.0)
    assert_trades(result, [closed(0, 0, 1, 100.0, 2, 100.0, SIGNAL),
                           trade(1, 3, 1, 100.0, lots=3.0, entry_fee=3.0)])
    # contract 0's entry signal while it is held is no refusal
    assert result["refused"].tolist() == [0, 2]
    assert same_bits(result["equity"], [199.0, 199.0, 198.0, 195.0])


@pytest.mark.parametrize("direction", [1, -1])
def test_position_open_at_the_end(direction):
    result = solo([100.0, 100.0, 96.0], [0, direction, 0], [0, 0, direction], size=2,
                  sl_stop=10, tp_stop=10)
    # an exit signal of the position's own direction closes nothing
    assert_trades(result, [trade(0, 1, direction, 100.0, lots=2.0, entry_fee=2.0)])
    t = result["trades"][0]
    assert (t["exit_bar"], t["exit_reason"], t["exit_fee"]) == (-1, OPEN, 0.0)
    assert math.isnan(t["exit_price"]) and math.isnan(t["pnl"])
    assert ledger.EXIT_REASONS[t["exit_reason"]] == "open"
    assert result["value"][-1] == CASH - 2.0 + ((96.0 - 100.0) * direction * 2.0) * 5.0
    assert result["total_fee"] == 2.0


# contracts 0 and 1, or legs A and B: long and short from 0.5 beyond the close
@pytest.mark.parametrize("run, close, entries, value", [
    (solo, [[100.0, 50.0], [102.0, 48.0], [103.0, 47.0]], [[1, -1], [0, 0], [0, 0]],
     [1000000.5, 1000030.5, 1000045.5]),
    (pair, [[100.0, 50.0], [103.0, 48.0]], [1, 0], [1000000.5, 1000035.5]),
], ids=["solo", "pair"])
def test_value_is_marked_at_close_not_at_the_fill_prices(run, close, entries, value):
    result = run(close, entries, prices=np.array(close) + 0.5, volume_multiple=[5.0, 10.0])
    assert_trades(result, [trade(0, 0, 1, 100.5), trade(1, 0, -1, 50.5)])
    assert same_bits(result["equity"], [CASH - 2.0] * len(close))
    # e.g. bar 0: 999998 + (100 - 100.5) x 5 + (50.5 - 50) x 10
    assert same_bits(result["value"], value)


def test_records_are_ordered_by_entry_bar_then_contract():
    close = [[100.0, 100.0, 100.0]] * 5
    entries = [[0, 0, -1], [1, 1, 0], [0, 0, 0], [-1, 0, 1], [0, 1, 0]]
    exits = [[0, 0, 0], [0, 0, 0], [-1, 0, 1], [0, -1, 0], [0, 0, 0]]
    result = solo(close, entries, exits)
    assert [(t["entry_bar"], t["contract"]) for t in result["trades"]] == \
        [(0, 2), (1, 0), (1, 1), (3, 0), (3, 2), (4, 1)]
    assert result["trades"]["exit_bar"].tolist() == [2, 2, 3, -1, -1, -1]
    assert result["trades"]["exit_reason"].tolist() == [SIGNAL, SIGNAL, SIGNAL, OPEN, OPEN, OPEN]


FIELDS = [("entry_bar", np.int32), ("exit_bar", np.int32), ("direction", np.int8),
          ("lots", np.float64), ("entry_price", np.float64), ("exit_price", np.float64),
          ("entry_fee", np.float64), ("exit_fee", np.float64), ("pnl", np.float64),
          ("exit_reason", np.int8)]


@pytest.mark.parametrize("traded", [False, True])
@pytest.mark.parametrize("run, slot", [
    (lambda e: ledger.solo(np.full((3, 2), 100.0), e[:, None] * [1, 1], np.zeros((3, 2))),
     "contract"),
    (lambda e: ledger.pair(np.full((3, 2), 100.0), e, np.zeros(3)), "leg"),
], ids=["solo", "pair"])
def test_trades_dtype_and_field_order(run, slot, traded):
    result = run(np.array([1.0 if traded else 0.0, 0.0, 0.0]))
    dtype = result["trades"].dtype
    assert [(name, dtype.fields[name][0]) for name in dtype.names] == \
        [(slot, np.dtype(np.int32))] + [(k, np.dtype(t)) for k, t in FIELDS]
    assert len(result["trades"]) == (2 if traded else 0)
    assert ledger.EXIT_REASONS == ("open", "stop_loss", "take_profit", "max_hold", "signal",
                                   "cascade", "reverse")


# ---- pair: cascades, refusals, per-leg sizes, ratios, marked value ----

# (entry signal, later (A, B) prices, exit signals, settings, and the
# (reason, exit bar, fill) of legs A and B); the spread enters at (100, 50)
PAIR_EXITS = {
    "stop-loss on A, B follows": (1, [[94.0, 50.0]], None, dict(sl_stop=5),
                                  ((STOP_LOSS, 1, 95.0), (CASCADE, 1, 50.0))),
    "stop-loss on B, A follows": (1, [[100.0, 56.0]], None, dict(sl_stop=5),
                                  ((CASCADE, 1, 100.0), (STOP_LOSS, 1, 55.0))),
    "short spread, stop-loss on A": (-1, [[106.0, 50.0]], None, dict(sl_stop=5),
                                     ((STOP_LOSS, 1, 105.0), (CASCADE, 1, 50.0))),
    "short spread, stop-loss on B": (-1, [[101.0, 44.0]], None, dict(sl_stop=5),
                                     ((CASCADE, 1, 101.0), (STOP_LOSS, 1, 45.0))),
    "both stop-losses": (1, [[94.0, 56.0]], None, dict(sl_stop=5),
                         ((STOP_LOSS, 1, 95.0), (STOP_LOSS, 1, 55.0))),
    "take-profit on A": (1, [[106.0, 50.0]], None, dict(tp_stop=5),
                         ((TAKE_PROFIT, 1, 105.0), (CASCADE, 1, 50.0))),
    "take-profit on B": (1, [[100.0, 44.0]], None, dict(tp_stop=5),
                         ((CASCADE, 1, 100.0), (TAKE_PROFIT, 1, 45.0))),
    "signal closes the long leg A": (1, [[101.0, 49.0]], [0, -1], {},
                                     ((SIGNAL, 1, 101.0), (CASCADE, 1, 49.0))),
    "signal closes the long leg B": (-1, [[101.0, 49.0]], [0, -1], {},
                                     ((CASCADE, 1, 101.0), (SIGNAL, 1, 49.0))),
    "holding limit closes both": (1, [[101.0, 49.0], [102.0, 48.0]], None,
                                  dict(max_hold_bars=2),
                                  ((MAX_HOLD, 2, 102.0), (MAX_HOLD, 2, 48.0))),
    "stop-loss after a missed take-profit": (1, [[108.0, 50.0], [94.0, 50.0]], None,
                                             dict(sl_stop=5, tp_stop=10),
                                             ((STOP_LOSS, 2, 95.0), (CASCADE, 2, 50.0))),
    "take-profit after a missed stop-loss": (1, [[96.0, 50.0], [111.0, 50.0]], None,
                                             dict(sl_stop=5, tp_stop=10),
                                             ((TAKE_PROFIT, 2, 110.0), (CASCADE, 2, 50.0))),
    "trailing stop on A": (1, [[104.0, 50.0], [99.0, 50.0]], None, dict(sl_stop=5, sl_trail=1),
                           ((STOP_LOSS, 2, 99.0), (CASCADE, 2, 50.0))),
    "trailing stop on B": (1, [[100.0, 47.0], [100.0, 52.0]], None, dict(sl_stop=5, sl_trail=1),
                           ((CASCADE, 2, 100.0), (STOP_LOSS, 2, 52.0))),
}


@pytest.mark.parametrize("entry, later, exits, settings, expected", list(PAIR_EXITS.values()),
                         ids=list(PAIR_EXITS))
def test_pair_exit_reasons_and_cascade(entry, later, exits, settings, expected):
    close = [[100.0, 50.0]] + later
    entries = [entry] + [0] * len(later)
    result = pair(close, entries, exits, **settings)
    assert_trades(result, [closed(j, 0, entry * (1 - 2 * j), close[0][j], bar, fill, reason)
                           for j, (reason, bar, fill) in enumerate(expected)])
    assert result["refused"].tolist() == [0, 0] and result["total_fee"] == 4.0
    assert ledger.EXIT_REASONS[CASCADE] == "cascade"


def test_pair_cascade_fills_with_slippage():
    # B's stop-loss at 49.5 + 5, A follows at its price less the slippage
    result = pair([[100.0, 50.0], [103.0, 56.0]], [1, 0], slip_point=SLIP, sl_stop=5)
    assert_trades(result, [closed(0, 0, 1, 100.5, 1, 102.5, CASCADE),
                           closed(1, 0, -1, 49.5, 1, 55.0, STOP_LOSS)])


def test_pair_refused_entries_count_for_both_legs():
    # margins 50 + 25 and fees 2 exceed 60: every entry is refused
    result = pair([[100.0, 50.0]] * 4, [1, -1, 0, 1], init_cash=60.0)
    assert len(result["trades"]) == 0
    assert result["refused"].tolist() == [3, 3]
    assert same_bits(result["value"], [60.0] * 4)


def test_pair_refusal_after_a_loss():
    # 80 covers one spread (77); its loss leaves 73.5 and the next is refused
    result = pair([[100.0, 50.0], [100.0, 50.5], [100.0, 50.0]], [1, 0, 1], [0, 1, 0],
                  init_cash=80.0)
    assert_trades(result, [closed(0, 0, 1, 100.0, 1, 100.0, CASCADE),
                           closed(1, 0, -1, 50.0, 1, 50.5, SIGNAL)])
    assert result["refused"].tolist() == [1, 1]


# (size, size_type, leg_size_ratio, lots of A and B)
LEG_LOTS = {
    "one size": (2, 0, 1.0, (2.0, 2.0)),
    "sizes per leg": ([1, 3], 0, 1.0, (1.0, 3.0)),
    "sizes per leg, array": (np.array([2.0, 3.0]), 0, 1.0, (2.0, 3.0)),
    # one-lot margins 50 (A) and 25 (B)
    "money per leg": ([100.0, 200.0], 1, 1.0, (2.0, 8.0)),
    "fractions of the cash per leg": ([0.0001, 0.0002], 2, 1.0, (2.0, 8.0)),
    "sizes and ratios per leg": ([1, 3], 0, [2, 1], (2.0, 3.0)),
    "ratio of A": (1, 0, 2, (2.0, 1.0)),
    "ratio of A, NumPy integer": (1, 0, np.int64(3), (3.0, 1.0)),
    "ratio of A, NumPy float": (2, 0, np.float64(1.5), (3.0, 2.0)),
    "ratios of both": (2, 0, [1.5, 2.5], (3.0, 5.0)),
    "ratios of both, tuple": (1, 0, (2, 3), (2.0, 3.0)),
    "ratios of both, array": (1, 0, np.array([2, 3]), (2.0, 3.0)),
    "ratio below one lot": (1, 0, 0.4, (1.0, 1.0)),
}


@pytest.mark.parametrize("size, size_type, ratio, lots", list(LEG_LOTS.values()),
                         ids=list(LEG_LOTS))
def test_pair_leg_lots(size, size_type, ratio, lots):
    close = [[100.0, 50.0], [104.0, 48.0], [104.0, 48.0]]
    # the engine takes one size and ratios as Python numbers or lists only
    engine = np.ndim(size) == 0 and not isinstance(ratio, (np.generic, np.ndarray))
    result = pair(close, [1, 0, 0], [0, -1, 0], engine=engine, size=size, size_type=size_type,
                  leg_size_ratio=ratio)
    a, b = lots
    # A long exits on the signal at 104, B short follows at 48; 1.0 fee per lot
    assert_trades(result, [closed(0, 0, 1, 100.0, 1, 104.0, SIGNAL, lots=a, entry_fee=a,
                                  exit_fee=a),
                           closed(1, 0, -1, 50.0, 1, 48.0, CASCADE, lots=b, entry_fee=b,
                                  exit_fee=b)])
    h = result["histories"]
    assert h[0][0, 2] == a and h[1][0, 2] == b
    assert result["total_fee"] == 2 * (a + b)
    assert same_bits(result["equity"][1:], [CASH - (a + b) + (4.0 * a * 5.0 - a) +
                                            (2.0 * b * 5.0 - b)] * 2)


def test_pair_open_at_the_end_and_record_order():
    close = [[100.0, 50.0], [101.0, 49.0], [102.0, 48.0], [103.0, 47.0]]
    result = pair(close, [-1, 0, 1, 0], [0, -1, 0, 0])
    # the short spread (A short, B long) closes on bar 1 by B's exit signal;
    # the long spread of bar 2 is open at the end
    assert_trades(result, [closed(0, 0, -1, 100.0, 1, 101.0, CASCADE),
                           closed(1, 0, 1, 50.0, 1, 49.0, SIGNAL),
                           trade(0, 2, 1, 102.0), trade(1, 2, -1, 48.0)])
    assert same_bits(result["value"][2:], [result["equity"][2], result["equity"][3] +
                                           (1.0 * 1.0) * 5.0 + (1.0 * 1.0) * 5.0])
