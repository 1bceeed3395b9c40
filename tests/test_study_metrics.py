"""Every statistic against its definition worked out here, in plain Python,
on runs that gain and lose (so that an exponent, a sign or a fee counted
wrongly shows), on numbered bars, daily, business-day and irregular
timestamps, for several contracts and for a pair."""

import math
import statistics

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
from quorra.accel import sample, study  # noqa: E402
from quorra.accel.study import metrics  # noqa: E402

N = 400
YEAR_DAYS = 365.25
SETTINGS = dict(volume_multiple=10.0, commission=2.0, sl_stop=4.0, tp_stop=6.0)


def index_of(kind, n=N):
    if kind == "range":
        return pd.RangeIndex(n)
    if kind == "daily":
        return pd.date_range("2020-01-01", periods=n, freq="D")
    if kind == "business":
        return pd.bdate_range("2020-01-01", periods=n)
    rng = np.random.default_rng(5)  # irregular hours
    return pd.DatetimeIndex(pd.Timestamp("2021-06-01")
                            + pd.to_timedelta(np.cumsum(rng.integers(1, 9, n)), unit="h"))


def signals(shape, seed, rate=0.06):
    rng = np.random.default_rng(seed)
    entries = np.where(rng.random(shape) < rate, rng.choice([-1.0, 1.0], shape), 0.0)
    exits = np.where(rng.random(shape) < rate, rng.choice([-1.0, 1.0], shape), 0.0)
    return entries, exits


def solo_run(kind, seed):
    close = pd.DataFrame(sample.sample_bars(N), index=index_of(kind))
    close.columns = ["A", "B"]
    e, x = signals(close.shape, seed)
    wrap = lambda a: pd.DataFrame(a, index=close.index, columns=close.columns)
    return study.backtest(close, wrap(e), wrap(x), **SETTINGS)


def pair_run(kind, seed):
    close = pd.DataFrame(sample.sample_bars(N), index=index_of(kind))
    close.columns = ["P", "Q"]
    e, x = signals((N,), seed, rate=0.05)
    return study.pair_backtest(close, pd.Series(e, index=close.index),
                               pd.Series(x, index=close.index),
                               volume_multiple=10.0, commission=2.0)


# -- the definitions, independently -------------------------------------------


def periods(index, given):
    if given is not None:
        return given
    if isinstance(index, pd.DatetimeIndex):
        return (len(index) - 1) / ((index[-1] - index[0]) / pd.Timedelta(days=YEAR_DAYS))
    return None


def drawdown_periods(v):
    """(depth, peak bar, last bar) of every stretch below a previous peak."""
    out, peak_bar, current = [], 0, None
    for i, x in enumerate(v):
        if x >= v[peak_bar]:
            peak_bar, current = i, None
            continue
        depth = 1 - x / v[peak_bar]
        if current is None:
            current = [depth, peak_bar, i]
            out.append(current)
        current[0], current[2] = max(current[0], depth), i
    return out


def longest(flags):
    best = run = 0
    for f in flags:
        run = run + 1 if f else 0
        best = max(best, run)
    return best


def mean_or_nan(xs):
    return statistics.mean(xs) if xs else math.nan


