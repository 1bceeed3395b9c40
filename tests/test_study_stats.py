"""Backtest.stats() against figures worked out by hand on small made-up runs:
every entry, the undefined (NaN) cases, and annualisation on a DatetimeIndex."""

import math
import statistics

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
from quorra.accel import study  # noqa: E402

NAN = math.nan

# One contract, the ledger's defaults (1 lot, multiple 5, fee 1 a lot):
#   long  bought bar 1 at 102, sold by signal bar 3 at 105: pnl 3 x 5 - 1 = 14,
#         net of its entry fee 13, return 13 / 510
#   short sold bar 4 at 104, bought back by signal bar 5 at 106: pnl -2 x 5 - 1 = -11,
#         net -12, return -12 / 520
#   long  bought bar 6 at 103, still open at the end.
CLOSE = [100.0, 102.0, 101.0, 105.0, 104.0, 106.0, 103.0, 103.0]
ENTRIES = [0, 1, 0, 0, -1, 0, 1, 0]
EXITS = [0, 0, 0, -1, 0, 1, 0, 0]
EQUITY = [1e6, 999999.0, 999999.0, 1000013.0, 1000012.0, 1000001.0, 1000000.0, 1000000.0]
VALUE = [1e6, 999999.0, 999994.0, 1000013.0, 1000012.0, 1000001.0, 1000000.0, 1000000.0]
RETURNS = [VALUE[i] / VALUE[i - 1] - 1 for i in range(1, len(VALUE))]
MAX_DD = 13 / 1000013  # from the peak 1000013 (bar 3) down to 1000000 (bars 6, 7)
# Two drawdown periods: bars 1-2 below the peak of bar 0 (deepest 999994),
# bars 4-7 below the peak of bar 3.
AVG_DD = (6 / 1e6 + MAX_DD) / 2
NET = [13.0, -12.0]


def sharpe(r, p=1.0):
    return statistics.mean(r) / statistics.stdev(r) * math.sqrt(p)


def sortino(r, p=1.0):
    return statistics.mean(r) / math.sqrt(statistics.mean([min(x, 0.0) ** 2 for x in r])) \
        * math.sqrt(p)


def run(index=None, close=CLOSE, entries=ENTRIES, exits=EXITS, **settings):
    index = pd.RangeIndex(len(close)) if index is None else index
    frame = pd.DataFrame({"X": close}, index=index)
    col = lambda v: pd.DataFrame({"X": np.asarray(v, dtype=np.float64)}, index=index)
    return study.backtest(frame, col(entries), col(exits), **settings)


def expected_trade_figures():
    return {"Total Trades": 3, "Closed Trades": 2, "Open Trades": 1, "Win Rate [%]": 50.0,
            "Best Trade": 13.0, "Worst Trade": -12.0, "Avg Winning Trade": 13.0,
            "Avg Losing Trade": -12.0, "Profit Factor": 13.0 / 12.0, "Expectancy": 0.5,
            "Avg Bars Held": 1.5, "Total Fees": 5.0, "Refused Entries": 0}


def expected_new_figures(step=None, periods=None):
    """The figures after the first 25, on CLOSE; `step` the bar spacing of
    a DatetimeIndex (durations in time), `periods` P."""
    scale = 1.0 if periods is None else math.sqrt(periods)
    span = (lambda bars: bars) if step is None else (lambda bars: bars * step)
    positive = sum(r for r in RETURNS if r > 0)
    negative = -sum(r for r in RETURNS if r < 0)
    return {"Buy & Hold Return [%]": (103.0 / 100.0 - 1) * 100,
            "CAGR [%]": NAN if periods is None else 0.0,
            "Volatility (Ann.) [%]": statistics.stdev(RETURNS) * scale * 100,
            "Avg Drawdown [%]": AVG_DD * 100,
            "Avg Drawdown Duration": span(3.0) if step is None else 3 * step,
            "Best Trade [%]": 13 / 510 * 100, "Worst Trade [%]": -12 / 520 * 100,
            "Max Trade Duration": span(2), "Avg Trade Duration": span(1.5),
            "SQN": math.sqrt(2) * statistics.mean(NET) / statistics.stdev(NET),
            "Kelly Criterion": 0.5 - 0.5 / (13 / 12),
            "Omega Ratio": positive / negative,
            "Max Consecutive Wins": 1, "Max Consecutive Losses": 1, "Open Trade PnL": 0.0}


