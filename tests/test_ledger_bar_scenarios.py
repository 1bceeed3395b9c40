"""ledger.solo and ledger.pair with bars on small hand-made runs, each
figure worked out by hand: a stop inside the bar, gaps filled at the open,
both levels in one bar, trailing from the high after the check and not
from the entry bar, reversals with their two fees and the cash check
between them, a refused reversal entry; and with fill_at="open" the market
orders at the open before the bar's range, the entry bar's own range and
trail, and a pair's other leg at the open or at the close."""

import numpy as np
import pytest

import solosim_model
from quorra.accel import ledger
from test_ledger_scenarios import (CASCADE, MAX_HOLD, PLAIN, SIGNAL, STOP_LOSS, TAKE_PROFIT,
                                   assert_trades, closed, trade)

REVERSE = 6


def bars(rows):
    """(open, high, low, close) rows of one contract as four (n, 1) arrays."""
    a = np.array(rows, dtype=np.float64)
    return [a[:, k].reshape(-1, 1).copy() for k in range(4)]


def solo_bars(rows, entries, exits=None, **settings):
    o, h, lo, c = bars(rows)
    entries = np.array(entries, dtype=np.float64).reshape(-1, 1)
    exits = np.zeros_like(entries) if exits is None else np.array(exits, float).reshape(-1, 1)
    return ledger.solo(c, entries, exits, **dict(PLAIN, **settings), open=o, high=h, low=lo)


# The long enters at 100 on bar 0; sl_stop=10 and tp_stop=20 ticks put its
# levels at 90 and 120. (bar 1, both_hit, the fill, the reason)
FLAT = (100.0, 100.0, 100.0, 100.0)
LONG_BAR_ONE = {
    "stop inside the bar, close back above it": ((99.0, 101.0, 89.0, 98.0), "stop_loss", 90.0,
                                                 STOP_LOSS),
    "gap below the stop-loss fills at the open": ((85.0, 88.0, 80.0, 86.0), "stop_loss", 85.0,
                                                  STOP_LOSS),
    "gap above the take-profit fills at the open": ((125.0, 130.0, 124.0, 126.0), "stop_loss",
                                                    125.0, TAKE_PROFIT),
    "take-profit inside the bar": ((101.0, 121.0, 99.0, 110.0), "stop_loss", 120.0,
                                   TAKE_PROFIT),
    "both levels in the bar: stop-loss first": ((100.0, 121.0, 89.0, 100.0), "stop_loss", 90.0,
                                                STOP_LOSS),
    "both levels in the bar, take_profit chosen": ((100.0, 121.0, 89.0, 100.0), "take_profit",
                                                   120.0, TAKE_PROFIT),
    # the open is the bar's first price: beyond the stop-loss it decides,
    # whatever both_hit says
    "open beyond the stop-loss, the high beyond the take-profit": (
        (89.0, 125.0, 85.0, 120.0), "take_profit", 89.0, STOP_LOSS),
    "open beyond the take-profit, the low beyond the stop-loss": (
        (121.0, 122.0, 85.0, 90.0), "stop_loss", 121.0, TAKE_PROFIT),
    "levels touched exactly": ((95.0, 100.0, 90.0, 95.0), "stop_loss", 90.0, STOP_LOSS),
}


@pytest.mark.parametrize("slip", [0.0, 0.5])
@pytest.mark.parametrize("bar, both_hit, fill, reason", list(LONG_BAR_ONE.values()),
                         ids=list(LONG_BAR_ONE))
def test_long_stop_fills(bar, both_hit, fill, reason, slip):
    result = solo_bars([FLAT, bar, FLAT], [1, 0, 0], sl_stop=10, tp_stop=20, both_hit=both_hit,
                       slip_point=slip)
    # slippage moves the entry up, and with it the levels (placed from the
    # fill), and every stop fill down: a level's fill stays where it was,
    # a gap's is the open less the slippage
    at_open = fill == bar[0]
    assert_trades(result, [closed(0, 0, 1, 100.0 + slip, 1, fill - slip if at_open else fill,
                                  reason)])


def mirrored(bar):
    """A long's bar seen by a short entered at 100: prices reflected
    around 100, high and low swapped."""
    o, h, lo, c = bar
    return (200.0 - o, 200.0 - lo, 200.0 - h, 200.0 - c)


