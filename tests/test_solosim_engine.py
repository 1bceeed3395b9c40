"""from_signals scenarios with hand-computed results: entries, the four exits
and their fills, slippage, refusals, stops and the shared account. Each runs
against the engine and against the slow model."""

import math

import numpy as np
import pytest

from quorra.accel import solosim

import solosim_model as model
from support import same_bits

EQ, POS, SIZE, PNL, CUM, FEE = range(6)
CASH = 1000000.0


def column(values):
    return np.array(values, dtype=np.float64).reshape(-1, 1)


@pytest.fixture(params=["engine", "model"])
def from_signals(request):
    return {"engine": solosim.from_signals, "model": model.from_signals}[request.param]


@pytest.fixture
def run(from_signals):
    def run(prices, entries, exits=None, **kwargs):
        """One contract; exits default to none. Returns its (n, 6) history."""
        n = len(prices)
        exits = np.zeros(n) if exits is None else exits
        return from_signals(column(prices), column(entries), column(exits), **kwargs)[0]

    return run


def long_profit(entry, fill, size=1.0, multiple=5.0, com=1.0):
    return ((fill - entry) * size) * multiple - com


def short_profit(entry, fill, size=1.0, multiple=5.0, com=1.0):
    return ((entry - fill) * size) * multiple - com


def test_winning_long_by_exit_signal(run):
    h = run([100.0, 101.0, 110.0, 105.0], [1, 0, 0, 0], [0, 0, -1, 0])
    assert h[0].tolist() == [CASH - 1.0, 1.0, 1.0, 0.0, -1.0, 1.0]
    assert h[1].tolist() == [CASH - 1.0, 1.0, 1.0, 0.0, -1.0, 1.0]
    assert h[2].tolist() == [CASH + 48.0, 0.0, 1.0, 49.0, 48.0, 2.0]
    # after the close-out the size column keeps the closed size
    assert h[3].tolist() == [CASH + 48.0, 0.0, 1.0, 0.0, 48.0, 2.0]


SLIP = 0.5  # exact in single precision


# (name, direction, prices after the entry bar at 100, settings, the fill
# before slippage as a function of the entry fill: stops sit at a distance
# from it, market exits at the bar's price)
EXITS = [
    ("stop-loss", 1, [95.0, 85.0], dict(sl_stop=10), lambda e: e - 10.0),
    ("stop-loss", -1, [105.0, 115.0], dict(sl_stop=10), lambda e: e + 10.0),
    ("take-profit", 1, [105.0, 125.0], dict(tp_stop=20), lambda e: e + 20.0),
    ("take-profit", -1, [95.0, 75.0], dict(tp_stop=20), lambda e: e - 20.0),
    ("holding time", 1, [104.0, 107.0], dict(max_hold_bars=2), lambda e: 107.0),
    ("holding time", -1, [96.0, 93.0], dict(max_hold_bars=2), lambda e: 93.0),
    ("signal", 1, [104.0, 107.0], dict(exits=[0, 0, -1]), lambda e: 107.0),
    ("signal", -1, [96.0, 93.0], dict(exits=[0, 0, 1]), lambda e: 93.0),
]


@pytest.mark.parametrize("slip", [0.0, SLIP])
@pytest.mark.parametrize("name, direction, later, settings, level", EXITS)
def test_exit_fills(run, name, direction, later, settings, level, slip):
    settings = dict(settings)
    exits = np.array(settings.pop("exits", [0, 0, 0]), dtype=float)
    h = run([100.0, *later], [direction, 0, 0], exits, slip_point=slip, **settings)
    entry = 100.0 + slip if direction == 1 else 100.0 - slip
    # slippage always against the trader
    fill = level(entry) - slip if direction == 1 else level(entry) + slip
    profit = (long_profit if direction == 1 else short_profit)(entry, fill)
    assert h[:, POS].tolist() == [direction, direction, 0.0]
    assert h[:, PNL].tolist() == [0.0, 0.0, profit]
    assert h[2, CUM] == -1.0 + profit
    assert h[2, FEE] == 2.0
    assert h[2, EQ] == CASH + h[2, CUM]


@pytest.mark.parametrize("slip", [-1.0, math.nan, -math.inf, 0.0])
def test_non_positive_slippage_is_none(run, slip):
    prices = [100.0, 95.0, 85.0, 90.0, 130.0]
    entries = [1, 0, 0, -1, 0]
    got = run(prices, entries, [0, 0, 0, 0, 1], slip_point=slip, sl_stop=10, tp_stop=20)
    want = run(prices, entries, [0, 0, 0, 0, 1], sl_stop=10, tp_stop=20)
    assert same_bits(got, want)


def test_stop_loss_wins_over_take_profit(run):
    # A negative tick puts both levels on the wrong side of the fill, so the
    # first holding bar meets both conditions.
    h = run([100.0, 100.0], [1, 0], sl_stop=10, tp_stop=20, price_tick=-1.0)
    assert h[1, PNL] == long_profit(100.0, 110.0)