def assert_stats(got, want):
    assert list(got.index) == list(study.STATS)
    assert set(want) == set(study.STATS)
    for key in study.STATS:
        g, w = got[key], want[key]
        if isinstance(w, float) and math.isnan(w):
            assert isinstance(g, float) and math.isnan(g), (key, g)
        elif isinstance(w, float):
            assert g == pytest.approx(w, rel=1e-9, abs=1e-15), (key, g, w)
        else:
            assert type(g) is type(w) and g == w, (key, g, w)


def test_the_series_and_every_statistic_on_numbered_bars():
    bt = run()
    assert bt.equity.tolist() == EQUITY and bt.value.tolist() == VALUE
    assert bt.drawdown.to_numpy() == pytest.approx(
        np.asarray(VALUE) / np.maximum.accumulate(VALUE) - 1, abs=0)
    want = {"Start": 0, "End": 7, "Period": 8, "Start Value": 1e6, "End Value": 1e6,
            "Total Return [%]": 0.0, "Max Drawdown [%]": MAX_DD * 100,
            # below a peak: bars 1-2 (peak bar 0), bars 4-7 (peak bar 3)
            "Max Drawdown Duration": 4,
            # open at the end of bars 1, 2 (first long), 4 (short), 6, 7 (open long)
            "Exposure [%]": 62.5,
            "Sharpe Ratio": sharpe(RETURNS), "Sortino Ratio": sortino(RETURNS),
            "Calmar Ratio": NAN, **expected_trade_figures(), **expected_new_figures()}
    assert_stats(bt.stats(), want)


@pytest.mark.parametrize("freq, periods", [("D", 365.25), ("7D", 365.25 / 7), ("h", 365.25 * 24)])
def test_a_datetime_index_annualises_by_its_median_spacing(freq, periods):
    index = pd.date_range("2024-03-01", periods=len(CLOSE), freq=freq)
    step = index[1] - index[0]
    annual = (VALUE[-1] / VALUE[0]) ** (periods / len(RETURNS)) - 1
    want = {"Start": index[0], "End": index[-1], "Period": 7 * step, "Start Value": 1e6,
            "End Value": 1e6, "Total Return [%]": 0.0, "Max Drawdown [%]": MAX_DD * 100,
            "Max Drawdown Duration": 4 * step, "Exposure [%]": 62.5,
            "Sharpe Ratio": sharpe(RETURNS, periods), "Sortino Ratio": sortino(RETURNS, periods),
            "Calmar Ratio": annual / MAX_DD, **expected_trade_figures(),
            **expected_new_figures(step, periods)}
    assert_stats(run(index).stats(), want)


def test_periods_per_year_overrides_and_annualises_numbered_bars():
    bt = run()
    got = bt.stats(periods_per_year=252)
    assert got["Sharpe Ratio"] == pytest.approx(sharpe(RETURNS, 252), rel=1e-12)
    assert got["Sortino Ratio"] == pytest.approx(sortino(RETURNS, 252), rel=1e-12)
    assert got["Calmar Ratio"] == 0.0  # no return over a nonzero drawdown
    daily = run(pd.date_range("2024-01-01", periods=len(CLOSE), freq="D"))
    assert daily.stats(periods_per_year=12)["Sharpe Ratio"] == pytest.approx(
        sharpe(RETURNS, 12), rel=1e-12)
    for bad in (0, -1, NAN, math.inf):
        with pytest.raises(ValueError, match="periods_per_year"):
            bt.stats(periods_per_year=bad)