@pytest.mark.parametrize("bar, both_hit, fill, reason", list(LONG_BAR_ONE.values()),
                         ids=list(LONG_BAR_ONE))
def test_short_stop_fills_mirror_the_long(bar, both_hit, fill, reason):
    result = solo_bars([FLAT, mirrored(bar), FLAT], [-1, 0, 0], sl_stop=10, tp_stop=20,
                       both_hit=both_hit)
    assert_trades(result, [closed(0, 0, -1, 100.0, 1, 200.0 - fill, reason)])


def test_a_bar_inside_the_levels_keeps_the_position():
    result = solo_bars([FLAT, (100.0, 119.0, 91.0, 100.0)], [1, 0], sl_stop=10, tp_stop=20)
    assert_trades(result, [trade(0, 0, 1, 100.0)])
    # marked at the close
    assert result["value"].tolist() == [1e6 - 1.0, 1e6 - 1.0]


def test_close_only_misses_what_the_bar_shows():
    # the same closes without bars: the stop inside bar 1 is not seen
    o, h, lo, c = bars([FLAT, (99.0, 101.0, 89.0, 98.0), FLAT])
    entries, exits = np.array([[1.0], [0.0], [0.0]]), np.zeros((3, 1))
    assert_trades(ledger.solo(c, entries, exits, **PLAIN, sl_stop=10), [trade(0, 0, 1, 100.0)])


# ---- trailing and callbacks ----

def test_trail_from_the_high_after_the_check():
    # bar 1 is checked against 90, then the reference moves to its high 110
    # and the stop to 100, which its own low 99 does not trigger; bar 2's
    # low reaches it
    result = solo_bars([FLAT, (100.0, 110.0, 99.0, 105.0), (102.0, 103.0, 100.0, 101.0)],
                       [1, 0, 0], sl_stop=10, sl_trail=1)
    assert_trades(result, [closed(0, 0, 1, 100.0, 2, 100.0, STOP_LOSS)])


def test_trailed_stop_gap_fills_at_the_open():
    result = solo_bars([FLAT, (100.0, 110.0, 99.0, 105.0), (96.0, 103.0, 95.0, 101.0)],
                       [1, 0, 0], sl_stop=10, sl_trail=1)
    assert_trades(result, [closed(0, 0, 1, 100.0, 2, 96.0, STOP_LOSS)])


def test_short_trails_from_the_low():
    result = solo_bars([FLAT, (100.0, 101.0, 90.0, 95.0), (98.0, 100.0, 97.0, 99.0)],
                       [-1, 0, 0], sl_stop=10, sl_trail=1)
    assert_trades(result, [closed(0, 0, -1, 100.0, 2, 100.0, STOP_LOSS)])


def test_no_trail_from_the_entry_bar():
    # the entry fills at bar 0's close, after its high of 130 happened: the
    # stop stays at 90 (not 120, which bar 1's open would be beyond), bar
    # 1's low of 91 does not reach it, and bar 1's high moves it to 91
    result = solo_bars([(100.0, 130.0, 95.0, 100.0), (100.0, 101.0, 91.0, 100.0),
                        (95.0, 96.0, 89.0, 90.0)], [1, 0, 0], sl_stop=10, sl_trail=1)
    assert_trades(result, [closed(0, 0, 1, 100.0, 2, 91.0, STOP_LOSS)])


def test_callbacks_see_the_close_after_the_check():
    seen = []

    def callback(bar, direction, entry, price, ref, distance, *rest):
        seen.append((bar, price, ref))
        return 0.0

    rows = [FLAT, (100.0, 110.0, 99.0, 105.0), (102.0, 103.0, 101.0, 101.0)]
    o, h, lo, c = bars(rows)
    recorder = solosim_model.Recorder(1)
    solosim_model.from_signals(c, np.array([[1.0], [0], [0]]), np.zeros((3, 1)), sl_stop=10,
                               sl_trail=1, sl_callback=callback, open=o, high=h, low=lo,
                               recorder=recorder, **PLAIN)
    # the model's callback is called at the end of bars 1 and 2 with their
    # closes; the reference has moved to bar 1's high first
    assert seen == [(1, 105.0, 110.0), (2, 101.0, 110.0)]


