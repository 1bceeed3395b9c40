"""Two-leg spread backtest."""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, SupportsInt

from _typeshed import ConvertibleToFloat

import numpy as np
import numpy.typing as npt

# A plain number: float, int or an object with __float__ or __index__.
_Real = SupportsFloat | SupportsIndex
# A per-leg setting: an int or float (subclasses included) for both legs, or
# a sized sequence: one element for both legs, else float() of every element
# and the first two used. Objects without len() (np.int64(2), np.float32(2),
# 0-d arrays, generators) are refused: "object of type 'numpy.int64' has no
# len()".
_PerLeg = int | float | Sequence[ConvertibleToFloat] | npt.NDArray[Any]
# Only these set the lot ratio; anything else (a NumPy scalar, an array)
# is ignored and leaves it 1:1.
_LegRatio = int | float | list[ConvertibleToFloat] | tuple[ConvertibleToFloat, ...]

def calculate_size(
    close_price: _Real,
    size: _Real,
    size_type: SupportsInt,
    init_cash: _Real,
    margin_rate: _Real,
    volume_multiple: _Real,
) -> float:
    """Lots for an order, as `quorra.accel.solosim.calculate_size`."""

def pair_from_signals(
    close: npt.NDArray[np.generic] | None,
    entries: npt.NDArray[np.generic] | None,
    exits: npt.NDArray[np.generic] | None,
    size: ConvertibleToFloat = 1.0,
    size_type: SupportsInt = 0,
    margin_rate: _PerLeg = ...,
    price_tick: _PerLeg = ...,
    volume_multiple: _PerLeg = ...,
    prices: npt.NDArray[np.generic] | None = None,
    min_start_length: SupportsInt = 1,
    init_cash: _Real = 1000000.0,
    commission: _PerLeg = ...,
    com_type: SupportsInt = 1,
    slip_point: _Real = 0.0,
    sl_stop: _Real = 0.0,
    tp_stop: _Real = 0.0,
    stop_mode: SupportsInt = 0,
    sl_trail: SupportsInt = 0,
    max_hold_bars: SupportsInt = 0,
    leg_size_ratio: _LegRatio = 1.0,
) -> list[npt.NDArray[np.float64]]:
    """Backtest legs A (column 0) and B (column 1) traded as one spread.

    close: (n, 2) closing prices; the default `prices`.
    entries: (n,); > 0 opens a long spread (A long, B short), any other
        nonzero value (< 0, NaN) a short one.
    exits: (n,); < 0 closes a long leg, > 0 a short leg; the other leg is
        closed on the same bar, and no spread enters on the bar of a close.
    size, size_type: spread size, read as in `calculate_size`, per leg.
    margin_rate, price_tick, volume_multiple, commission: per leg. An int or
        float (np.float64 included) for both legs; a one-element sequence,
        its element for both legs; a longer one, float() of every element,
        the first two for A and B (an empty one is an IndexError at the
        first entry). NumPy integer and float32 scalars are refused: "object
        of type 'numpy.int64' has no len()". Defaults [0.1, 0.1], [1.0, 1.0],
        [5.0, 5.0], [1.0, 1.0].
    prices: (n, 2) fill prices; None uses `close`.
    min_start_length: bars with index < min_start_length - 1 do not trade.
    init_cash, slip_point, sl_stop, tp_stop: rounded to single precision
        (init_cash 123456789.12 is 123456792.0).
    com_type: as in `solosim.calculate_commission`.
    stop_mode: 0 ticks, 1 money per position, 2 fraction of price.
    sl_trail: nonzero makes each leg's stop-loss trail its best price.
    max_hold_bars: > 0 closes legs held this many bars.
    leg_size_ratio: A:B lot ratio. An int or float (np.float64 included)
        sets A's ratio; a list or tuple sets A and, with a second element,
        B; anything else (np.int64(2), np.float32(2), an array) leaves both
        at 1.0 without an error. Each leg's lots: the sized count times its
        ratio, truncated (1 when that is below 1, NaN or 2**31 or more).

    Returns [r0, r1], the (n, 6) float64 histories of legs A and B.
    """
