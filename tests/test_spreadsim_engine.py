"""Pair backtest: entries, exits, cascade and account, against worked figures
and the slow model."""

import math

import numpy as np
import pytest

import spreadsim_model as model
from quorra.accel import spreadsim
from support import same_bits

INIT = 1000000.0


def pair(prices, entries, exits=None, **kw):
    prices = np.array(prices, dtype=np.float64)
    entries = np.array(entries, dtype=np.float64)
    exits = np.zeros(len(entries)) if exits is None else np.array(exits, dtype=np.float64)
    result = spreadsim.pair_from_signals(prices, entries, exits, **kw)
    model.assert_same_rows(result, model.pair_from_signals(prices, entries, exits, **kw))
    return result


def profit(side, entry, exit_price, lots=1.0, multiple=5.0, fee=1.0):
    if side == 1:
        return (exit_price - entry) * lots * multiple - fee
    return (entry - exit_price) * lots * multiple - fee


# --- joint entry -----------------------------------------------------------

def test_entry_opens_both_legs_with_fees_and_margin():
    r0, r1 = pair([[100.0, 50.0]], [1.0])
    assert r0[0].tolist() == [999998.0, 1.0, 1.0, 0.0, -2.0, 2.0]
    assert r1[0].tolist() == [999998.0, -1.0, 1.0, 0.0, -2.0, 2.0]


@pytest.mark.parametrize("signal, side_a", [(1.0, 1), (0.5, 1), (-1.0, -1), (-0.5, -1),
                                            (math.nan, -1), (math.inf, 1), (-math.inf, -1)])
def test_entry_signal_sets_spread_direction(signal, side_a):
    r0, r1 = pair([[100.0, 50.0]], [signal])
    assert (r0[0, 1], r1[0, 1]) == (side_a, -side_a)


def test_entry_refused_when_cash_short_then_taken_at_lower_prices():
    r0, r1 = pair([[100.0, 50.0], [50.0, 10.0]], [1.0, 1.0], init_cash=60.0)
    assert r0[0].tolist() == [60.0, 0.0, 0.0, 0.0, 0.0, 0.0]
    assert r1[0].tolist() == [60.0, 0.0, 0.0, 0.0, 0.0, 0.0]
    assert r0[1].tolist() == [58.0, 1.0, 1.0, 0.0, -2.0, 2.0]


@pytest.mark.parametrize("cash, entered", [(77.0, True), (76.99, False)])
def test_capital_check_covers_both_legs_margins_and_fees(cash, entered):
    # margins 50 + 25 and fees 1 + 1: 77 needed.
    r0, _ = pair([[100.0, 50.0]], [1.0], init_cash=cash)
    assert r0[0, 1] == (1.0 if entered else 0.0)


def test_slippage_works_against_both_legs_at_entry_and_exit():
    r0, r1 = pair([[100.0, 50.0], [100.0, 50.0]], [1.0, 0.0], [0.0, -1.0], slip_point=0.5)
    # A buys at 100.5 and sells at 99.5; B sells at 49.5 and buys back at 50.5.
    assert r0[1, 3] == profit(1, 100.5, 99.5)
    assert r1[1, 3] == profit(-1, 49.5, 50.5)


def test_single_precision_settings_act_rounded():
    slip = float(np.float32(0.1))
    assert slip != 0.1
    r0, r1 = pair([[100.0, 50.0], [100.0, 50.0]], [1.0, 0.0], [0.0, -1.0],
                  slip_point=0.1, init_cash=123456789)
    assert r0[0, 0] == 123456792.0 - 2.0
    assert r0[1, 3] == profit(1, 100.0 + slip, 100.0 - slip)
    assert r1[1, 3] == profit(-1, 50.0 - slip, 50.0 + slip)


def test_size_type_two_sizes_both_legs_on_the_same_cash():
    # One-lot margins 50 and 25: 0.4 of the cash buys 8000 and 16000 lots.
    r0, r1 = pair([[100.0, 50.0]], [1.0], size=0.4, size_type=2)
    assert (r0[0, 2], r1[0, 2]) == (8000.0, 16000.0)


