"""Bars of a study backtest: the open, high and low beside close, a frame of
one contract's Open, High, Low and Close read as its bars, and the fill at
the next bar's open.

The ledger takes the bars as three arrays shaped like close; everything here
only shapes inputs (and the bars a Backtest keeps for its figure).
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from quorra.accel.study import inputs

NAMES = ("open", "high", "low")
OHLC = ("open", "high", "low", "close")
FILLS = ("close", "next_open")


def _ohlc_labels(frame: pd.DataFrame) -> dict | None:
    """The labels of an OHLC frame's four columns by lower-case name, or None
    for a frame of contracts. Two or more of the four names make an OHLC
    frame (a single column called "Close" stays one contract's closes)."""
    found: dict = {}
    for label in frame.columns:
        if isinstance(label, str) and label.lower() in OHLC:
            key = label.lower()
            if key in found:
                raise ValueError(f"close has the columns {found[key]!r} and {label!r}; a frame "
                                 f"of bars has one column of each of Open, High, Low, Close")
            found[key] = label
    if len(found) < 2:
        return None
    missing = [name.capitalize() for name in OHLC if name not in found]
    if missing:
        raise ValueError(f"close reads as one contract's bars (columns "
                         f"{', '.join(map(repr, found.values()))}) but has no "
                         f"{', '.join(missing)} column; bars need Open, High, Low and Close "
                         f"(any case; other columns such as Volume are ignored)")
    return found


def read_close(close, open=None, high=None, low=None) -> tuple:
    """(close, bars): an OHLC DataFrame gives its Close column as an unnamed
    Series and its Open, High and Low Series as the bars; any other close
    comes back as it is with the bars given (only those not None, so a call
    without bars hands the ledger nothing new)."""
    given = {name: x for name, x in zip(NAMES, (open, high, low)) if x is not None}
    labels = _ohlc_labels(close) if isinstance(close, pd.DataFrame) else None
    if labels is None:
        return close, given
    if given:
        raise ValueError(f"close is a frame of bars; give the bars there or as "
                         f"{', '.join(given)}=, not both")
    bars = {name: close[labels[name]].rename(None) for name in NAMES}
    return close[labels["close"]].rename(None), bars


def check_fill(fill, bars: dict, settings: dict) -> None:
    if not isinstance(fill, str) or fill not in FILLS:
        raise ValueError(f"fill must be 'close' or 'next_open', got {fill!r}")
    if fill == "next_open":
        if "open" not in bars:
            raise ValueError("fill='next_open' fills at the bars' opens: give open=, high= "
                             "and low= (or a frame of Open, High, Low, Close as close)")
        if settings.get("prices") is not None:
            raise ValueError("fill='next_open' fills at the opens; give prices= or "
                             "fill='next_open', not both")


def next_bar(signals: np.ndarray) -> np.ndarray:
    """Signals one bar later: what bar i saw acts on bar i + 1; the first
    bar has none and the last bar's signals are dropped."""
    out = np.zeros_like(signals)
    out[1:] = signals[:-1]
    return out


def apply_fill(prep: inputs.Prepared, fill: str) -> None:
    """fill='next_open': the signals move one bar on and the ledger fills
    its market orders at the opens (fill_at='open': each bar's range comes
    after its open), so trades carry the bar they filled on."""
    if fill == "next_open":
        prep.entries = next_bar(prep.entries)
        prep.exits = next_bar(prep.exits)
        prep.settings["fill_at"] = "open"


def frames(frame, arrays: dict) -> dict | None:
    """The bars as pandas objects on close's labels (None without bars)."""
    if not arrays:
        return None
    if isinstance(frame, pd.Series):
        return {name: pd.Series(np.asarray(a).reshape(-1), index=frame.index, name=frame.name,
                                copy=False) for name, a in arrays.items()}
    return {name: pd.DataFrame(a, index=frame.index, columns=frame.columns, copy=False)
            for name, a in arrays.items()}


def kept(prep: inputs.Prepared) -> dict | None:
    """The bars a Backtest keeps: the ledger's arrays of this run."""
    return frames(prep.frame, {name: prep.settings[name] for name in NAMES
                               if prep.settings.get(name) is not None})


def attached(close, settings: dict) -> tuple:
    """close and bars as the Backtests of a sweep over `close` with
    `settings` hold them: what a run that came back from a Dask worker
    without them gets re-attached."""
    close, given = read_close(close, *(settings.get(name) for name in NAMES))
    frame = inputs.pandas_close(close)
    if not given:
        return frame, None
    shape = (len(frame), 1) if isinstance(frame, pd.Series) else frame.shape
    columns = frame.columns if isinstance(frame, pd.DataFrame) else None
    arrays = {name: inputs._values(name, x, frame.index, columns, shape)
              for name, x in given.items()}
    return frame, frames(frame, arrays)
