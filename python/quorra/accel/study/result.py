"""The result of a study backtest: trades, equity and value as pandas objects
on `close`'s labels, and the statistics of the run.

Every figure comes from the ledger's record of the run (its trades, realised
equity, value marked to market, fees and refused entries); nothing here
loops over bars.
"""

from __future__ import annotations

import math
from functools import cached_property

import numpy as np
import pandas as pd

from quorra.accel import ledger

# The entries of Backtest.stats(), in order.
STATS = ("Start", "End", "Period", "Start Value", "End Value", "Total Return [%]",
         "Max Drawdown [%]", "Max Drawdown Duration", "Exposure [%]", "Total Trades",
         "Closed Trades", "Open Trades", "Win Rate [%]", "Best Trade", "Worst Trade",
         "Avg Winning Trade", "Avg Losing Trade", "Profit Factor", "Expectancy",
         "Avg Bars Held", "Sharpe Ratio", "Sortino Ratio", "Calmar Ratio", "Total Fees",
         "Refused Entries")

TRADE_COLUMNS = ("entry_time", "exit_time", "entry_bar", "exit_bar", "direction", "lots",
                 "entry_price", "exit_price", "entry_fee", "exit_fee", "pnl", "return",
                 "bars_held", "exit_reason")

LEGS = ("A", "B")
YEAR = pd.Timedelta(days=365.25)
NAN = math.nan


def _mean(x: np.ndarray) -> float:
    return float(x.mean()) if len(x) else NAN


def _ratio(num: float, den: float) -> float:
    return num / den if den > 0 and math.isfinite(num) else NAN


def periods_per_year(index: pd.Index, given=None) -> float | None:
    """P: `given`, else 365.25 days over the median bar spacing of a
    DatetimeIndex, else None (figures are not annualised)."""
    if given is not None:
        p = float(given)
        if not (math.isfinite(p) and p > 0):
            raise ValueError(f"periods_per_year must be finite and > 0, got {given!r}")
        return p
    if isinstance(index, pd.DatetimeIndex) and len(index) >= 2:
        steps = np.diff(index.values).astype("timedelta64[ns]").astype(np.int64)
        spacing = float(np.median(steps))
        if spacing > 0:
            return YEAR.value / spacing
    return None