def test_entry_bar_runs_no_exit_check():
    r0, _ = pair([[100.0, 50.0], [100.0, 50.0]], [1.0, 0.0], [-1.0, 0.0], max_hold_bars=1)
    assert r0[0, 1] == 1.0 and r0[1, 1] == 0.0


# --- per-leg exits and the cascade ------------------------------------------

ENTRY = (100.0, 50.0)

# (rule, spread side of leg A, leg leaving by its own rule, bar-1 prices, exit signal)
ONE_LEG_EXITS = [
    ("sl", 1, 0, (97.0, 50.0), 0.0), ("sl", 1, 1, (100.0, 53.0), 0.0),
    ("sl", -1, 0, (103.0, 50.0), 0.0), ("sl", -1, 1, (100.0, 47.0), 0.0),
    ("tp", 1, 0, (104.0, 50.0), 0.0), ("tp", 1, 1, (100.0, 46.0), 0.0),
    ("tp", -1, 0, (96.0, 50.0), 0.0), ("tp", -1, 1, (100.0, 54.0), 0.0),
    ("signal", 1, 0, (101.0, 49.0), -1.0), ("signal", 1, 1, (101.0, 49.0), 1.0),
    ("signal", -1, 0, (99.0, 51.0), 1.0), ("signal", -1, 1, (99.0, 51.0), -1.0),
]


def exit_level(rule, side, fill, bar_price):
    if rule == "sl":
        return fill - side * 2.0
    if rule == "tp":
        return fill + side * 3.0
    return bar_price


@pytest.mark.parametrize("slip", [0.0, 0.25])
@pytest.mark.parametrize("rule, side_a, leaver, bar, signal", ONE_LEG_EXITS)
def test_one_leg_exit_and_cascade(rule, side_a, leaver, bar, signal, slip):
    sides = (side_a, -side_a)
    r = pair([ENTRY, bar, bar], [side_a, 0.0, 0.0], [0.0, signal, 0.0],
             sl_stop=2.0 if rule == "sl" else 0.0, tp_stop=3.0 if rule == "tp" else 0.0,
             slip_point=slip)
    for j in (0, 1):
        fill = ENTRY[j] + sides[j] * slip
        level = exit_level(rule, sides[j], fill, bar[j]) if j == leaver else bar[j]
        assert r[j][1, 3] == profit(sides[j], fill, level - sides[j] * slip)
        assert r[j][1, 1] == 0.0 and r[j][2, 1] == 0.0
        assert r[j][2, 3] == 0.0 and r[j][2, 2] == 1.0


# Both legs meet their own rules on bar 1 (long spread): no cascade.
BOTH_LEG_EXITS = [
    ({"sl_stop": 2.0}, (97.0, 53.0), 0.0, (98.0, 52.0)),
    ({"tp_stop": 3.0}, (104.0, 46.0), 0.0, (103.0, 47.0)),
    ({"sl_stop": 2.0}, (97.0, 50.0), 1.0, (98.0, 50.0)),  # A stopped, B by its signal
    ({"tp_stop": 3.0}, (101.0, 46.0), -1.0, (101.0, 47.0)),  # A by signal, B takes profit
    ({"max_hold_bars": 1}, (104.0, 48.0), 0.0, (104.0, 48.0)),
]


@pytest.mark.parametrize("settings, bar, signal, trades", BOTH_LEG_EXITS)
def test_both_legs_leave_by_their_own_rules(settings, bar, signal, trades):
    r = pair([ENTRY, bar], [1.0, 0.0], [0.0, signal], **settings)
    assert r[0][1, 3] == profit(1, 100.0, trades[0])
    assert r[1][1, 3] == profit(-1, 50.0, trades[1])


def test_stop_loss_and_cascade_rows():
    r0, r1 = pair([ENTRY, (97.5, 50.5), (97.5, 50.5)], [1, 0, 0], sl_stop=2.0)
    assert r0[1].tolist() == [999983.5, 0.0, 1.0, -11.0, -16.5, 4.0]
    assert r1[1].tolist() == [999983.5, 0.0, 1.0, -3.5, -16.5, 4.0]
    assert r0[2].tolist() == [999983.5, 0.0, 1.0, 0.0, -16.5, 4.0]