# ---- reversal ----

def test_reversal_closes_and_enters_the_other_way_with_two_fees():
    result = solo_bars([FLAT, (101.0, 105.0, 100.0, 104.0), (103.0, 104.0, 98.0, 99.0)],
                       [1, -1, 0], opposite_entry="reverse")
    assert_trades(result, [closed(0, 0, 1, 100.0, 1, 104.0, REVERSE),
                           trade(0, 1, -1, 104.0)])
    # the entry fee, then the close's and the new entry's on bar 1
    assert result["total_fee"] == 3.0
    assert result["equity"].tolist() == [1e6 - 1.0, 1e6 - 1.0 + 19.0 - 1.0, 1e6 + 17.0]


@pytest.mark.parametrize("init_cash, refused", [(98.0, 0), (97.0, 1)])
def test_reversal_entry_checks_the_cash_after_the_close(init_cash, refused):
    # entry at 100: margin 50 and fee 1; the close at 90 loses 50 + 1, so
    # 98 leaves 46 free, just the new entry's margin 45 and fee 1, and 97
    # one short of it
    result = solo_bars([FLAT, (95.0, 96.0, 89.0, 90.0)], [1, -1], init_cash=init_cash,
                       opposite_entry="reverse")
    want = [closed(0, 0, 1, 100.0, 1, 90.0, REVERSE)]
    if not refused:
        want.append(trade(0, 1, -1, 90.0))
    assert_trades(result, want)
    assert result["refused"].tolist() == [refused]


@pytest.mark.parametrize("with_bars", [False, True])
@pytest.mark.parametrize("opposite_entry, want", [
    ("ignore", [closed(0, 0, 1, 100.0, 1, 104.0, SIGNAL)]),
    ("reverse", [closed(0, 0, 1, 100.0, 1, 104.0, SIGNAL), trade(0, 1, -1, 104.0)]),
])
def test_exit_and_opposite_entry_on_one_bar(opposite_entry, want, with_bars):
    # an always-in-the-market crossover: the exit and the other entry together
    rows = [FLAT, (101.0, 105.0, 100.0, 104.0)]
    o, h, lo, c = bars(rows)
    extra = dict(open=o, high=h, low=lo) if with_bars else {}
    result = ledger.solo(c, np.array([[1.0], [-1.0]]), np.array([[0.0], [-1.0]]), **PLAIN,
                         opposite_entry=opposite_entry, **extra)
    assert_trades(result, want)


@pytest.mark.parametrize("entries, exits, settings, want", [
    # an entry of the same direction adds nothing
    ([1, 1, 0], None, {}, [trade(0, 0, 1, 100.0)]),
    # a stop on the bar rules the reversal out
    ([1, -1, 0], None, dict(sl_stop=10), [closed(0, 0, 1, 100.0, 1, 90.0, STOP_LOSS)]),
    # so does the holding limit
    ([1, -1, 0], None, dict(max_hold_bars=1), [closed(0, 0, 1, 100.0, 1, 89.0, MAX_HOLD)]),
    # a short reverses on 1
    ([-1, 1, 0], None, {}, [closed(0, 0, -1, 100.0, 1, 89.0, REVERSE), trade(0, 1, 1, 89.0)]),
], ids=["same direction", "after a stop", "after the holding limit", "short"])
def test_what_reverses(entries, exits, settings, want):
    result = solo_bars([FLAT, (95.0, 96.0, 88.0, 89.0), FLAT], entries, exits,
                       opposite_entry="reverse", **settings)
    assert_trades(result, want)


def test_reversal_without_bars_fills_at_the_price():
    c = np.array([[100.0], [96.0]])
    result = ledger.solo(c, np.array([[1.0], [-1.0]]), np.zeros((2, 1)), **PLAIN,
                         prices=c + 1, slip_point=0.5, opposite_entry="reverse")
    # prices 101 then 97: the close sells at 96.5, the new short at 96.5
    assert_trades(result, [closed(0, 0, 1, 101.5, 1, 96.5, REVERSE), trade(0, 1, -1, 96.5)])


# ---- market orders at the open (fill_at="open") ----

