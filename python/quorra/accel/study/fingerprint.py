"""The fingerprint of a study: what decides whether a stored row may be
reused. Two sweeps are the same study when the strategy (its qualified name
and its code), the settings and the data (shape, dtypes, index and values)
are the same; anything else is another study."""

from __future__ import annotations

import functools
import hashlib
import pickle
import types

import numpy as np
import pandas as pd


def _code(h, code: types.CodeType) -> None:
    # The bytecode and the constants, nested code objects by their own
    # bytes (their repr holds an address that changes every run).
    h.update(code.co_code)
    h.update(repr(code.co_names).encode())
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            _code(h, const)
        else:
            h.update(repr(const).encode())


def _array(h, a: np.ndarray) -> None:
    h.update(f"{a.dtype.str}{a.shape}".encode())
    if a.dtype == object:
        h.update(pickle.dumps(a.tolist(), protocol=4))
    else:
        h.update(np.ascontiguousarray(a).tobytes())


def _feed(h, x, seen=None) -> None:
    """Feeds `x` into the hash by its content, tagged with its kind."""
    seen = set() if seen is None else seen
    if isinstance(x, pd.DataFrame):
        h.update(b"frame")
        _feed(h, x.columns, seen)
        _feed(h, x.index, seen)
        for label in x.columns:
            _feed(h, x[label], seen)
    elif isinstance(x, pd.Series):
        h.update(f"series{x.name!r}{x.dtype}".encode())
        _feed(h, x.index, seen)
        _array(h, x.to_numpy(dtype=object) if not isinstance(x.dtype, np.dtype) else
               x.to_numpy())
    elif isinstance(x, pd.Index):
        h.update(f"index{type(x).__name__}{x.dtype}".encode())
        stamps = isinstance(x, (pd.DatetimeIndex, pd.TimedeltaIndex, pd.PeriodIndex))
        _array(h, x.asi8 if stamps else x.to_numpy())
    elif isinstance(x, np.ndarray):
        h.update(b"array")
        _array(h, x)
    elif isinstance(x, dict):
        h.update(f"dict{len(x)}".encode())
        for k in sorted(x, key=repr):
            _feed(h, k, seen)
            _feed(h, x[k], seen)
    elif isinstance(x, (list, tuple)):
        h.update(f"{type(x).__name__}{len(x)}".encode())
        for item in x:
            _feed(h, item, seen)
    elif isinstance(x, functools.partial):
        h.update(b"partial")
        _feed(h, x.func, seen)
        _feed(h, x.args, seen)
        _feed(h, x.keywords, seen)
    elif isinstance(x, (types.FunctionType, types.MethodType)):
        fn = getattr(x, "__func__", x)
        h.update(f"function{fn.__module__}.{fn.__qualname__}".encode())
        _code(h, fn.__code__)
        _feed(h, fn.__defaults__ or (), seen)
        _feed(h, fn.__kwdefaults__ or {}, seen)
        if fn.__closure__ and id(fn) not in seen:  # what the function was made with
            seen.add(id(fn))
            for cell in fn.__closure__:
                try:
                    _feed(h, cell.cell_contents, seen)
                except ValueError:  # an empty cell
                    h.update(b"empty")
    elif x is None or isinstance(x, (bool, int, float, complex, str, bytes, np.generic)):
        h.update(f"{type(x).__name__}:{x!r}".encode())
    else:
        # A callable object or anything else: its type and, when it
        # pickles, its state; else only its type (a ctypes callback).
        h.update(f"object{type(x).__module__}.{type(x).__qualname__}".encode())
        # A stop callback made from a Python function (study.STOP_CALLBACK,
        # a numba cfunc) is that function.
        inner = getattr(getattr(x, "_guard", None), "function", None)
        inner = inner if inner is not None else getattr(x, "_pyfunc", None)
        if inner is not None and id(inner) not in seen:
            seen.add(id(inner))
            _feed(h, inner, seen)
        call = getattr(type(x), "__call__", None)
        if isinstance(call, types.FunctionType):
            _code(h, call.__code__)
        try:
            h.update(pickle.dumps(x, protocol=4))
        except Exception:  # not picklable: the type has to do
            pass


def of(strategy, close, settings: dict, pair: bool) -> str:
    """The study's fingerprint, a hex digest."""
    h = hashlib.sha256(b"quorra-study-1")
    _feed(h, strategy)
    _feed(h, settings)
    _feed(h, close if isinstance(close, (pd.DataFrame, pd.Series)) else np.asarray(close))
    h.update(b"pair" if pair else b"solo")
    return h.hexdigest()


def strategy_name(strategy) -> str:
    fn = getattr(strategy, "func", strategy)  # a partial names its function
    fn = getattr(fn, "__func__", fn)
    name = getattr(fn, "__qualname__", None) or type(fn).__qualname__
    return f"{getattr(fn, '__module__', None) or type(fn).__module__}.{name}"