def test_positive_exit_signal_closes_long_spread():
    r0, r1 = pair([ENTRY, (101.0, 49.0)], [1, 0], [0, 1])
    assert r0[1].tolist() == [1000006.0, 0.0, 1.0, 4.0, 6.0, 4.0]
    assert r1[1].tolist() == [1000006.0, 0.0, 1.0, 4.0, 6.0, 4.0]


def test_trailing_stop_follows_best_price_and_tie_counts():
    path = [ENTRY, (103.0, 49.0), (101.0, 49.5)]
    r0, r1 = pair(path, [1, 0, 0], sl_stop=2.0, sl_trail=1)
    assert r0[1, 1] == 1.0
    assert r0[2, 3] == 4.0 and r1[2, 3] == 1.5
    assert (r0[2, 0], r0[2, 4], r0[2, 5]) == (1000003.5, 3.5, 4.0)
    # without trailing the same path keeps the position
    assert pair(path, [1, 0, 0], sl_stop=2.0)[0][2, 1] == 1.0


def test_holding_limit_with_slippage():
    r0, r1 = pair([ENTRY, ENTRY, (104.0, 48.0)], [1, 0, 0], max_hold_bars=2, slip_point=0.5)
    assert r0[1, 1] == 1.0
    assert (r0[2, 3], r1[2, 3]) == (14.0, 4.0)


def test_take_profit_on_short_spread_fills_at_level():
    r0, r1 = pair([ENTRY, (95.0, 52.0)], [-1, 0], tp_stop=3.0)
    assert (r0[1, 3], r1[1, 3]) == (14.0, 9.0)


@pytest.mark.parametrize("signal", [math.nan, 0.0])
def test_nan_or_zero_exit_closes_nothing(signal):
    r0, _ = pair([ENTRY, ENTRY], [1, 0], [0, signal])
    assert r0[1, 1] == 1.0


def test_reentry_on_bar_after_close_not_on_close_bar():
    r0, _ = pair([ENTRY] * 4, [1, 1, 1, 1], [0, -1, 0, 0])
    assert r0[:, 1].tolist() == [1.0, 0.0, 1.0, 1.0]


def test_loss_beyond_free_cash_refuses_later_entries():
    r0, r1 = pair([ENTRY, (10.0, 90.0), (1.0, 1.0), (1.0, 1.0)], [1, 0, 1, 1], [0, -1, 0, 0],
                  init_cash=100.0)
    assert r0[1, 3] == -451.0 and r1[1, 3] == -201.0
    assert r0[2:, 1].tolist() == [0.0, 0.0]
    assert r0[3, 0] == 100.0 - 2.0 - 451.0 - 201.0


# --- warm-up -----------------------------------------------------------------

@pytest.mark.parametrize("min_start, first_open", [
    (3, 2), (2, 1), (1, 0), (0, 0), (-5, 0), (-2**31, 0), (2**31 - 1, None)])
def test_warm_up_bars_are_not_traded(min_start, first_open):
    r0, r1 = pair([ENTRY] * 4, [1, 1, 1, 1], min_start_length=min_start)
    opened = [i for i in range(4) if r0[i, 1] != 0.0]
    assert (opened[0] if opened else None) == first_open
    for i in range(first_open if first_open is not None else 4):
        assert r0[i].tolist() == [INIT, 0.0, 0.0, 0.0, 0.0, 0.0] == r1[i].tolist()


def test_no_entries_leaves_initial_rows():
    r0, r1 = pair([ENTRY] * 3, [0, 0, 0], [1, -1, 1], sl_stop=1.0)
    assert (r0 == [INIT, 0, 0, 0, 0, 0]).all() and (r1 == [INIT, 0, 0, 0, 0, 0]).all()


def test_empty_close_gives_empty_rows():
    result = spreadsim.pair_from_signals(np.zeros((0, 2)), np.zeros(0), np.zeros(0))
    assert [r.shape for r in result] == [(0, 6), (0, 6)]
    assert all(r.dtype == np.float64 for r in result)