# (bars, entries, exits, settings, the trades): a long entered at bar 0's
# open 100, levels 90 and 120 from sl_stop=10 and tp_stop=20
EXIT_BAR = (98.0, 99.0, 85.0, 88.0)  # opens above 90, its low below
OPEN_FILLS = {
    "the exit signal at the open before a stop inside the bar": (
        [FLAT, FLAT, EXIT_BAR], [1, 0, 0], [0, 0, -1], {},
        [closed(0, 0, 1, 100.0, 2, 98.0, SIGNAL)]),
    "the holding limit at the open before a stop inside the bar": (
        [FLAT, FLAT, EXIT_BAR], [1, 0, 0], None, dict(max_hold_bars=2),
        [closed(0, 0, 1, 100.0, 2, 98.0, MAX_HOLD)]),
    "slippage on both market fills at the open": (
        [FLAT, FLAT, EXIT_BAR], [1, 0, 0], [0, 0, -1], dict(slip_point=0.5),
        [closed(0, 0, 1, 100.5, 2, 97.5, SIGNAL)]),
    "the gap stop at the open before the exit signal": (
        [FLAT, FLAT, (88.0, 95.0, 85.0, 90.0)], [1, 0, 0], [0, 0, -1], {},
        [closed(0, 0, 1, 100.0, 2, 88.0, STOP_LOSS)]),
    "the entry bar's low stops the new long": (
        [(100.0, 101.0, 89.0, 95.0), FLAT], [1, 0], None, {},
        [closed(0, 0, 1, 100.0, 0, 90.0, STOP_LOSS)]),
    "the entry bar's high takes the new long's profit": (
        [(100.0, 121.0, 99.0, 110.0), FLAT], [1, 0], None, {},
        [closed(0, 0, 1, 100.0, 0, 120.0, TAKE_PROFIT)]),
    "the entry bar's high stops the new short": (
        [(100.0, 111.0, 99.0, 105.0), FLAT], [-1, 0], None, {},
        [closed(0, 0, -1, 100.0, 0, 110.0, STOP_LOSS)]),
    # the reference moves to bar 0's high 110, the stop to 100: bar 1's low
    "the entry bar trails": (
        [(100.0, 110.0, 99.0, 105.0), (102.0, 103.0, 100.0, 101.0)], [1, 0], None,
        dict(sl_trail=1), [closed(0, 0, 1, 100.0, 1, 100.0, STOP_LOSS)]),
    "a bar inside the levels keeps the entry": (
        [(100.0, 119.0, 91.0, 100.0), FLAT], [1, 0], None, {}, [trade(0, 0, 1, 100.0)]),
}


@pytest.mark.parametrize("rows, entries, exits, settings, want", list(OPEN_FILLS.values()),
                         ids=list(OPEN_FILLS))
def test_market_orders_at_the_open(rows, entries, exits, settings, want):
    result = solo_bars(rows, entries, exits, sl_stop=10, tp_stop=20, fill_at="open", **settings)
    assert_trades(result, want)


def test_reversal_at_the_open_then_the_new_short_stopped_in_the_range():
    # bar 1: the long closes at the open 101 (pnl 4), the short enters there
    # with its stop at 111, and the bar's high 112 reaches it (pnl -51)
    o, h, lo, c = bars([FLAT, (101.0, 112.0, 100.0, 104.0)])
    result = ledger.solo(c, np.array([[1.0], [-1.0]]), np.zeros((2, 1)), **PLAIN, sl_stop=10,
                         opposite_entry="reverse", fill_at="open", open=o, high=h, low=lo,
                         histories=True)
    assert_trades(result, [closed(0, 0, 1, 100.0, 1, 101.0, REVERSE),
                           closed(0, 1, -1, 101.0, 1, 111.0, STOP_LOSS)])
    # the bar's pnl is the sum of its two closes; four fees
    assert result["histories"][0][:, 3].tolist() == [0.0, 4.0 - 51.0]
    assert result["equity"].tolist() == [1e6 - 1.0, 1e6 - 1.0 + 4.0 - 1.0 - 51.0]
    assert result["total_fee"] == 4.0


