"""Inputs of a study backtest: NumPy or pandas in, plain arrays for the ledger
out, with the index and column labels of `close` kept aside.

pandas inputs are never aligned: a signal frame, a `prices` frame or a
per-contract Series must carry exactly `close`'s labels, else ValueError.
"""

from __future__ import annotations

import difflib
import inspect
from dataclasses import dataclass

import numpy as np
import pandas as pd

from quorra.accel import ledger

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


def check_index(index: pd.Index) -> None:
    """A DatetimeIndex must be strictly increasing: the bars are read in
    order and the annualisation reads their spacing."""
    if not isinstance(index, pd.DatetimeIndex) or (index.is_monotonic_increasing
                                                    and index.is_unique):
        return
    stamps = index.asi8
    bad = int(np.flatnonzero(stamps[1:] <= stamps[:-1])[0]) + 1
    raise ValueError(f"close's DatetimeIndex must be increasing: position {bad} "
                     f"({index[bad]}) is not after position {bad - 1} ({index[bad - 1]})")


def readonly(close):
    """`close` as a strategy receives it: a new object over read-only values,
    so a write into it raises at once and a column it replaces is gone with
    this object, instead of changing what the next configuration gets.
    pandas objects of one NumPy dtype share close's memory; others (mixed
    or nullable dtypes) are a copy for the call."""
    if isinstance(close, pd.DataFrame):
        dtypes = set(close.dtypes)
        if len(dtypes) == 1 and isinstance(next(iter(dtypes)), np.dtype):
            return pd.DataFrame(_frozen(close.to_numpy()), index=close.index,
                                columns=close.columns, copy=False)
        return close.copy()
    if isinstance(close, pd.Series):
        if isinstance(close.dtype, np.dtype):
            return pd.Series(_frozen(close.to_numpy()), index=close.index, name=close.name,
                             copy=False)
        return close.copy()
    return _frozen(np.asarray(close).view())


def _frozen(a: np.ndarray) -> np.ndarray:
    if a.flags.writeable:
        a = a.view()
        a.flags.writeable = False
    return a


def _signal_array(name: str, x) -> np.ndarray:
    """The values of a signal Series or frame: booleans as bool, nullable
    numbers (Int8, Float64, ...) as their NumPy dtype, missing values refused."""
    dtypes = list(x.dtypes) if isinstance(x, pd.DataFrame) else [x.dtype]
    if dtypes and all(pd.api.types.is_bool_dtype(d) for d in dtypes):
        return x.to_numpy(dtype=bool)
    nullable = [d for d in dtypes if not isinstance(d, np.dtype)]
    if dtypes and nullable and all(pd.api.types.is_numeric_dtype(d) for d in dtypes):
        if bool(np.any(x.isna().to_numpy())):
            raise ValueError(f"{name} has missing values; signals must be numbers")
        numpy_dtypes = [getattr(d, "numpy_dtype", d) for d in dtypes]
        return x.to_numpy(dtype=np.result_type(*numpy_dtypes))
    return x.to_numpy()


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
        a = _signal_array(name, x)
    elif isinstance(x, pd.Series):
        _same_labels(name, "index", x.index, index)
        a = _signal_array(name, x)
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
    check_index(index)
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
    check_index(frame.index)
    values = _close_values(frame)
    n = values.shape[0]
    e = signals("entries", _values("entries", entries, frame.index, None, (n,)), direction)
    x = signals("exits", _values("exits", exits, frame.index, None, (n,)), direction)
    return Prepared(values, e, x, _settings(settings, frame.index, frame.columns, values.shape),
                    frame, frame.index, frame.columns)


def _setting_names(engine, own: tuple) -> frozenset:
    params = inspect.signature(engine).parameters
    taken = ("close", "entries", "exits", "fill_at")
    return frozenset([*own, *(p for p in params if p not in taken)])


# The names a backtest takes besides close and the signals: the engine's
# keywords and the study's own (direction, fill, the callback objects).
# The ledger's fill_at is the study's fill: "next_open" sets it along with
# the moved signals.
SOLO_SETTINGS = _setting_names(ledger.solo, ("direction", "fill", "sl_callback", "tp_callback"))
PAIR_SETTINGS = _setting_names(ledger.pair, ("direction", "fill"))


def check_setting_names(names, pair: bool = False, what: str = "setting") -> None:
    """Unknown names are a ValueError naming each with its nearest valid name."""
    valid = PAIR_SETTINGS if pair else SOLO_SETTINGS
    unknown = [n for n in names if n not in valid]
    if not unknown:
        return
    parts = []
    for n in unknown:
        near = difflib.get_close_matches(str(n), sorted(valid), n=1)
        parts.append(f"{n!r} (did you mean {near[0]!r}?)" if near else repr(n))
    plural = "s" if len(unknown) > 1 else ""
    raise ValueError(f"unknown {what}{plural} of {'pair_backtest' if pair else 'backtest'}: "
                     f"{', '.join(parts)}")
