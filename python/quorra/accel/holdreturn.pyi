"""Holding-return analysis of trading signals."""

from typing import TypedDict

import numpy as np
import numpy.typing as npt

class _HoldReturnResult(TypedDict):
    long_profits: npt.NDArray[np.float64]
    short_profits: npt.NDArray[np.float64]
    signal_indices: list[int]
    signal_directions: list[int]
    cum_profit: list[npt.NDArray[np.float64]]
    bars: list[int]

def calc_holdreturn(
    signals: npt.NDArray[np.float64] | None,
    close: npt.NDArray[np.float64] | None,
    bars: list[int] | None,
) -> _HoldReturnResult:
    """Compounded long and short return ratios of every signal, per holding length.

    signals: 1-D float64 array; > 0 is a long signal, < 0 short, 0 or NaN none.
    close: 1-D float64 closing prices, at least as long as `signals`.
    bars: holding lengths in bars (each >= 0).

    Returns "long_profits" and "short_profits" of shape (signals, len(bars)),
    "signal_indices", "signal_directions" (1 long, -1 short), "cum_profit"
    (one curve of len(signals) per holding length; empty without signals)
    and "bars" (the list passed in).
    """

def calc_single_holdreturn(
    signal: npt.NDArray[np.float64] | None,
    close: npt.NDArray[np.float64] | None,
    bar_hold: int,
) -> _HoldReturnResult:
    """`calc_holdreturn` for one holding length `bar_hold`; "bars" is [bar_hold]."""