def test_filling_at_the_open_is_filling_at_prices_the_opens_without_stops():
    rng = np.random.default_rng(8)
    c = np.round(100.0 + np.cumsum(rng.choice([-2.0, 0.0, 2.0], size=(60, 3)), axis=0))
    o = np.round(c + rng.choice([-3.0, 0.0, 3.0], size=c.shape))
    h, lo = np.maximum(o, c) + 1.0, np.minimum(o, c) - 1.0
    e, x = (rng.choice([0.0, 1.0, -1.0], p=[0.8, 0.1, 0.1], size=c.shape) for _ in range(2))
    settings = dict(max_hold_bars=4, slip_point=0.5, opposite_entry="reverse")
    got = ledger.solo(c, e, x, **settings, open=o, high=h, low=lo, fill_at="open")
    want = ledger.solo(c, e, x, **settings, prices=o)
    assert len(want["trades"]) > 10
    assert got["trades"].tobytes() == want["trades"].tobytes()
    assert got["value"].tobytes() == want["value"].tobytes()


# ---- pairs ----

def pair_bars(rows_a, rows_b, entries, exits=None, **settings):
    a, b = np.array(rows_a, dtype=float), np.array(rows_b, dtype=float)
    o, h, lo, c = (np.stack([a[:, k], b[:, k]], axis=1) for k in range(4))
    entries = np.array(entries, dtype=float)
    exits = np.zeros_like(entries) if exits is None else np.array(exits, dtype=float)
    return ledger.pair(c, entries, exits, **settings, open=o, high=h, low=lo)


def test_pair_leg_gap_fill_and_cascade():
    # A long and B short at (100, 50); A gaps below its stop at 90
    result = pair_bars([FLAT, (85.0, 88.0, 84.0, 86.0)], [(50.0,) * 4, (51.0, 52.0, 49.0, 50.0)],
                       [1, 0], sl_stop=10)
    assert_trades(result, [closed(0, 0, 1, 100.0, 1, 85.0, STOP_LOSS),
                           closed(1, 0, -1, 50.0, 1, 50.0, CASCADE)])


def test_pair_both_hit_per_leg():
    both = (100.0, 121.0, 89.0, 100.0)
    for both_hit, fill, reason in (("stop_loss", 90.0, STOP_LOSS),
                                   ("take_profit", 120.0, TAKE_PROFIT)):
        result = pair_bars([FLAT, both], [FLAT, FLAT], [1, 0], sl_stop=10, tp_stop=20,
                           both_hit=both_hit)
        assert_trades(result, [closed(0, 0, 1, 100.0, 1, fill, reason),
                               closed(1, 0, -1, 100.0, 1, 100.0, CASCADE)])


def test_pair_trails_after_the_bar():
    # leg A long trails from bar 1's high 110 (stop 100), B short from its
    # low 90 (stop 100); bar 2's A low reaches 100
    result = pair_bars([FLAT, (100.0, 110.0, 99.0, 105.0), (101.0, 102.0, 100.0, 101.0)],
                       [FLAT, (100.0, 101.0, 90.0, 95.0), (96.0, 99.0, 95.0, 97.0)],
                       [1, 0, 0], sl_stop=10, sl_trail=1)
    assert_trades(result, [closed(0, 0, 1, 100.0, 2, 100.0, STOP_LOSS),
                           closed(1, 0, -1, 100.0, 2, 97.0, CASCADE)])


@pytest.mark.parametrize("init_cash, entered", [(1e6, True), (146.0, True), (145.0, False)])
def test_pair_reversal(init_cash, entered):
    # long spread at (100, 100): margins 50 + 50, fees 1 + 1; the reversal
    # closes A at 96 and B at 104, each losing 20 + 1, which leaves
    # init - 102 + 100 - 42 free; the short spread at (96, 104) needs
    # 48 + 1 + 52 + 1 = 102, so init >= 146
    result = pair_bars([FLAT, (97.0, 98.0, 95.0, 96.0)], [FLAT, (103.0, 105.0, 102.0, 104.0)],
                       [1, -1], init_cash=init_cash, opposite_entry="reverse")
    want = [closed(0, 0, 1, 100.0, 1, 96.0, REVERSE), closed(1, 0, -1, 100.0, 1, 104.0, REVERSE)]
    if entered:
        want += [trade(0, 1, -1, 96.0), trade(1, 1, 1, 104.0)]
    assert_trades(result, want)
    assert result["refused"].tolist() == ([0, 0] if entered else [1, 1])
    assert result["total_fee"] == (6.0 if entered else 4.0)