def drawdown(value: np.ndarray) -> np.ndarray:
    """value / running peak - 1 (0 at a peak, negative below it)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return value / np.maximum.accumulate(value) - 1.0 if len(value) else value.copy()


def open_bars(entry_bar: np.ndarray, exit_bar: np.ndarray, n: int) -> np.ndarray:
    """Number of positions open at the end of each bar: a position entered on
    bar i is open at the end of bar i, one closed on bar k is not open at the
    end of bar k (still open at the last bar: open to the end)."""
    end = np.where(exit_bar >= 0, exit_bar, n)
    change = (np.bincount(entry_bar, minlength=n + 1)[:n + 1]
              - np.bincount(end, minlength=n + 1)[:n + 1])
    return np.cumsum(change)[:n]


def compute_stats(index: pd.Index, record: dict, given_periods=None) -> pd.Series:
    """The statistics of a run, see Backtest.stats."""
    P = periods_per_year(index, given_periods)
    value = np.asarray(record["value"], dtype=np.float64)
    trades = record["trades"]
    n = len(value)
    is_time = isinstance(index, pd.DatetimeIndex)
    out = dict.fromkeys(STATS, NAN)
    out["Total Fees"] = float(record["total_fee"])
    out["Refused Entries"] = int(np.asarray(record["refused"]).sum())
    entry_bar = trades["entry_bar"].astype(np.intp)
    exit_bar = trades["exit_bar"].astype(np.intp)
    closed = exit_bar >= 0
    out["Total Trades"] = len(trades)
    out["Closed Trades"] = int(closed.sum())
    out["Open Trades"] = len(trades) - int(closed.sum())
    if is_time:
        out["Period"] = out["Max Drawdown Duration"] = pd.NaT
    if n:
        out["Start"], out["End"] = index[0], index[-1]
        out["Period"] = index[-1] - index[0] if is_time else n
        start, end = float(value[0]), float(value[-1])
        out["Start Value"], out["End Value"] = start, end
        out["Total Return [%]"] = (end / start - 1.0) * 100.0
        dd = drawdown(value)
        max_dd = float(-dd.min())
        out["Max Drawdown [%]"] = max_dd * 100.0
        # Longest time below a previous peak: from the peak to the last bar
        # still below it (an unrecovered drawdown runs to the last bar).
        bars = np.arange(n)
        last_peak = np.maximum.accumulate(np.where(dd < 0, 0, bars))
        if is_time:
            out["Max Drawdown Duration"] = pd.Timedelta((index.values - index.values[last_peak])
                                                        .max())
        else:
            out["Max Drawdown Duration"] = int((bars - last_peak).max())
        out["Exposure [%]"] = float((open_bars(entry_bar, exit_bar, n) > 0).mean() * 100.0)
        r = value[1:] / value[:-1] - 1.0
        scale = math.sqrt(P) if P is not None else 1.0
        if len(r) >= 2:
            sd = float(r.std(ddof=1))
            out["Sharpe Ratio"] = _ratio(float(r.mean()), sd) * scale
        if len(r):
            down = math.sqrt(float((np.minimum(r, 0.0) ** 2).mean()))
            out["Sortino Ratio"] = _ratio(float(r.mean()), down) * scale
            if P is not None:
                annual = (end / start) ** (P / len(r)) - 1.0
                out["Calmar Ratio"] = _ratio(annual, max_dd)
    pnl = trades["pnl"][closed]
    if len(pnl):
        wins, losses = pnl[pnl > 0], pnl[pnl < 0]
        out["Win Rate [%]"] = len(wins) / len(pnl) * 100.0
        out["Best Trade"] = float(pnl.max())
        out["Worst Trade"] = float(pnl.min())
        out["Avg Winning Trade"] = _mean(wins)
        out["Avg Losing Trade"] = _mean(losses)
        out["Profit Factor"] = _ratio(float(wins.sum()), float(-losses.sum()))
        out["Expectancy"] = float(pnl.mean())
        out["Avg Bars Held"] = float((exit_bar[closed] - entry_bar[closed]).mean())
    return pd.Series(out, index=list(STATS), dtype=object)


class Backtest:
    """One backtest run, its figures as pandas objects on `close`'s labels.

    A Backtest is a read-only result: copies (``copy.copy``,
    ``copy.deepcopy``, pandas' copies of a DataFrame's ``attrs``) are the
    object itself.

    Attributes and properties:

    - ``kind``: "solo" (``study.backtest``) or "pair" (``study.pair_backtest``).
    - ``close``: close as pandas (arrays wrapped with RangeIndex labels).
    - ``bars``: the open, high and low of the run like ``close`` (a dict),
      or None without them.
    - ``index``, ``columns``: close's index and column labels.
    - ``trades``: DataFrame, one row per position opened (see below).
    - ``equity``: realised account equity after each bar (Series).
    - ``value``: the account marked to market at close after each bar.
    - ``drawdown``: ``value`` / its running peak - 1 (0 at a peak, < 0 below).
    - ``refused``: Series of entries refused for lack of cash, per contract
      (pair: per leg; a refused pair entry counts for both legs).
    - ``total_fee``: every fee paid (float).
    - ``record``: the ledger's own result (dict), ``histories`` the
      per-contract history arrays when the run was asked for them (else None).
    - ``params``: the sweep's parameters of this run (None outside sweeps).

    ``trades`` columns: ``contract`` (close's column label; for a pair
    ``leg``, "A" or "B"), ``entry_time`` and ``exit_time`` (index labels;
    exit_time NaT on a DatetimeIndex, else None, while open), ``entry_bar``,
    ``exit_bar`` (-1 while open), ``direction`` ("long"/"short"), ``lots``,
    ``entry_price`` and ``exit_price`` (fills incl. slippage; exit NaN while
    open), ``entry_fee``, ``exit_fee``, ``pnl`` (net of the exit fee; NaN
    while open), ``return`` (pnl / (entry_price x lots x volume multiple)),
    ``bars_held`` (exit_bar - entry_bar, or to the last bar while open),
    ``exit_reason`` ("open", "stop_loss", "take_profit", "max_hold",
    "signal", "cascade", "reverse").
    """

    def __init__(self, kind: str, frame, index: pd.Index, columns: pd.Index, record: dict,
                 multiples: np.ndarray, keepalive=()):
        self.kind = kind
        self._close = frame
        self.index = index
        self.columns = columns
        self.record = record
        self._multiples = multiples
        self._keepalive = tuple(keepalive)  # callbacks the engine called
        self.params = None
        self._bars = None
        self._ship_without_close = False

    # -- copies and pickling --------------------------------------------

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self

    def __getstate__(self):
        state = {k: v for k, v in self.__dict__.items() if k not in ("trades",)}
        state["_keepalive"] = ()  # native callbacks do not pickle; the run is over
        if self._ship_without_close:
            state["_close"] = state["_bars"] = None
            state["_ship_without_close"] = False
        return state

    def _with_close(self, frame, bars=None) -> "Backtest":
        self._close, self._bars = frame, bars
        return self

    # -- results ----------------------------------------------------------

    def __repr__(self) -> str:
        what = "contract" if self.kind == "solo" else "leg"
        m = len(self.columns) if self.kind == "solo" else 2
        return (f"<Backtest {self.kind}: {len(self.index)} bars x {m} {what}s, "
                f"{len(self.record['trades'])} trades>")

    @property
    def close(self):
        return self._close

    @property
    def bars(self):
        """The run's bars, {"open", "high", "low"} -> objects like ``close``,
        or None for a run on closes only."""
        return self._bars

    @property
    def histories(self):
        return self.record.get("histories")

    @property
    def total_fee(self) -> float:
        return float(self.record["total_fee"])

    @property
    def refused(self) -> pd.Series:
        labels = self.columns if self.kind == "solo" else pd.Index(LEGS)
        return pd.Series(np.asarray(self.record["refused"]), index=labels, name="refused")

    @property
    def equity(self) -> pd.Series:
        return pd.Series(np.asarray(self.record["equity"]), index=self.index, name="equity")

    @property
    def value(self) -> pd.Series:
        return pd.Series(np.asarray(self.record["value"]), index=self.index, name="value")

    @property
    def drawdown(self) -> pd.Series:
        return pd.Series(drawdown(np.asarray(self.record["value"], dtype=np.float64)),
                         index=self.index, name="drawdown")

    @cached_property
    def trades(self) -> pd.DataFrame:
        t = self.record["trades"]
        n = len(self.index)
        if self.kind == "solo":
            codes = t["contract"].astype(np.intp)
            who = ("contract", self.columns.take(codes))
        else:
            codes = t["leg"].astype(np.intp)
            who = ("leg", np.asarray(LEGS, dtype=object)[codes])
        entry_bar = t["entry_bar"].astype(np.int64)
        exit_bar = t["exit_bar"].astype(np.int64)
        is_open = exit_bar < 0
        exit_at = self.index.take(np.where(is_open, 0, exit_bar))
        if isinstance(self.index, (pd.DatetimeIndex, pd.TimedeltaIndex, pd.PeriodIndex)):
            exit_time = exit_at.where(~is_open)
        else:
            exit_time = np.asarray(exit_at, dtype=object)
            exit_time[is_open] = None
        lots, entry_price = t["lots"], t["entry_price"]
        with np.errstate(divide="ignore", invalid="ignore"):
            ret = t["pnl"] / (entry_price * lots * self._multiples[codes])
        return pd.DataFrame({
            who[0]: who[1],
            "entry_time": self.index.take(entry_bar),
            "exit_time": exit_time,
            "entry_bar": entry_bar,
            "exit_bar": exit_bar,
            "direction": np.where(t["direction"] == 1, "long", "short"),
            "lots": lots,
            "entry_price": entry_price,
            "exit_price": t["exit_price"],
            "entry_fee": t["entry_fee"],
            "exit_fee": t["exit_fee"],
            "pnl": t["pnl"],
            "return": ret,
            "bars_held": np.where(is_open, n - 1 - entry_bar, exit_bar - entry_bar),
            "exit_reason": np.asarray(ledger.EXIT_REASONS)[t["exit_reason"].astype(np.intp)],
        })

    def stats(self, periods_per_year=None) -> pd.Series:
        """The run's statistics, a Series with these entries in this order.

        Values come from ``.value`` (v, n bars); per-bar returns
        r[i] = v[i] / v[i-1] - 1. P is `periods_per_year`, else 365.25 days
        over the median bar spacing of a DatetimeIndex, else none (ratios
        not annualised, Calmar NaN).

        - Start, End: the first and last index labels.
        - Period: End - Start on a DatetimeIndex, else the number of bars.
        - Start Value, End Value: v[0], v[-1].
        - Total Return [%]: (v[-1] / v[0] - 1) x 100.
        - Max Drawdown [%]: the largest fall of v below its running peak, as
          a positive percentage of the peak.
        - Max Drawdown Duration: the longest stretch below a previous peak,
          from the peak to the last bar still below it (an unrecovered one
          runs to the last bar); in bars, a Timedelta on a DatetimeIndex.
        - Exposure [%]: share of bars at whose end at least one position is
          open (a position is open at the end of its entry bar, not at the
          end of its exit bar).
        - Total Trades, Closed Trades, Open Trades: positions opened, closed,
          still open at the end (a pair counts each leg).
        - Over closed trades, in money: Win Rate [%] (share with pnl > 0),
          Best Trade, Worst Trade (largest, smallest pnl), Avg Winning Trade
          (mean pnl > 0), Avg Losing Trade (mean pnl < 0), Profit Factor
          (gross profit / gross loss), Expectancy (mean pnl), Avg Bars Held
          (mean exit_bar - entry_bar).
        - Sharpe Ratio: mean(r) / std(r, ddof=1) x sqrt(P).
        - Sortino Ratio: mean(r) / sqrt(mean(min(r, 0)^2)) x sqrt(P).
        - Calmar Ratio: annualised return (v[-1] / v[0]) ** (P / (n - 1)) - 1
          over the max drawdown (as a fraction); NaN without P.
        - Total Fees: every fee the account paid.
        - Refused Entries: entries refused for lack of cash, summed over
          contracts (a refused pair entry counts for both legs).

        A figure that is undefined (no trades, no losing trade, a zero
        deviation, fewer than two bars) is NaN, never an exception.
        """
        return compute_stats(self.index, self.record, periods_per_year)

    def plot(self, path=None, contract=None):
        """A matplotlib Figure: value and realised equity, drawdown, and the
        price of one contract (`contract`: a column label, or "A"/"B" for a
        pair; default the first) with entries and exits marked, exits
        coloured by exit reason. Saved as PNG when `path` is given."""
        from quorra.accel.study import plotting

        return plotting.plot(self, path=path, contract=contract)
