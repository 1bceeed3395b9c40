"""Summaries of backtest histories, for notebooks and the demo.

A history is the (n, 6) float64 array a backtest returns per contract or
leg, with the columns below. Columns 0, 4 and 5 belong to the whole account,
so the last history of a run holds the account's final state.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Sequence

import numpy as np

from quorra.accel.study import metrics

TOTAL_EQUITY, POSITION, CURRENT_SIZE, PNL, CUM_PROFIT, TOTAL_FEE = range(6)


@dataclass(frozen=True)
class Summary:
    """Figures of one backtest run (realised: open positions are not marked)."""

    initial_cash: float
    final_equity: float
    net_profit: float
    total_fees: float
    closed_trades: int
    winning_trades: int
    win_rate: float
    max_drawdown: float
    max_drawdown_pct: float


def _as_histories(histories) -> list[np.ndarray]:
    if isinstance(histories, np.ndarray):
        histories = [histories]
    out = [np.asarray(h, dtype=np.float64) for h in histories]
    if not out:
        raise ValueError("summary needs at least one history array")
    for h in out:
        if h.ndim != 2 or h.shape[1] != 6:
            raise ValueError(f"a history must have shape (n, 6), got {h.shape}")
    if len({h.shape[0] for h in out}) != 1:
        raise ValueError("all histories of a run must have the same number of bars")
    return out


def closes(history: np.ndarray) -> np.ndarray:
    """Bar indices at which the history's position was closed.

    A close is a bar whose position is flat after a held bar; positions
    never close and reopen on the same bar, so this finds every close.
    """
    pos = history[:, POSITION]
    held_before = np.concatenate(([False], pos[:-1] != 0))
    return np.flatnonzero(held_before & (pos == 0))


def equity_curve(histories) -> np.ndarray:
    """Realised account equity after each bar."""
    return _as_histories(histories)[-1][:, TOTAL_EQUITY].copy()


def drawdown(equity: np.ndarray) -> np.ndarray:
    """Distance below the running peak of the equity curve (>= 0)."""
    return np.maximum.accumulate(equity) - equity if len(equity) else equity


def summary(histories: np.ndarray | Sequence[np.ndarray]) -> Summary:
    """Summarise one history array or the list a backtest returned: the
    realised equity curve of the last history and every position closed in
    any of them (by the pnl the histories record), computed by the study's
    statistics (``quorra.accel.study.metrics``)."""
    hs = _as_histories(histories)
    last = hs[-1]
    if last.shape[0] == 0:
        raise ValueError("summary needs at least one bar")
    exits = [closes(h) for h in hs]
    exit_bar = np.concatenate(exits).astype(np.intp)
    equity = last[:, TOTAL_EQUITY].copy()
    run = metrics.Run(
        index=None, value=equity, equity=equity,
        entry_bar=exit_bar, exit_bar=exit_bar,
        contract=np.concatenate([np.full(len(e), j, dtype=np.intp) for j, e in enumerate(exits)]),
        pnl=np.concatenate([h[e, PNL] for h, e in zip(hs, exits)]), ret=np.full(len(exit_bar), np.nan),
        total_fee=float(last[-1, TOTAL_FEE]), refused=0,
        start_cash=float(last[0, TOTAL_EQUITY] - last[0, CUM_PROFIT]))
    return Summary(**{key: f(run) for key, f in metrics.SUMMARY})


def format_summary(name: str, s: Summary) -> str:
    """A small aligned table of one summary."""
    rows = [
        ("initial cash", f"{s.initial_cash:,.2f}"),
        ("final equity", f"{s.final_equity:,.2f}"),
        ("net profit", f"{s.net_profit:,.2f}"),
        ("total fees", f"{s.total_fees:,.2f}"),
        ("closed trades", f"{s.closed_trades}"),
        ("win rate", "n/a" if np.isnan(s.win_rate) else f"{s.win_rate:.1%}"),
        ("max drawdown", f"{s.max_drawdown:,.2f} ({s.max_drawdown_pct:.2%})"),
    ]
    width = max(len(k) for k, _ in rows)
    lines = [name, "-" * len(name)]
    lines += [f"{k:<{width}}  {v:>20}" for k, v in rows]
    return "\n".join(lines)
