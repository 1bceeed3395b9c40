"""Slow pure-Python model of holdreturn, written straight from its rules.

It converts every holding length at each use, reads entry prices by indexing
`close` and the held bars from its buffer, and writes the curves position by
position into NaN-filled arrays, so the engine's shortcuts can be checked
against it bit for bit.
"""

import math

import numpy as np

from solosim_model import int32

KEYS = ("long_profits", "short_profits", "signal_indices", "signal_directions",
        "cum_profit", "bars")


def to_int32(obj):
    """The engine's holding-length conversion: the binding's integer
    conversion, negative lengths refused."""
    value = int32(obj)
    if value < 0:
        raise ValueError(f"holding length must be non-negative, got {value}")
    return value


def calc_holdreturn(signals, close, bars):
    n = len(signals)
    m = len(bars)
    indices, directions = [], []
    for j in range(n):
        value = float(signals[j])
        if value > 0:
            indices.append(j)
            directions.append(1)
        elif value < 0:
            indices.append(j)
            directions.append(-1)
    if not indices:
        return dict(zip(KEYS, (np.zeros((0, m)), np.zeros((0, m)), [], [], [], bars)))

    held = None
    long_profits = np.zeros((len(indices), m))
    short_profits = np.zeros((len(indices), m))
    for i, sig in enumerate(indices):
        open_price = float(close[sig])
        held = memoryview(close) if held is None else held
        if open_price <= 0 or not math.isfinite(open_price):
            long_profits[i, :] = np.nan
            short_profits[i, :] = np.nan
            continue
        for k in range(m):
            end = min(sig + to_int32(bars[k]), n - 1)
            long_ratio = short_ratio = 1.0
            for t in range(sig + 1, end + 1):
                current = float(held[t])
                if not math.isfinite(current):
                    continue
                long_ratio = long_ratio * (((current - open_price) / open_price) + 1.0)
                short_ratio = short_ratio * (((open_price - current) / open_price) + 1.0)
            long_profits[i, k] = long_ratio
            short_profits[i, k] = short_ratio

    curves = []
    for k in range(m):
        hold = to_int32(bars[k])
        curve = np.full(n, np.nan)
        value = 1.0
        last = -1
        for j, sig in enumerate(indices):
            for p in range(last + 1, sig):
                curve[p] = value
            settle = min(sig + hold, n - 1)
            value = long_profits[j, k] if directions[j] == 1 else short_profits[j, k]
            following = indices[j + 1] if j + 1 < len(indices) else n
            end_fill = min(settle, following - 1)
            for p in range(settle, end_fill + 1):
                curve[p] = value
            last = end_fill
        for p in range(last + 1, n):
            curve[p] = value
        curves.append(curve)
    return dict(zip(KEYS, (long_profits, short_profits, indices, directions, curves, bars)))