def test_stop_fills_at_level_past_a_gap(run):
    h = run([100.0, 50.0], [1, 0], sl_stop=10)
    assert h[1, PNL] == long_profit(100.0, 90.0)


@pytest.mark.parametrize("direction, wrong", [(1, 1), (-1, -1), (1, 2), (-1, math.nan)])
def test_exit_signal_of_wrong_sign_does_nothing(run, direction, wrong):
    h = run([100.0, 104.0, 107.0], [direction, 0, 0], [0, wrong, 0])
    assert h[:, POS].tolist() == [direction] * 3


def test_max_hold_one_bar(run):
    h = run([100.0, 103.0, 99.0], [1, 0, 0], max_hold_bars=1, slip_point=SLIP)
    assert h[:, POS].tolist() == [1.0, 0.0, 0.0]
    assert h[1, PNL] == long_profit(100.0 + SLIP, 103.0 - SLIP)


def test_entry_and_exit_exclusive_within_a_bar(run):
    # exit signal in the entry bar is ignored; an entry in the close-out bar too
    h = run([100.0, 101.0, 102.0, 103.0], [1, 1, -1, 1], [-1, -1, 0, 0])
    assert h[:, POS].tolist() == [1.0, 0.0, -1.0, -1.0]


def test_entry_ignored_while_holding(run):
    h = run([100.0, 101.0, 102.0], [1, -1, 1])
    assert h[:, POS].tolist() == [1.0, 1.0, 1.0]
    assert h[:, FEE].tolist() == [1.0, 1.0, 1.0]


class TestRefusedEntry:
    def test_too_little_cash(self, run):
        # margin (100 * 3) * 5 * 0.1 = 150 plus commission 3 exceeds 152
        h = run([100.0, 100.0], [1, 0], size=3, init_cash=152.0)
        assert h.tolist() == [[152.0, 0.0, 3.0, 0.0, 0.0, 0.0]] * 2

    def test_exactly_enough_cash(self, run):
        h = run([100.0, 100.0], [1, 0], size=3, init_cash=153.0)
        assert h[0].tolist() == [150.0, 1.0, 3.0, 0.0, -3.0, 3.0]

    @pytest.mark.parametrize("price", [math.nan])
    def test_nan_requirement_refused(self, run, price):
        h = run([price, 100.0], [1, 0])
        assert h[0, POS] == 0.0 and h[0, FEE] == 0.0 and h[0, SIZE] == 1.0

    def test_refused_then_accepted_with_more_cash(self, from_signals):
        close = np.array([[100.0, 100.0], [100.0, 100.0], [120.0, 100.0]])
        entries = np.array([[1.0, 0.0], [0.0, 1.0], [0.0, 1.0]])
        exits = np.array([[0.0, 0.0], [0.0, 0.0], [-1.0, 0.0]])
        kw = dict(size=2, margin_rate=0.5, price_tick=1.0, volume_multiple=5.0, commission=1,
                  init_cash=600.0)
        a, b = from_signals(close, entries, exits, **kw)
        assert b[1, POS] == 0.0 and b[1, SIZE] == 2.0  # 500 locked by contract 0
        assert a[2, PNL] == long_profit(100.0, 120.0, size=2.0, com=2.0)
        assert b[2, POS] == 1.0  # contract 0's close freed the cash earlier in the bar


@pytest.mark.parametrize("value, position", [(2.0, 2.0), (math.nan, math.nan), (-3.0, -3.0)])
def test_unusual_entry_values_trade_as_short(run, value, position):
    h = run([100.0, 90.0, 80.0], [value, 0, 0], [0, 1, -1], slip_point=SLIP)
    assert h[0, POS] == position or (math.isnan(position) and math.isnan(h[0, POS]))
    # priced as a short (entry 100 - slip); no exit signal can close it
    assert math.isnan(h[2, POS]) if math.isnan(position) else h[2, POS] == position
    closing = run([100.0, 90.0], [value, 0], max_hold_bars=1, slip_point=SLIP)
    assert closing[1, PNL] == short_profit(100.0 - SLIP, 90.0 + SLIP)