def reference(bt, given=None):
    v, eq, index = bt.value.tolist(), bt.equity.tolist(), bt.index
    n, P = len(v), periods(bt.index, given)
    is_time = isinstance(index, pd.DatetimeIndex)
    scale = math.sqrt(P) if P is not None else 1.0
    r = [v[i] / v[i - 1] - 1 for i in range(1, n)]
    t = bt.trades
    closed = t[t["exit_bar"] >= 0]
    net = (closed["pnl"] - closed["entry_fee"]).tolist()
    multiple = 10.0
    value_in = (closed["entry_price"] * closed["lots"] * multiple).tolist()
    rets = [p / w for p, w in zip(net, value_in)]
    wins, losses = [p for p in net if p > 0], [p for p in net if p < 0]
    dd = drawdown_periods(v)
    max_dd = max((d[0] for d in dd), default=0.0)
    when = (lambda a, b: index[b] - index[a]) if is_time else (lambda a, b: b - a)
    dd_spans = [when(peak, last) for _, peak, last in dd]
    trade_spans = [when(a, b) for a, b in zip(closed["entry_bar"], closed["exit_bar"])]
    growth = v[-1] / v[0]
    annual = growth ** (P / (n - 1)) - 1 if P is not None and growth >= 0 else math.nan
    order = closed.assign(net=net, code=closed.iloc[:, 0].map(
        {label: k for k, label in enumerate(bt.columns if bt.kind == "solo" else ["A", "B"])}))
    order = order.sort_values(["exit_bar", "code"], kind="stable")["net"].tolist()
    exposure = sum(1 for i in range(n) if any(
        e <= i and (x < 0 or i < x) for e, x in zip(t["entry_bar"], t["exit_bar"]))) / n
    if bt.kind == "solo":
        hold = statistics.mean(bt.close.iloc[-1, j] / bt.close.iloc[0, j] - 1
                               for j in range(bt.close.shape[1])) * 100
    else:
        hold = math.nan
    nat = pd.NaT if is_time else math.nan
    span_mean = lambda xs: (sum(xs, pd.Timedelta(0)) / len(xs) if is_time
                            else statistics.mean(xs)) if xs else nat
    ratio = lambda a, b: a / b if b > 0 else math.nan
    return {
        "Total Return [%]": (v[-1] / v[0] - 1) * 100,
        "Max Drawdown [%]": max_dd * 100,
        "Max Drawdown Duration": max(dd_spans, default=pd.Timedelta(0) if is_time else 0),
        "Exposure [%]": exposure * 100,
        "Closed Trades": len(net),
        "Win Rate [%]": len(wins) / len(net) * 100,
        "Best Trade": max(net), "Worst Trade": min(net),
        "Avg Winning Trade": mean_or_nan(wins), "Avg Losing Trade": mean_or_nan(losses),
        "Profit Factor": sum(wins) / -sum(losses), "Expectancy": statistics.mean(net),
        "Sharpe Ratio": statistics.mean(r) / statistics.stdev(r) * scale,
        "Sortino Ratio": statistics.mean(r) / math.sqrt(statistics.mean(
            [min(x, 0) ** 2 for x in r])) * scale,
        "Calmar Ratio": annual / max_dd if P is not None else math.nan,
        "Buy & Hold Return [%]": hold,
        "CAGR [%]": annual * 100,
        "Volatility (Ann.) [%]": statistics.stdev(r) * scale * 100,
        "Avg Drawdown [%]": mean_or_nan([d[0] for d in dd]) * 100,
        "Avg Drawdown Duration": span_mean(dd_spans),
        "Best Trade [%]": max(rets) * 100, "Worst Trade [%]": min(rets) * 100,
        "Max Trade Duration": max(trade_spans),
        "Avg Trade Duration": span_mean(trade_spans),
        "SQN": math.sqrt(len(net)) * statistics.mean(net) / statistics.stdev(net),
        "Kelly Criterion": (len(wins) / len(net) - (1 - len(wins) / len(net))
                            / (statistics.mean(wins) / -statistics.mean(losses))),
        "Omega Ratio": ratio(sum(max(x, 0) for x in r), sum(max(-x, 0) for x in r)),
        "Max Consecutive Wins": longest(p > 0 for p in order),
        "Max Consecutive Losses": longest(p < 0 for p in order),
        "Open Trade PnL": v[-1] - eq[-1],
    }


def same(got, want):
    if isinstance(want, float) and math.isnan(want):
        return isinstance(got, float) and math.isnan(got)
    if want is pd.NaT:
        return got is pd.NaT
    if isinstance(want, pd.Timedelta):
        return isinstance(got, pd.Timedelta) and abs(got - want) <= pd.Timedelta(1)
    if isinstance(want, float):
        return got == pytest.approx(want, rel=1e-9, abs=1e-12)
    return got == want


@pytest.mark.parametrize("given", [None, 252.0])
@pytest.mark.parametrize("kind", ["range", "daily", "business", "irregular"])
@pytest.mark.parametrize("make, seed", [(solo_run, 1), (solo_run, 2), (pair_run, 3)])
def test_every_figure_follows_its_definition(make, seed, kind, given):
    bt = make(kind, seed)
    got = bt.stats(periods_per_year=given)
    want = reference(bt, given)
    net = bt.trades["net_pnl"].dropna()
    assert (net > 0).any() and (net < 0).any() and got["Total Return [%]"] != 0
    for name, value in want.items():
        assert same(got[name], value), (name, got[name], value)


