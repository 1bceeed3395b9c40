"""The statistics of a run: one pure function per figure, its definition as
its docstring, and the table of (name, function) that ``Backtest.stats()``,
the sweep table's columns, ``report.summary`` and the README are made from.

Every function takes a `Run`: v is the value marked to market over n bars,
r[i] = v[i] / v[i-1] - 1 the per-bar returns and P the periods per year (or
None). The trade figures count a closed trade's net pnl (its pnl less its
entry fee). A figure that is undefined is NaN, never an exception.

NumPy is all this module needs: ``report.summary`` uses it without pandas
(pandas objects appear only when the run's index is one).
"""

from __future__ import annotations

import math
import sys
from dataclasses import dataclass
from functools import cached_property

import numpy as np

NAN = math.nan
YEAR_NS = 31_557_600_000_000_000  # 365.25 days in nanoseconds


def is_datetime_index(index) -> bool:
    pd = sys.modules.get("pandas")  # without pandas loaded, no index is one
    return pd is not None and isinstance(index, pd.DatetimeIndex)


def _pandas():
    import pandas

    return pandas


def periods_per_year(index, given=None) -> float | None:
    """P: `given`, else (n - 1) bars over the span of a DatetimeIndex in
    years of 365.25 days, else None (figures are not annualised)."""
    if given is not None:
        p = float(given)
        if not (math.isfinite(p) and p > 0):
            raise ValueError(f"periods_per_year must be finite and > 0, got {given!r}")
        return p
    if is_datetime_index(index) and len(index) >= 2:
        span = (index[-1] - index[0]).value
        if span > 0:
            # A whole number of nanoseconds per bar (every evenly spaced
            # index) divides the year by it, as one bar's spacing would.
            step, rest = divmod(span, len(index) - 1)
            return YEAR_NS / (step if rest == 0 else span / (len(index) - 1))
    return None


def drawdown(value: np.ndarray) -> np.ndarray:
    """value / running peak - 1 (0 at a peak, negative below it)."""
    if not len(value):
        return value.copy()
    out = np.maximum.accumulate(value)
    with np.errstate(divide="ignore", invalid="ignore"):
        np.divide(value, out, out=out)  # in place: a long run's curve is large
    out -= 1.0
    return out


def bars_held_open(entry_bar: np.ndarray, exit_bar: np.ndarray, n: int) -> int:
    """The number of bars at whose end at least one position is open: a
    position entered on bar i is open at the end of bar i, one closed on bar
    k is not open at the end of bar k, one still open is open to the end.
    Counted from the intervals [entry, exit) without a per-bar array: each,
    in order of entry, adds what reaches beyond the furthest end before it."""
    if not len(entry_bar):
        return 0
    end = np.where(exit_bar >= 0, exit_bar, n)
    order = np.argsort(entry_bar, kind="stable")
    start, end = entry_bar[order], end[order]
    reach = np.maximum.accumulate(end)
    before = np.concatenate(([start[0]], reach[:-1]))
    return int(np.maximum(end - np.maximum(start, before), 0).sum())


def longest_run(flags: np.ndarray) -> int:
    """The longest run of consecutive True values."""
    if not flags.any():
        return 0
    edges = np.flatnonzero(np.diff(np.concatenate(([0], flags.astype(np.int8), [0]))))
    return int((edges[1::2] - edges[0::2]).max())


def _mean(x: np.ndarray) -> float:
    return float(x.mean()) if len(x) else NAN


def _ratio(num: float, den: float) -> float:
    return num / den if den > 0 and math.isfinite(num) else NAN