# (prices, direction, settings, exit bar, profit of the exit)
STOP_LOSSES = {
    "trailing": ([100.0, 105.0, 103.0, 94.0], 1, dict(sl_stop=10, sl_trail=1), 3,
                 long_profit(100.0, 95.0)),
    "fixed, without trailing": ([100.0, 105.0, 103.0, 94.0, 89.0], 1, dict(sl_stop=10), 4,
                                long_profit(100.0, 90.0)),
    "trailing short": ([100.0, 90.0, 95.0, 101.0], -1, dict(sl_stop=10, sl_trail=1), 3,
                       short_profit(100.0, 100.0)),
    # mode 2: 10 % of the trailed reference
    "trailing fraction grows with the reference": (
        [100.0, 200.0, 181.0, 179.0], 1, dict(sl_stop=0.1, stop_mode=2, sl_trail=1), 3,
        long_profit(100.0, 200.0 - 200.0 * float(np.float32(0.1)))),
    # mode 1: 30 money over 2 lots x 5 = distance 3
    "money": ([100.0, 98.0, 96.0], 1, dict(size=2, sl_stop=30, stop_mode=1), 2,
              long_profit(100.0, 97.0, size=2.0, com=2.0)),
    # an unknown mode gives distance 0.0: the stop-loss sits at the entry fill
    **{f"unknown mode {mode}": ([100.0, 101.0, 100.0], 1, dict(sl_stop=10, stop_mode=mode), 2,
                                long_profit(100.0, 100.0)) for mode in (3, -1, 100)},
}


class TestStops:
    @pytest.mark.parametrize("prices, direction, settings, exit_bar, pnl",
                             list(STOP_LOSSES.values()), ids=list(STOP_LOSSES))
    def test_stop_loss_exit(self, run, prices, direction, settings, exit_bar, pnl):
        h = run(prices, [direction] + [0] * (len(prices) - 1), **settings)
        assert h[:, POS].tolist() == [direction] * exit_bar + [0.0] * (len(prices) - exit_bar)
        assert h[exit_bar, PNL] == pnl

    @pytest.mark.parametrize("name", ["sl_stop", "tp_stop"])
    @pytest.mark.parametrize("value", [math.nan, 0.0, -5.0])
    def test_unset_stop(self, run, name, value):
        h = run([100.0, 1.0, 1000.0], [1, 0, 0], **{name: value})
        assert h[:, POS].tolist() == [1.0, 1.0, 1.0]


def test_account_columns_accumulate_in_column_order(from_signals):
    close = np.full((2, 3), 100.0)
    entries = np.array([[1.0, 1.0, 1.0], [0.0, 0.0, 0.0]])
    kw = dict(margin_rate=0.1, price_tick=1.0, volume_multiple=5.0, commission=1)
    got = from_signals(close, entries, np.zeros((2, 3)), **kw)
    assert [a[0, FEE] for a in got] == [1.0, 2.0, 3.0]
    assert [a[0, EQ] for a in got] == [CASH - 1.0, CASH - 2.0, CASH - 3.0]


def test_run_error_from_sizing(run, from_signals):
    with pytest.raises(ZeroDivisionError, match="^float division$") as info:
        run([100.0, 100.0], [0, 1], size_type=1, margin_rate=0.0)
    if from_signals is solosim.from_signals:
        names = [entry.name for entry in info.traceback[-2:]]
        assert names == ["quorra.accel.solosim.from_signals",
                         "quorra.accel.solosim.calculate_size"]


@pytest.mark.parametrize("seed", range(8))
def test_account_invariants_exact(from_signals, seed, monkeypatch):
    """With whole-number figures every step is exact: equity is init_cash
    plus cum_profit on every row, and at every entry attempt the free cash
    (seen by a cash-relative size) plus the margins locked by the open
    positions equals equity."""
    rng = np.random.default_rng(seed)
    n, m = 80, 4
    close = 1000.0 + np.cumsum(rng.integers(-5, 6, (n, m)), axis=0).astype(float)
    entries = rng.choice([0.0] * 6 + [1.0, -1.0], size=(n, m))
    exits = rng.choice([0.0] * 5 + [1.0, -1.0], size=(n, m))
    kw = dict(size=0.25, size_type=2, margin_rate=0.5, price_tick=1.0, volume_multiple=4.0,
              commission=3, com_type=1, init_cash=200000.0, sl_stop=8, tp_stop=12,
              max_hold_bars=9)
    seen = []

    def seeing_size(*args):
        seen.append(args)
        return model.calculate_size(*args)

    if from_signals is model.from_signals:
        kw["size_fn"] = seeing_size
    else:
        monkeypatch.setattr(solosim, "calculate_size", seeing_size)
    got = from_signals(close, entries, exits, **kw)
    for a in got:
        assert np.array_equal(a[:, EQ], 200000.0 + a[:, CUM])

    # Replay the entry attempts in processing order.
    attempts = iter(seen)
    margin = [0.0] * m
    equity = 200000.0
    checked = 0
    for i in range(n):
        for j in range(m):
            flat_before = i == 0 or got[j][i - 1, POS] == 0
            if flat_before and entries[i, j] != 0:
                trade_price, _, _, cash, rate, multiple = next(attempts)
                assert cash + sum(margin) == equity
                checked += 1
                if got[j][i, POS] != 0:
                    margin[j] = ((trade_price * got[j][i, SIZE]) * multiple) * rate
            if got[j][i, POS] == 0:
                margin[j] = 0.0
            equity = got[j][i, EQ]
    assert next(attempts, None) is None and checked > 20