@pytest.mark.parametrize("freq, periods_", [("D", 365.25), ("h", 8766.0), ("7D", 365.25 / 7)])
def test_evenly_spaced_indexes_annualise_by_their_spacing(freq, periods_):
    index = pd.date_range("2024-01-01", periods=50, freq=freq)
    assert metrics.periods_per_year(index) == periods_  # exactly, as one bar's spacing gives


def test_business_days_annualise_near_their_count_a_year():
    index = pd.bdate_range("2015-01-01", "2024-12-31")
    assert metrics.periods_per_year(index) == pytest.approx(260.9, abs=0.1)
    assert metrics.periods_per_year(index[:1]) is None
    assert metrics.periods_per_year(pd.RangeIndex(9)) is None


def test_a_value_ending_below_zero_gives_numbers_or_nan():
    index = pd.date_range("2024-01-01", periods=5, freq="D")
    close = pd.Series([100.0, 100.0, 200.0, 300.0, 300.0], index=index)
    bt = study.backtest(close, pd.Series([-1.0, 0, 0, 0, 0], index=index),
                        pd.Series(0.0, index=index), init_cash=1000.0, margin_rate=0.01,
                        size=10)
    got = bt.stats()
    assert got["End Value"] < 0
    for name in ("CAGR [%]", "Calmar Ratio"):
        assert math.isnan(got[name])
    for value in got:
        assert not isinstance(value, complex)
    assert got["Open Trade PnL"] == bt.value.iloc[-1] - bt.equity.iloc[-1]


def test_stats_round_their_floats_and_keep_the_rest():
    bt = solo_run("daily", 1)
    got = bt.stats()
    rounded = got.round(2)
    assert list(rounded.index) == list(study.STATS)
    for name in study.STATS:
        if isinstance(got[name], float):
            assert same(rounded[name], round(got[name], 2)), name
        else:
            assert rounded[name] == got[name] or got[name] != got[name], name


@pytest.mark.parametrize("flags, want", [([], 0), ([False], 0), ([True], 1),
                                         ([True, True, False, True], 2),
                                         ([False, True, True, True], 3)])
def test_longest_run(flags, want):
    assert metrics.longest_run(np.array(flags, dtype=bool)) == want


def test_the_readme_table_is_made_from_the_metrics():
    table = metrics.readme_table().splitlines()
    assert len(table) == 2 + len(study.STATS)
    for row, (name, f) in zip(table[2:], metrics.METRICS):
        assert row.startswith(f"| {name} | ") and f.__doc__.split()[0] in row


@pytest.mark.parametrize("seed", [1, 2])
def test_the_older_summary_is_made_by_the_same_figures(seed):
    from quorra.accel import ledger, report

    close = np.column_stack(list(sample.sample_bars(N).values()))
    e, x = signals(close.shape, seed)
    rec = ledger.solo(close, e, x, histories=True, **SETTINGS)
    s = report.summary(rec["histories"])
    closed = rec["trades"][rec["trades"]["exit_bar"] >= 0]
    equity = rec["equity"]
    fall = np.maximum.accumulate(equity) - equity
    assert s.closed_trades == len(closed) and s.final_equity == equity[-1]
    assert s.winning_trades == int((closed["pnl"] > 0).sum())  # the histories' pnl
    assert s.win_rate == s.winning_trades / s.closed_trades
    assert s.total_fees == rec["total_fee"] and s.max_drawdown == fall.max()
    assert [k for k, _ in metrics.SUMMARY] == list(report.Summary.__dataclass_fields__)


@pytest.mark.parametrize("seed", range(6))
def test_bars_held_open_counts_the_union_of_the_positions(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 60))
    count = int(rng.integers(0, 12))
    entry = rng.integers(0, n, count)
    exit_ = np.where(rng.random(count) < 0.3, -1, entry + rng.integers(0, 15, count))
    exit_ = np.where(exit_ >= n, -1, exit_)
    held = np.zeros(n, dtype=bool)
    for e, x in zip(entry, exit_):
        held[e:(n if x < 0 else x)] = True
    assert metrics.bars_held_open(entry, exit_, n) == held.sum()