def test_drawdown_duration_in_time_on_irregular_bars():
    # bars 4-7 are under water; in time that is from bar 3 to bar 7
    index = pd.DatetimeIndex(["2024-01-01", "2024-01-02", "2024-01-03", "2024-01-04",
                              "2024-01-05", "2024-01-08", "2024-01-09", "2024-01-20"])
    got = run(index).stats()
    assert got["Max Drawdown Duration"] == pd.Timedelta(days=16)
    assert got["Period"] == pd.Timedelta(days=19)


def test_no_trades_gives_nan_trade_figures_and_ratios():
    # 40 of cash cannot carry the 50 of margin one lot at 100 needs: refused.
    got = run(close=[100.0] * 4, entries=[1, 0, 0, 0], exits=[0] * 4, init_cash=40.0).stats()
    want = dict.fromkeys(study.STATS, NAN)
    want.update({"Start": 0, "End": 3, "Period": 4, "Start Value": 40.0, "End Value": 40.0,
                 "Total Return [%]": 0.0, "Max Drawdown [%]": 0.0, "Max Drawdown Duration": 0,
                 "Exposure [%]": 0.0, "Total Trades": 0, "Closed Trades": 0, "Open Trades": 0,
                 "Total Fees": 0.0, "Refused Entries": 1, "Buy & Hold Return [%]": 0.0,
                 "Volatility (Ann.) [%]": 0.0, "Open Trade PnL": 0.0})
    assert_stats(got, want)
    assert math.copysign(1.0, got["Max Drawdown [%]"]) == 1.0  # 0.0, not -0.0


def test_only_winners_and_a_single_return():
    # Long at 100 on bar 0, sold at 104 on bar 1: pnl 4 x 5 - 1 = 19, net 18;
    # no losing trade.
    bt = run(close=[100.0, 104.0], entries=[1, 0], exits=[0, -1])
    got = bt.stats()
    assert got["Profit Factor"] != got["Profit Factor"]  # no gross loss
    assert got["Avg Losing Trade"] != got["Avg Losing Trade"]
    assert got["Win Rate [%]"] == 100.0 and got["Avg Winning Trade"] == 18.0
    assert got["Sharpe Ratio"] != got["Sharpe Ratio"]  # one return: no deviation
    assert got["Sortino Ratio"] != got["Sortino Ratio"]  # no downside
    assert got["Max Drawdown [%]"] == 0.0 and got["Max Drawdown Duration"] == 0
    assert got["Exposure [%]"] == 50.0  # open at the end of bar 0 only
    assert got["Total Return [%]"] == pytest.approx((1000018.0 / 999999.0 - 1) * 100)


def test_only_losers_give_a_zero_profit_factor():
    got = run(close=[100.0, 98.0, 97.0], entries=[1, 0, 0], exits=[0, -1, 0]).stats()
    assert got["Profit Factor"] == 0.0
    assert got["Avg Winning Trade"] != got["Avg Winning Trade"]
    assert got["Win Rate [%]"] == 0.0 and got["Avg Losing Trade"] == -12.0


def test_pair_trades_count_each_leg_and_refusals_both_legs():
    close = pd.DataFrame({"P": [100.0, 101.0, 99.0], "Q": [50.0, 49.0, 52.0]})
    bt = study.pair_backtest(close, np.array([1.0, 0, 0]), np.array([0, 0, -1.0]))
    got = bt.stats()
    assert got["Total Trades"] == 2 and got["Closed Trades"] == 2
    assert list(bt.trades["exit_reason"]) == ["signal", "cascade"]
    # A long 100 -> 99: -1 x 5 - 1 = -6; B short 50 -> 52: -2 x 5 - 1 = -11;
    # net of their entry fees -7 and -12
    assert got["Expectancy"] == -9.5 and got["Total Fees"] == 4.0
    assert got["Exposure [%]"] == pytest.approx(200 / 3)
    refused = study.pair_backtest(close, np.array([1.0, 0, 0]), np.zeros(3), init_cash=60.0)
    assert refused.stats()["Refused Entries"] == 2
    assert refused.refused.tolist() == [1, 1] and list(refused.refused.index) == ["A", "B"]
