"""The figure of a Backtest: value and realised equity, drawdown, and one
contract's price with its trades marked.

Figures are made with matplotlib's object interface (no pyplot state), so
plotting from several threads or in a script without a display works.
"""

from __future__ import annotations

import os
import pathlib

import numpy as np
import pandas as pd

REASON_COLOURS = {"stop_loss": "tab:red", "take_profit": "tab:green", "max_hold": "tab:purple",
                  "signal": "tab:blue", "cascade": "tab:orange", "reverse": "tab:brown"}
# Up to this many bars are drawn as candles, more as high-low bars (candle
# bodies narrower than a few points read as noise).
CANDLES_UP_TO = 250


def _x(index: pd.Index):
    if isinstance(index, pd.DatetimeIndex) or pd.api.types.is_numeric_dtype(index.dtype):
        return index
    return np.arange(len(index))


def _pick(bt, contract):
    """(column position in close, label, trades of that contract)."""
    trades = bt.trades
    if bt.kind == "pair":
        leg = "A" if contract is None else contract
        if leg not in ("A", "B"):
            raise ValueError(f"a pair's contract is 'A' or 'B', got {contract!r}")
        pos = 0 if leg == "A" else 1
        name = str(bt.columns[pos])
        label = f"leg {leg}" if name == leg else f"leg {leg} ({name})"
        return pos, label, trades[trades["leg"] == leg]
    if contract is None:
        pos = 0
    else:
        where = np.flatnonzero(bt.columns == contract)
        if len(where) == 0:
            raise ValueError(f"no contract labelled {contract!r} in close's columns")
        pos = int(where[0])
    return pos, str(bt.columns[pos]), trades[trades["contract"] == bt.columns[pos]]


def _bars_of(bt, pos):
    """{"open", "high", "low"} -> that contract's values, or None."""
    if bt.bars is None:
        return None
    return {name: (b.iloc[:, pos] if isinstance(b, pd.DataFrame) else b).to_numpy(np.float64)
            for name, b in bt.bars.items()}


def _draw_prices(ax, x, close, bars, label):
    """Closes as a line; with bars, candles (a thin high-low wick and a thick
    open-close body, light when the bar rose) or, for many bars, high-low
    bars under the close line."""
    if bars is None:
        ax.plot(x, close, color="0.35", linewidth=0.8, label=f"close of {label}")
        return
    n = len(close)
    ax.vlines(x, bars["low"], bars["high"], color="0.45", linewidth=0.6,
              label=f"high-low of {label}")
    if n <= CANDLES_UP_TO:
        up = close >= bars["open"]
        width = max(1.0, 0.6 * 700.0 / max(n, 1))  # points: about 60 % of a bar's room
        for rising, colour in ((True, "0.7"), (False, "0.15")):
            pick = up == rising
            ax.vlines(np.asarray(x)[pick], np.minimum(bars["open"], close)[pick],
                      np.maximum(bars["open"], close)[pick], color=colour, linewidth=width)
    else:
        ax.plot(x, close, color="0.2", linewidth=0.6, label=f"close of {label}")


def png_target(path):
    """`path` for savefig as PNG: a file-like object, or a path whose suffix
    is .png or absent (any other suffix would get a PNG under a name that
    promises another format)."""
    if path is None or hasattr(path, "write"):
        return path
    suffix = pathlib.PurePath(os.fspath(path)).suffix
    if suffix and suffix.lower() != ".png":
        raise ValueError(f"figures are saved as PNG, so path must end in .png, got "
                         f"{os.fspath(path)!r}")
    return path


def figure_class():
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("plots need matplotlib: pip install 'quorra-accel[plot]' "
                          "(or pip install matplotlib)") from None
    return Figure


def plot(bt, path=None, contract=None):
    Figure = figure_class()
    path = png_target(path)
    if bt.close is None:
        raise ValueError("this Backtest has no close prices attached")
    close = bt.close
    x = _x(bt.index)
    xs = np.asarray(x)

    from matplotlib.ticker import FuncFormatter, StrMethodFormatter

    fig = Figure(figsize=(11, 9), layout="constrained")
    if bt.params:
        fig.suptitle(", ".join(f"{k} = {v}" for k, v in bt.params.items()))
    if bt.kind == "solo" and len(bt.columns) == 0 and contract is None:
        # No contract to show: the account and its drawdown only.
        top, mid = fig.subplots(2, 1, sharex=True, height_ratios=[3, 1.4])
        low = None
    else:
        pos, label, trades = _pick(bt, contract)
        column = close.iloc[:, pos] if isinstance(close, pd.DataFrame) else close
        prices = column.to_numpy(dtype=np.float64)
        top, mid, low = fig.subplots(3, 1, sharex=True, height_ratios=[3, 1.4, 3])
    top.plot(x, bt.value.to_numpy(), label="value (marked to market)", linewidth=1.0)
    top.plot(x, bt.equity.to_numpy(), label="realised equity", linewidth=1.0, alpha=0.8)
    top.set_title("Account")
    top.yaxis.set_major_formatter(StrMethodFormatter("{x:,.0f}"))
    top.legend(loc="best", fontsize="small")

    dd = bt.drawdown.to_numpy() * 100.0
    mid.fill_between(x, dd, 0.0, color="tab:red", alpha=0.35, linewidth=0)
    mid.plot(x, dd, color="tab:red", linewidth=0.7)
    mid.set_title("Drawdown of value [%]")
    mid.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:.2g}"))

    for ax in (top, mid):
        ax.grid(alpha=0.3)
    if low is not None:
        _price_panel(low, x, xs, prices, _bars_of(bt, pos), label, trades)
    if path is not None:
        fig.savefig(path, dpi=100, format="png")
    return fig


def _price_panel(low, x, xs, prices, ohlc, label, trades):
    _draw_prices(low, x, prices, ohlc, label)
    for side, marker in (("long", "^"), ("short", "v")):
        t = trades[trades["direction"] == side]
        if len(t):
            bars = t["entry_bar"].to_numpy()
            low.scatter(xs[bars], t["entry_price"].to_numpy(), marker=marker, s=40, color="black", zorder=3,
                        label=f"{side} entry")
    closed = trades[trades["exit_bar"] >= 0]
    for reason, colour in REASON_COLOURS.items():
        t = closed[closed["exit_reason"] == reason]
        if len(t):
            bars = t["exit_bar"].to_numpy()
            low.scatter(xs[bars], t["exit_price"].to_numpy(), marker="o", s=36, color=colour, zorder=4,
                        edgecolors="white", linewidths=0.5, label=f"exit: {reason}")
    low.set_title(f"Price of {label}; entries and exits at their fills, exits by reason")
    low.legend(loc="best", fontsize="small", ncols=2)
    low.grid(alpha=0.3)
