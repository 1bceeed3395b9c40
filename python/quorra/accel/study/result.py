"""The result of a study backtest: trades, equity and value as pandas objects
on `close`'s labels, and the statistics of the run.

Every figure comes from the ledger's record of the run (its trades, realised
equity, value marked to market, fees and refused entries); nothing here
loops over bars.
"""

from __future__ import annotations

from functools import cached_property

import numpy as np
import pandas as pd

from quorra.accel import ledger
from quorra.accel.study import metrics
from quorra.accel.study.metrics import drawdown

# The entries of Backtest.stats(), in order.
STATS = metrics.NAMES

TRADE_COLUMNS = ("entry_time", "exit_time", "entry_bar", "exit_bar", "direction", "lots",
                 "entry_price", "exit_price", "entry_fee", "exit_fee", "pnl", "net_pnl",
                 "return", "bars_held", "exit_reason")

LEGS = ("A", "B")


class Stats(pd.Series):
    """The statistics of a run: an object Series (its entries are numbers,
    index labels and Timedeltas) whose ``round(decimals)`` rounds the float
    entries and leaves the others as they are."""

    @property
    def _constructor(self):
        return Stats

    def round(self, decimals: int = 0, *args, **kwargs) -> "Stats":
        if self.dtype != object:
            return super().round(decimals, *args, **kwargs)
        values = [round(v, decimals) if isinstance(v, float) else v for v in self]
        return Stats(values, index=self.index, name=self.name, dtype=object)


def trade_slots(trades: np.ndarray) -> np.ndarray:
    """Each trade's contract (solo) or leg (pair) number."""
    return (trades["contract"] if "contract" in trades.dtype.names else trades["leg"]
            ).astype(np.intp)


def trade_results(record: dict, multiples: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Each trade's net pnl (its pnl, net of the exit fee, less its entry
    fee) and return (net pnl over the entry value: entry price x lots x
    volume multiple); NaN while open."""
    t = record["trades"]
    codes = trade_slots(t)
    net = t["pnl"] - t["entry_fee"]
    with np.errstate(divide="ignore", invalid="ignore"):
        ret = net / (t["entry_price"] * t["lots"] * multiples[codes])
    return net, ret


def compute_stats(index: pd.Index, record: dict, given_periods, close,
                  multiples: np.ndarray) -> Stats:
    """The statistics of a run, see Backtest.stats (`close`: the first and
    last bars' closes, or None)."""
    t = record["trades"]
    net, ret = trade_results(record, multiples)
    run = metrics.Run(
        index=index,
        value=np.asarray(record["value"], dtype=np.float64),
        equity=np.asarray(record["equity"], dtype=np.float64),
        entry_bar=t["entry_bar"].astype(np.intp),
        exit_bar=t["exit_bar"].astype(np.intp),
        contract=trade_slots(t), pnl=net, ret=ret,
        total_fee=float(record["total_fee"]),
        refused=int(np.asarray(record["refused"]).sum()),
        close=close, P=metrics.periods_per_year(index, given_periods))
    return Stats(metrics.figures(run), index=list(STATS), dtype=object)


class Backtest:
    """One backtest run, its figures as pandas objects on `close`'s labels.

    A Backtest is a read-only result: its attributes cannot be set or
    deleted (AttributeError), and copies (``copy.copy``,
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
    while open), ``net_pnl`` (pnl less the entry fee), ``return`` (net_pnl /
    (entry_price x lots x volume multiple)),
    ``bars_held`` (exit_bar - entry_bar, or to the last bar while open),
    ``exit_reason`` ("open", "stop_loss", "take_profit", "max_hold",
    "signal", "cascade", "reverse").
    """

    def __init__(self, kind: str, frame, index: pd.Index, columns: pd.Index, record: dict,
                 multiples: np.ndarray, keepalive=(), bars=None):
        self.__dict__.update(kind=kind, _close=frame, index=index, columns=columns,
                             record=record, _multiples=multiples,
                             _keepalive=tuple(keepalive),  # callbacks the engine called
                             params=None, _bars=bars)

    def __setattr__(self, name, value):
        raise AttributeError(f"Backtest is read-only: cannot set {name!r}")

    def __delattr__(self, name):
        raise AttributeError(f"Backtest is read-only: cannot delete {name!r}")

    # -- copies and pickling --------------------------------------------

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self

    def __getstate__(self):
        state = {k: v for k, v in self.__dict__.items() if k not in ("trades",)}
        state["_keepalive"] = ()  # native callbacks do not pickle; the run is over
        return state

    def replaced(self, *, close=..., params=..., bars=...) -> "Backtest":
        """The same run (its record shared, not copied) with its `close`,
        `params` and/or `bars` replaced: a sweep sends its kept runs back
        without close and bars (the caller has them) and labels them with
        their parameters."""
        other = object.__new__(Backtest)
        other.__dict__.update({k: v for k, v in self.__dict__.items() if k != "trades"})
        if close is not ...:
            other.__dict__["_close"] = close
        if params is not ...:
            other.__dict__["params"] = params
        if bars is not ...:
            other.__dict__["_bars"] = bars
        return other

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
        return self.__dict__.get("_bars")  # absent from runs pickled before bars

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
        net, ret = trade_results(self.record, self._multiples)
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
            "net_pnl": net,
            "return": ret,
            "bars_held": np.where(is_open, n - 1 - entry_bar, exit_bar - entry_bar),
            "exit_reason": np.asarray(ledger.EXIT_REASONS)[t["exit_reason"].astype(np.intp)],
        })

    def stats(self, periods_per_year=None) -> Stats:
        """The run's statistics: a Series (``Stats``) with the entries of
        ``study.STATS`` in that order, each defined in
        ``quorra.accel.study.metrics`` (and the README's table).

        Values come from ``.value`` (v, n bars); per-bar returns
        r[i] = v[i] / v[i-1] - 1. P is `periods_per_year`, else (n - 1) bars
        over the span of a DatetimeIndex in years of 365.25 days, else none
        (ratios per bar, Calmar and CAGR NaN). The trade figures count each
        closed trade's ``net_pnl`` (its pnl less its entry fee).

        A figure that is undefined (no trades, no losing trade, a zero
        deviation, fewer than two bars, a value ending below zero) is NaN,
        never an exception. The Series holds numbers, labels and Timedeltas
        (dtype object); its ``round(d)`` rounds the float entries only.
        """
        return compute_stats(self.index, self.record, periods_per_year, self._price_ends(),
                             self._multiples)

    def _price_ends(self):
        """The first and last bars' closes (2, m), for buy and hold; None
        for a pair or without close."""
        if self.kind != "solo" or self._close is None or not len(self.index):
            return None
        ends = self._close.iloc[[0, -1]]
        values = ends.to_numpy(dtype=np.float64, na_value=np.nan)
        return values.reshape(2, -1)

    def plot(self, path=None, contract=None):
        """A matplotlib Figure: value and realised equity, drawdown, and the
        price of one contract (`contract`: a column label, or "A"/"B" for a
        pair; default the first) with entries and exits marked, exits
        coloured by exit reason. Saved as PNG when `path` is given."""
        from quorra.accel.study import plotting

        return plotting.plot(self, path=path, contract=contract)

    def report(self, path):
        """Writes an interactive, self-contained HTML report of the run: the
        account, drawdown, prices with the trades, the statistics and the
        trades (see study.html_report; needs the `report` extra)."""
        from quorra.accel.study.html_report import write_backtest

        return write_backtest(self, path)