# --- randomised runs against the model ---------------------------------------

def random_case(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(50, 400))
    start = rng.uniform(20, 200, size=2)
    walk = np.cumsum(rng.normal(0, rng.uniform(0.2, 2.0), size=(n, 2)), axis=0)
    close = np.round(np.maximum(start + walk, 1.0), int(rng.integers(0, 4)))
    density = rng.uniform(0.01, 0.3)
    signal_values = np.array([1.0, -1.0, 0.5, -2.0, math.nan])

    def signal():
        s = np.where(rng.random(n) < density, rng.choice(signal_values, size=n), 0.0)
        return s.astype(np.float64)

    def leg_setting(choices):
        a, b = rng.choice(choices, size=2)
        return [float(a), float(b)] if rng.random() < 0.7 else float(a)

    size_type = int(rng.choice([0, 1, 2, 3]))
    size = {0: rng.choice([1.0, 2.5, 0.3, 7.0]), 1: rng.uniform(100, 20000),
            2: rng.uniform(0.001, 0.2), 3: 1.0}[size_type]
    kw = dict(
        size=float(size), size_type=size_type,
        margin_rate=leg_setting([0.05, 0.1, 0.12, 0.3]),
        price_tick=leg_setting([0.01, 0.2, 1.0, 5.0]),
        volume_multiple=leg_setting([1.0, 5.0, 10.0, 300.0]),
        min_start_length=int(rng.integers(-2, 10)),
        init_cash=float(rng.choice([1e6, 5e4, 3e3, 123456.7])),
        commission=leg_setting([0.0, 1.0, 2.5, 0.0003]),
        com_type=int(rng.choice([0, 1, 2, 3])),
        slip_point=float(rng.choice([0.0, 0.0, 0.1, 0.5, -0.3])),
        sl_stop=float(rng.choice([0.0, 1.0, 3.3, 0.02, 500.0])),
        tp_stop=float(rng.choice([0.0, 2.0, 4.7, 0.05, 900.0])),
        stop_mode=int(rng.choice([0, 1, 2, 7])),
        sl_trail=int(rng.choice([0, 1, -3])),
        max_hold_bars=int(rng.choice([0, 0, 3, 17, -1])),
        leg_size_ratio=[1.0, 2, 0.5, [2, 3], (1.5,), [0.7, 4.2]][int(rng.integers(0, 6))],
    )
    prices = None
    if rng.random() < 0.3:
        prices = np.round(close + rng.normal(0, 0.5, size=(n, 2)), 2)
    return close, signal(), signal(), prices, kw


@pytest.mark.parametrize("seed", range(80))
def test_random_runs_match_model(seed):
    close, entries, exits, prices, kw = random_case(seed)
    result = spreadsim.pair_from_signals(close, entries, exits, prices=prices, **kw)
    rows = model.pair_from_signals(close, entries, exits, prices=prices, **kw)
    model.assert_same_rows(result, rows)


@pytest.mark.parametrize("seed", range(80, 110))
def test_account_invariants(seed):
    close, entries, exits, prices, kw = random_case(seed)
    r0, r1 = spreadsim.pair_from_signals(close, entries, exits, prices=prices, **kw)
    init = model.f32(kw["init_cash"])
    for col in (0, 4, 5):
        assert same_bits(r0[:, col], r1[:, col])
    # Both legs open in opposite directions, or both flat.
    assert (r0[:, 1] == -r1[:, 1]).all()
    np.testing.assert_allclose(r0[:, 0] - init, r0[:, 4], rtol=0, atol=1e-6 * max(init, 1.0))
    # Profit is booked only on the bar a leg closes.
    was_open = np.concatenate([[0.0], r0[:-1, 1]]) != 0.0
    closes = was_open & (r0[:, 1] == 0.0)
    for r in (r0, r1):
        assert (r[~closes, 3] == 0.0).all()
    # Equity moves only by fees at entries and by closes.
    moved = np.diff(np.concatenate([[init], r0[:, 0]])) != 0.0
    opens = (r0[:, 1] != 0.0) & ~was_open
    assert not (moved & ~(opens | closes)).any()