@dataclass
class Run:
    """What the figures are computed from.

    `value` and `equity` are the marked-to-market and realised curves;
    `close` the (n, m) prices (None: no buy-and-hold figure); the trade
    arrays have one entry per position opened, in the ledger's order:
    `entry_bar`, `exit_bar` (-1 while open), `contract` (column or leg
    number), `pnl` (the pnl every trade figure counts; NaN while open) and
    `ret` (that pnl over the entry value)."""

    index: object  # a pandas Index, or None (numbered bars)
    value: np.ndarray
    equity: np.ndarray
    entry_bar: np.ndarray
    exit_bar: np.ndarray
    contract: np.ndarray
    pnl: np.ndarray
    ret: np.ndarray
    total_fee: float
    refused: int
    close: np.ndarray | None = None
    P: float | None = None
    start_cash: float = NAN
    # The bar at whose end each position is no longer open, when that is not
    # its exit bar (runs chained one after another: a position still open
    # at the end of one stops at the next one's start); None: exit_bar, or
    # to the end while open.
    held_to: np.ndarray | None = None

    @property
    def n(self) -> int:
        return len(self.value)

    @cached_property
    def is_time(self) -> bool:
        return is_datetime_index(self.index)

    @cached_property
    def closed(self) -> np.ndarray:
        return self.exit_bar >= 0

    @cached_property
    def closed_pnl(self) -> np.ndarray:
        return self.pnl[self.closed]

    @cached_property
    def wins(self) -> np.ndarray:
        return self.closed_pnl[self.closed_pnl > 0]

    @cached_property
    def losses(self) -> np.ndarray:
        return self.closed_pnl[self.closed_pnl < 0]

    @cached_property
    def pnl_in_closing_order(self) -> np.ndarray:
        """Closed trades' pnl by exit bar, then contract."""
        order = np.lexsort((self.contract[self.closed], self.exit_bar[self.closed]))
        return self.closed_pnl[order]

    @cached_property
    def returns(self) -> np.ndarray:
        r = np.divide(self.value[1:], self.value[:-1])
        r -= 1.0
        return r

    @cached_property
    def mean_return(self) -> float:
        return float(self.returns.mean())

    @cached_property
    def std_return(self) -> float:
        """std(r, ddof=1)."""
        return float(self.returns.std(ddof=1))

    @cached_property
    def downside(self) -> np.ndarray:
        """min(r, 0)."""
        return np.minimum(self.returns, 0.0)

    @cached_property
    def dd(self) -> np.ndarray:
        return drawdown(self.value)

    @cached_property
    def max_dd(self) -> float:
        """The max drawdown as a positive fraction (0.0, never -0.0)."""
        return 0.0 - float(self.dd.min())

    @cached_property
    def periods(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The drawdown periods (maximal runs of bars below a previous peak):
        their depth (a positive fraction), peak bar and last bar. The bar
        before a period is its peak (the first bar never is below one)."""
        below = np.empty(self.n + 2, dtype=np.int8)
        below[0] = below[-1] = 0
        np.less(self.dd, 0, out=below[1:-1], casting="unsafe")
        edges = np.flatnonzero(np.diff(below))
        starts, stops = edges[0::2], edges[1::2] - 1
        if not len(starts):
            return np.empty(0), starts - 1, stops
        depth = -np.minimum.reduceat(self.dd, starts)
        return depth, starts - 1, stops

    def span(self, first: np.ndarray, last: np.ndarray):
        """last - first as index labels' distance on a DatetimeIndex, else in bars."""
        if self.is_time:
            values = self.index.values
            return values[last] - values[first]
        return last - first

    @cached_property
    def annual_return(self) -> float:
        """(v[n-1] / v[0]) ^ (P / (n - 1)) - 1; NaN without P, or when the
        ratio is negative (no real power)."""
        if self.P is None or self.n < 2:
            return NAN
        growth = float(self.value[-1]) / float(self.value[0])
        if not growth >= 0:
            return NAN
        return growth ** (self.P / len(self.returns)) - 1.0


def _timedelta_or_bars(run: Run, spans, mean: bool):
    if not len(spans):
        return _pandas().NaT if run.is_time else NAN
    if run.is_time:
        spans = _pandas().to_timedelta(spans.astype("timedelta64[ns]"))  # means to the nanosecond
        return spans.mean() if mean else spans.max()
    return float(spans.mean()) if mean else int(spans.max())


# -- the figures -----------------------------------------------------------


def start(run: Run):
    """the first index label"""
    return run.index[0] if run.n else NAN


def end(run: Run):
    """the last index label"""
    return run.index[-1] if run.n else NAN


def period(run: Run):
    """End - Start on a DatetimeIndex, else the number of bars n"""
    if run.is_time:
        return run.index[-1] - run.index[0] if run.n else _pandas().NaT
    return run.n if run.n else NAN


def start_value(run: Run) -> float:
    """v[0]"""
    return float(run.value[0]) if run.n else NAN


def end_value(run: Run) -> float:
    """v[n-1]"""
    return float(run.value[-1]) if run.n else NAN


def total_return(run: Run) -> float:
    """(v[n-1] / v[0] - 1) x 100"""
    return (end_value(run) / start_value(run) - 1.0) * 100.0 if run.n else NAN


def max_drawdown(run: Run) -> float:
    """the largest fall of v below its running peak, as a positive percentage
    of that peak"""
    return run.max_dd * 100.0 if run.n else NAN


def max_drawdown_duration(run: Run):
    """the longest stretch below a previous peak, from the peak to the last
    bar still below it (one never recovered runs to the last bar); in bars, a
    Timedelta on a DatetimeIndex"""
    if not run.n:
        return _pandas().NaT if run.is_time else NAN
    _, peaks, lasts = run.periods
    spans = run.span(peaks, lasts)
    if run.is_time:
        return _pandas().Timedelta(spans.max() if len(spans) else 0)
    return int(spans.max()) if len(spans) else 0


def exposure(run: Run) -> float:
    """share of bars at whose end at least one position is open: a position
    entered on bar i is open at the end of bar i, one closed on bar k is not
    open at the end of bar k"""
    if not run.n:
        return NAN
    exit_bar = run.exit_bar if run.held_to is None else run.held_to
    return bars_held_open(run.entry_bar, exit_bar, run.n) / run.n * 100.0


def total_trades(run: Run) -> int:
    """positions opened (a pair counts each leg)"""
    return len(run.entry_bar)


def closed_trades(run: Run) -> int:
    """positions closed"""
    return int(run.closed.sum())


def open_trades(run: Run) -> int:
    """positions still open after the last bar"""
    return len(run.entry_bar) - int(run.closed.sum())


def win_fraction(run: Run) -> float:
    """share of closed trades with net pnl > 0, as a fraction"""
    return len(run.wins) / len(run.closed_pnl) if len(run.closed_pnl) else NAN


def win_rate(run: Run) -> float:
    """share of closed trades with net pnl > 0"""
    return win_fraction(run) * 100.0


def best_trade(run: Run) -> float:
    """largest net pnl of a closed trade, in money"""
    return float(run.closed_pnl.max()) if len(run.closed_pnl) else NAN


def worst_trade(run: Run) -> float:
    """smallest net pnl of a closed trade, in money"""
    return float(run.closed_pnl.min()) if len(run.closed_pnl) else NAN


def avg_winning_trade(run: Run) -> float:
    """mean net pnl of the closed trades with net pnl > 0"""
    return _mean(run.wins)


def avg_losing_trade(run: Run) -> float:
    """mean net pnl of the closed trades with net pnl < 0"""
    return _mean(run.losses)


def profit_factor(run: Run) -> float:
    """gross profit / gross loss of the closed trades (the sum of net pnl > 0
    over minus the sum of net pnl < 0)"""
    if not len(run.closed_pnl):
        return NAN
    return _ratio(float(run.wins.sum()), float(-run.losses.sum()))


def expectancy(run: Run) -> float:
    """mean net pnl of the closed trades"""
    return _mean(run.closed_pnl)


def avg_bars_held(run: Run) -> float:
    """mean exit_bar - entry_bar of the closed trades"""
    if not len(run.closed_pnl):
        return NAN
    return float((run.exit_bar[run.closed] - run.entry_bar[run.closed]).mean())


def _scale(run: Run) -> float:
    return math.sqrt(run.P) if run.P is not None else 1.0


def sharpe_ratio(run: Run) -> float:
    """mean(r) / std(r, ddof=1) x sqrt(P)"""
    r = run.returns
    if len(r) < 2:
        return NAN
    return _ratio(run.mean_return, run.std_return) * _scale(run)


def sortino_ratio(run: Run) -> float:
    """mean(r) / sqrt(mean(min(r, 0)^2)) x sqrt(P)"""
    r = run.returns
    if not len(r):
        return NAN
    down = math.sqrt(float((run.downside ** 2).mean()))
    return _ratio(run.mean_return, down) * _scale(run)


def calmar_ratio(run: Run) -> float:
    """annualised return (v[n-1] / v[0]) ^ (P / (n - 1)) - 1 over the max
    drawdown as a fraction; NaN without P"""
    return _ratio(run.annual_return, run.max_dd) if run.n else NAN


def total_fees(run: Run) -> float:
    """every fee the account paid (the ledger's `total_fee`)"""
    return float(run.total_fee)


def refused_entries(run: Run) -> int:
    """entries refused for lack of cash, summed over contracts (a refused pair
    entry counts for both legs)"""
    return int(run.refused)


def buy_and_hold_return(run: Run) -> float:
    """the mean over the contracts of close[n-1] / close[0] - 1, x 100; NaN
    for a pair"""
    if run.close is None or not run.n or not run.close.shape[1]:
        return NAN
    with np.errstate(divide="ignore", invalid="ignore"):
        return float((run.close[-1] / run.close[0] - 1.0).mean() * 100.0)


def cagr(run: Run) -> float:
    """(v[n-1] / v[0]) ^ (P / (n - 1)) - 1, x 100; NaN without P"""
    return run.annual_return * 100.0


def volatility(run: Run) -> float:
    """std(r, ddof=1) x sqrt(P) x 100; per bar without P"""
    r = run.returns
    return run.std_return * _scale(run) * 100.0 if len(r) >= 2 else NAN


def avg_drawdown(run: Run) -> float:
    """the mean depth of the drawdown periods (each maximal stretch below a
    previous peak, its depth measured as Max Drawdown is), x 100"""
    return _mean(run.periods[0]) * 100.0


def avg_drawdown_duration(run: Run):
    """the mean duration of the drawdown periods, from the peak to the last
    bar still below it, as Max Drawdown Duration is measured"""
    _, peaks, lasts = run.periods
    return _timedelta_or_bars(run, run.span(peaks, lasts), mean=True)


def _closed_returns(run: Run) -> np.ndarray:
    return run.ret[run.closed]


def best_trade_pct(run: Run) -> float:
    """the closed trades' largest `return` (net pnl over entry value), x 100"""
    r = _closed_returns(run)
    return float(r.max()) * 100.0 if len(r) else NAN


def worst_trade_pct(run: Run) -> float:
    """the closed trades' smallest `return`, x 100"""
    r = _closed_returns(run)
    return float(r.min()) * 100.0 if len(r) else NAN


def _trade_spans(run: Run):
    return run.span(run.entry_bar[run.closed], run.exit_bar[run.closed])


def max_trade_duration(run: Run):
    """the longest closed trade, exit minus entry: a Timedelta on a
    DatetimeIndex, else bars"""
    return _timedelta_or_bars(run, _trade_spans(run), mean=False)


def avg_trade_duration(run: Run):
    """the mean closed trade duration, exit minus entry: a Timedelta on a
    DatetimeIndex, else bars"""
    return _timedelta_or_bars(run, _trade_spans(run), mean=True)


def sqn(run: Run) -> float:
    """sqrt(closed trades) x mean(net pnl) / std(net pnl, ddof=1)"""
    pnl = run.closed_pnl
    if len(pnl) < 2:
        return NAN
    return math.sqrt(len(pnl)) * _ratio(float(pnl.mean()), float(pnl.std(ddof=1)))


def kelly_criterion(run: Run) -> float:
    """W - (1 - W) / (mean winning net pnl / -mean losing net pnl), W the win
    rate as a fraction"""
    if not len(run.wins) or not len(run.losses):
        return NAN
    w = win_fraction(run)
    return w - (1.0 - w) / (float(run.wins.mean()) / -float(run.losses.mean()))


def omega_ratio(run: Run) -> float:
    """sum of max(r, 0) over sum of max(-r, 0)"""
    r = run.returns
    if not len(r):
        return NAN
    # sum(max(-r, 0)) is -sum(min(r, 0)) exactly: negation does not round
    return _ratio(float(np.maximum(r, 0.0).sum()), -float(run.downside.sum()))


def max_consecutive_wins(run: Run):
    """the longest run of closed trades with net pnl > 0, in the order the
    trades closed (exit bar, then contract)"""
    pnl = run.pnl_in_closing_order
    return longest_run(pnl > 0) if len(pnl) else NAN


def max_consecutive_losses(run: Run):
    """the longest run of closed trades with net pnl < 0, in the order the
    trades closed (exit bar, then contract)"""
    pnl = run.pnl_in_closing_order
    return longest_run(pnl < 0) if len(pnl) else NAN


def open_trade_pnl(run: Run) -> float:
    """value[n-1] - equity[n-1]: what the open positions are worth over
    their realised equity"""
    return float(run.value[-1] - run.equity[-1]) if run.n else NAN


METRICS = (
    ("Start", start),
    ("End", end),
    ("Period", period),
    ("Start Value", start_value),
    ("End Value", end_value),
    ("Total Return [%]", total_return),
    ("Max Drawdown [%]", max_drawdown),
    ("Max Drawdown Duration", max_drawdown_duration),
    ("Exposure [%]", exposure),
    ("Total Trades", total_trades),
    ("Closed Trades", closed_trades),
    ("Open Trades", open_trades),
    ("Win Rate [%]", win_rate),
    ("Best Trade", best_trade),
    ("Worst Trade", worst_trade),
    ("Avg Winning Trade", avg_winning_trade),
    ("Avg Losing Trade", avg_losing_trade),
    ("Profit Factor", profit_factor),
    ("Expectancy", expectancy),
    ("Avg Bars Held", avg_bars_held),
    ("Sharpe Ratio", sharpe_ratio),
    ("Sortino Ratio", sortino_ratio),
    ("Calmar Ratio", calmar_ratio),
    ("Total Fees", total_fees),
    ("Refused Entries", refused_entries),
    ("Buy & Hold Return [%]", buy_and_hold_return),
    ("CAGR [%]", cagr),
    ("Volatility (Ann.) [%]", volatility),
    ("Avg Drawdown [%]", avg_drawdown),
    ("Avg Drawdown Duration", avg_drawdown_duration),
    ("Best Trade [%]", best_trade_pct),
    ("Worst Trade [%]", worst_trade_pct),
    ("Max Trade Duration", max_trade_duration),
    ("Avg Trade Duration", avg_trade_duration),
    ("SQN", sqn),
    ("Kelly Criterion", kelly_criterion),
    ("Omega Ratio", omega_ratio),
    ("Max Consecutive Wins", max_consecutive_wins),
    ("Max Consecutive Losses", max_consecutive_losses),
    ("Open Trade PnL", open_trade_pnl),
)

# -- the older summary of histories (report.summary) ----------------------


def start_cash(run: Run) -> float:
    """the account's cash before the first bar"""
    return float(run.start_cash)


def net_profit(run: Run) -> float:
    """the final value less the cash before the first bar"""
    return end_value(run) - float(run.start_cash)


def winning_trades(run: Run) -> int:
    """closed trades with pnl > 0"""
    return len(run.wins)


def _money_drawdown(run: Run) -> tuple[float, float]:
    peak = np.maximum.accumulate(run.value)
    fall = peak - run.value
    worst = int(np.argmax(fall))
    return float(fall[worst]), float(peak[worst])


def max_drawdown_money(run: Run) -> float:
    """the largest fall of v below its running peak, in money"""
    return _money_drawdown(run)[0]


def max_drawdown_money_fraction(run: Run) -> float:
    """that largest fall over the peak it fell from, as a fraction (NaN when
    the peak is not positive)"""
    fall, peak = _money_drawdown(run)
    return fall / peak if peak > 0 else NAN


SUMMARY = (
    ("initial_cash", start_cash),
    ("final_equity", end_value),
    ("net_profit", net_profit),
    ("total_fees", total_fees),
    ("closed_trades", closed_trades),
    ("winning_trades", winning_trades),
    ("win_rate", win_fraction),
    ("max_drawdown", max_drawdown_money),
    ("max_drawdown_pct", max_drawdown_money_fraction),
)

NAMES = tuple(name for name, _ in METRICS)


def figures(run: Run) -> dict:
    """Every figure of `run`, by name, in the table's order."""
    return {name: f(run) for name, f in METRICS}


def definition(f) -> str:
    """A figure's definition: its docstring on one line."""
    return " ".join(f.__doc__.split())


def readme_table() -> str:
    """The README's table of the statistics, made from the table."""
    rows = ["| entry | definition |", "|---|---|"]
    rows += [f"| {name} | {definition(f)} |" for name, f in METRICS]
    return "\n".join(rows)