def test_pair_reversal_after_the_exit_signal():
    # the exit closes the long leg A, the cascade B, then the short spread enters
    bar = (97.0, 98.0, 95.0, 96.0)
    result = pair_bars([FLAT, bar], [FLAT, bar], [1, -1], [0, -1], opposite_entry="reverse")
    assert_trades(result, [closed(0, 0, 1, 100.0, 1, 96.0, SIGNAL),
                           closed(1, 0, -1, 100.0, 1, 96.0, CASCADE),
                           trade(0, 1, -1, 96.0), trade(1, 1, 1, 96.0)])


def test_pair_no_reversal_after_a_stop():
    bar = (97.0, 98.0, 89.0, 96.0)
    result = pair_bars([FLAT, bar], [FLAT, FLAT], [1, -1], sl_stop=10, opposite_entry="reverse")
    assert_trades(result, [closed(0, 0, 1, 100.0, 1, 90.0, STOP_LOSS),
                           closed(1, 0, -1, 100.0, 1, 100.0, CASCADE)])


# A long (stop 90) and B short (stop 110) entered at the opens (100, 100) of
# bar 0; on bar 1 the leg that leaves first takes the other along: at the
# open when it left at the open, at the close when inside the range.
PAIR_OPEN_FILLS = {
    "a gap stop: the other leg at the open": (
        (85.0, 88.0, 84.0, 86.0), None, [closed(0, 0, 1, 100.0, 1, 85.0, STOP_LOSS),
                                         closed(1, 0, -1, 100.0, 1, 101.0, CASCADE)]),
    "an exit signal: the other leg at the open": (
        (99.0, 100.0, 95.0, 97.0), [0, -1], [closed(0, 0, 1, 100.0, 1, 99.0, SIGNAL),
                                             closed(1, 0, -1, 100.0, 1, 101.0, CASCADE)]),
    "a stop inside the range: the other leg at the close": (
        (95.0, 96.0, 88.0, 92.0), None, [closed(0, 0, 1, 100.0, 1, 90.0, STOP_LOSS),
                                         closed(1, 0, -1, 100.0, 1, 102.0, CASCADE)]),
}


@pytest.mark.parametrize("bar_a, exits, want", list(PAIR_OPEN_FILLS.values()),
                         ids=list(PAIR_OPEN_FILLS))
def test_pair_other_leg_at_the_open_or_the_close(bar_a, exits, want):
    result = pair_bars([FLAT, bar_a], [FLAT, (101.0, 103.0, 100.0, 102.0)], [1, 0], exits,
                       sl_stop=10, fill_at="open")
    assert_trades(result, want)


def test_pair_entry_bar_range_stops_a_leg():
    # entered at (100, 50); A's low 89 reaches its stop 90 on the entry bar,
    # B (stop 60) follows at its close 49
    result = pair_bars([(100.0, 101.0, 89.0, 95.0)], [(50.0, 51.0, 48.0, 49.0)], [1],
                       sl_stop=10, fill_at="open")
    assert_trades(result, [closed(0, 0, 1, 100.0, 0, 90.0, STOP_LOSS),
                           closed(1, 0, -1, 50.0, 0, 49.0, CASCADE)])


def test_pair_stop_at_or_past_the_open_takes_the_other_leg_at_the_open():
    # with slippage 0.5 A buys at 100.5 and its stop, a quarter tick below,
    # sits at 100.25, above the open: it fills at the open (99.5 after
    # slippage) and B, whose stop 50.5 the bar does not reach, at the open
    result = pair_bars([(100.0, 101.0, 99.0, 100.0)], [(50.0, 50.4, 49.0, 50.0)], [1],
                       sl_stop=1, price_tick=[0.25, 1.0], slip_point=0.5, fill_at="open")
    assert_trades(result, [closed(0, 0, 1, 100.5, 0, 99.5, STOP_LOSS),
                           closed(1, 0, -1, 49.5, 0, 50.5, CASCADE)])
