"""Inputs of a study backtest: NumPy or pandas in, plain arrays for the ledger
out, with the index and column labels of `close` kept aside.

pandas inputs are never aligned: a signal frame, a `prices` frame or a
per-contract Series must carry exactly `close`'s labels, else ValueError.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

# Per-contract settings that may come as a Series indexed like close's columns.
PER_CONTRACT = ("size", "margin_rate", "price_tick", "volume_multiple", "commission")
# Per-bar settings shaped like close: fill prices and the bars' open, high, low.
PER_BAR = ("prices", "open", "high", "low")
DIRECTIONS = ("long", "short")


@dataclass
class Prepared:
    """What a backtest hands to the ledger and keeps for its result."""

    close: np.ndarray      # (n, m) float64 for the ledger
    entries: np.ndarray
    exits: np.ndarray
    settings: dict
    frame: pd.DataFrame | pd.Series  # close as pandas, labels kept
    index: pd.Index
    columns: pd.Index


def pandas_close(close) -> pd.DataFrame | pd.Series:
    """`close` as the pandas object a Backtest keeps: pandas input as it is,
    arrays wrapped with a RangeIndex (and RangeIndex columns)."""
    if isinstance(close, (pd.DataFrame, pd.Series)):
        return close
    a = np.asarray(close)
    # Views, not copies: a sweep wraps the same close for every run.
    if a.ndim == 1:
        return pd.Series(a, copy=False)
    if a.ndim == 2:
        return pd.DataFrame(a, copy=False)
    raise ValueError(f"close must be one- or two-dimensional, got {a.ndim} dimensions")


def _as_float64(x) -> np.ndarray:
    # Plain float64 columns come back without a copy (a large copy per run
    # would cost more than the backtest); nullable ones turn pd.NA into NaN.
    dtypes = x.dtypes if isinstance(x, pd.DataFrame) else [x.dtype]
    if all(isinstance(d, np.dtype) for d in dtypes):
        return x.to_numpy(dtype=np.float64)
    return x.to_numpy(dtype=np.float64, na_value=np.nan)


def _close_values(frame) -> np.ndarray:
    if isinstance(frame, pd.DataFrame):
        for label, dtype in frame.dtypes.items():
            if not pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype):
                raise TypeError(f"close column {label!r} has dtype {dtype}; prices must be numbers")
        return _as_float64(frame)
    if not pd.api.types.is_numeric_dtype(frame.dtype) or pd.api.types.is_bool_dtype(frame.dtype):
        raise TypeError(f"close has dtype {frame.dtype}; prices must be numbers")
    return _as_float64(frame).reshape(-1, 1)


def _same_labels(name: str, what: str, got: pd.Index, want: pd.Index) -> None:
    if not got.equals(want):
        raise ValueError(f"{name}'s {what} differs from close's {what}; pandas inputs must "
                         f"carry close's labels exactly (no alignment is done: reindex or "
                         f"pass arrays)")


def _values(name: str, x, index: pd.Index, columns: pd.Index | None, shape: tuple) -> np.ndarray:
    """An (n, m) or (n,) input as an array of `shape`, its labels checked."""
    if isinstance(x, pd.DataFrame):
        _same_labels(name, "index", x.index, index)
        if columns is None:
            raise ValueError(f"{name} must be a Series or a 1-D array here, not a DataFrame")
        _same_labels(name, "columns", x.columns, columns)
        if len(x.columns) and all(pd.api.types.is_bool_dtype(d) for d in x.dtypes):
            a = x.to_numpy(dtype=bool)
        else:
            a = x.to_numpy()
    elif isinstance(x, pd.Series):
        _same_labels(name, "index", x.index, index)
        a = x.to_numpy(dtype=bool) if pd.api.types.is_bool_dtype(x.dtype) else x.to_numpy()
    else:
        a = np.asarray(x)
    if a.shape != shape:
        if a.ndim == 1 and len(shape) == 2 and shape[1] == 1 and a.shape[0] == shape[0]:
            a = a.reshape(shape)
        else:
            raise ValueError(f"{name} has shape {a.shape}; close needs {shape}")
    return a


def signals(name: str, a: np.ndarray, direction: str) -> np.ndarray:
    """Boolean signals as -1/0/1: True enters (entries) or exits (exits) a
    position of `direction`. Numeric signals pass through unchanged."""
    if a.dtype != np.bool_:
        return a
    if name == "entries":
        value = 1 if direction == "long" else -1
    else:  # an exit closes a long with -1, a short with 1
        value = -1 if direction == "long" else 1
    return a.astype(np.int8) * np.int8(value)


def _check_direction(direction) -> str:
    if direction not in DIRECTIONS:
        raise ValueError(f"direction must be 'long' or 'short', got {direction!r}")
    return direction


def _setting_values(name, x, columns: pd.Index):
    if isinstance(x, pd.Series):
        _same_labels(name, "index", x.index, columns)
        return x.to_numpy()
    if isinstance(x, pd.DataFrame):
        raise ValueError(f"{name} must be a number or one value per contract, not a DataFrame")
    return x


def _settings(settings: dict, index: pd.Index, columns: pd.Index, shape: tuple) -> dict:
    out = dict(settings)
    for name in PER_CONTRACT:
        if name in out:
            out[name] = _setting_values(name, out[name], columns)
    for name in PER_BAR:
        if out.get(name) is not None:
            out[name] = _values(name, out[name], index, columns, shape)
    return out


def solo(close, entries, exits, direction: str, settings: dict) -> Prepared:
    """Inputs of `backtest`: close (n, m) DataFrame / array or (n,) Series /
    array, entries and exits of the same labels and shape."""
    _check_direction(direction)
    frame = pandas_close(close)
    index = frame.index
    columns = frame.columns if isinstance(frame, pd.DataFrame) else pd.Index(
        [0 if frame.name is None else frame.name])
    values = _close_values(frame)
    shape = values.shape
    sig_columns = columns if isinstance(frame, pd.DataFrame) else None
    e = signals("entries", _values("entries", entries, index, sig_columns, shape), direction)
    x = signals("exits", _values("exits", exits, index, sig_columns, shape), direction)
    return Prepared(values, e, x, _settings(settings, index, columns, shape), frame, index,
                    columns)


def pair(close, entries, exits, direction: str, settings: dict) -> Prepared:
    """Inputs of `pair_backtest`: close (n, 2) DataFrame / array (legs A and
    B), entries and exits (n,) Series / arrays on close's index."""
    _check_direction(direction)
    frame = pandas_close(close)
    if not isinstance(frame, pd.DataFrame) or frame.shape[1] != 2:
        raise ValueError(f"a pair's close must have two columns (legs A and B), got shape "
                         f"{frame.shape}")
    values = _close_values(frame)
    n = values.shape[0]
    e = signals("entries", _values("entries", entries, frame.index, None, (n,)), direction)
    x = signals("exits", _values("exits", exits, frame.index, None, (n,)), direction)
    return Prepared(values, e, x, _settings(settings, frame.index, frame.columns, values.shape),
                    frame, frame.index, frame.columns)
