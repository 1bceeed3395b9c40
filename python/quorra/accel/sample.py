"""A built-in deterministic sample of daily bars for two related futures.

The bars are generated from a fixed seed, so every run of the demo sees the
same data and prints the same figures; nothing is downloaded.
"""

from __future__ import annotations

import numpy as np

SEED = 20261208


def sample_bars(n: int = 2500, seed: int = SEED) -> dict[str, np.ndarray]:
    """Closing prices of two related contracts, ``"A"`` and ``"B"``.

    A follows a random walk with drift around 4000; B tracks roughly half of
    A plus a mean-reverting spread, so the pair drifts apart and back.
    Prices are rounded to the contracts' tick of 1.0.
    """
    rng = np.random.default_rng(seed)
    a = 4000.0 + np.cumsum(rng.normal(0.2, 18.0, n))
    spread = np.zeros(n)
    shocks = rng.normal(0.0, 6.0, n)
    for i in range(1, n):
        spread[i] = 0.97 * spread[i - 1] + shocks[i]
    b = 0.5 * a + 150.0 + spread
    return {"A": np.round(a), "B": np.round(b)}


def sample_ohlc(n: int = 2500, seed: int = SEED) -> dict[str, dict[str, np.ndarray]]:
    """Daily bars of the same two contracts: ``{"A": {"open", "high", "low",
    "close"}, "B": {...}}``, the closes those of ``sample_bars(n, seed)``.

    The open, high and low are drawn from a second stream of the seed (so
    the closes stay the same): each bar opens near the previous close (an
    overnight move of about a third of the day's spread of closes), and its
    high and low reach beyond the open and the close by about half of it.
    Rounded to the tick of 1.0, so low <= min(open, close) and high >=
    max(open, close) hold exactly.
    """
    closes = sample_bars(n, seed)
    rng = np.random.default_rng([seed, 1])
    out = {}
    for name, close in closes.items():
        scale = float(np.std(np.diff(close))) if n > 2 else 1.0
        before = np.concatenate([close[:1], close[:-1]])
        open_ = np.round(before + rng.normal(0.0, scale / 3.0, n))
        reach = np.round(np.abs(rng.normal(0.0, scale / 2.0, (2, n))))
        out[name] = {"open": open_, "high": np.maximum(open_, close) + reach[0],
                     "low": np.minimum(open_, close) - reach[1], "close": close}
    return out


def moving_average(x: np.ndarray, window: int) -> np.ndarray:
    """Trailing mean over `window` bars; NaN until the window is full."""
    out = np.full(x.shape, np.nan)
    if window <= len(x):
        c = np.cumsum(np.insert(x, 0, 0.0))
        out[window - 1:] = (c[window:] - c[:-window]) / window
    return out


def crossover_signals(close: np.ndarray, fast: int = 10, slow: int = 40):
    """Entry and exit signals of a moving-average crossover on one series.

    Entries are +1 where the fast average crosses above the slow one and -1
    where it crosses below; exits are the opposite sign on the same bars, so
    a crossing closes the position the previous crossing opened.
    """
    f, s = moving_average(close, fast), moving_average(close, slow)
    above = np.where(np.isnan(f) | np.isnan(s), 0.0, np.sign(f - s))
    entries = np.zeros(len(close))
    cross = (above != 0) & (np.roll(above, 1) != above)
    cross[0] = False
    entries[cross] = above[cross]
    return entries, -entries


def zscore_signals(a: np.ndarray, b: np.ndarray, window: int = 60, open_at: float = 2.0,
                   close_at: float = 0.5):
    """Entry and exit signals of a z-score spread strategy on A against B.

    The spread A - 2B is standardised over a trailing window. A z-score above
    `open_at` shorts the spread (entry -1), below -`open_at` buys it (entry
    +1); a z-score back inside +-`close_at` closes any open pair (exit 1).
    """
    spread = a - 2.0 * b
    mean = moving_average(spread, window)
    sq = moving_average(spread * spread, window)
    std = np.sqrt(np.maximum(sq - mean * mean, 0.0))
    with np.errstate(invalid="ignore", divide="ignore"):
        z = np.where(std > 0, (spread - mean) / std, np.nan)
    entries = np.where(z > open_at, -1.0, np.where(z < -open_at, 1.0, 0.0))
    exits = np.where(np.abs(z) < close_at, 1.0, 0.0)
    return entries, exits
