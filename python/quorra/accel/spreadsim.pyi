"""Two-leg spread backtest."""

from collections.abc import Iterable, Sequence
from typing import SupportsFloat, SupportsInt

import numpy as np
import numpy.typing as npt

_LegSetting = SupportsFloat | Iterable[SupportsFloat | str]

def calculate_size(
    close_price: SupportsFloat,
    size: SupportsFloat,
    size_type: SupportsInt,
    init_cash: SupportsFloat,
    margin_rate: SupportsFloat,
    volume_multiple: SupportsFloat,
) -> float:
    """Lots for an order, as `quorra.accel.solosim.calculate_size`."""

def pair_from_signals(
    close: npt.NDArray[np.generic] | None,
    entries: npt.NDArray[np.generic] | None,
    exits: npt.NDArray[np.generic] | None,
    size: SupportsFloat | str = 1.0,
    size_type: SupportsInt = 0,
    margin_rate: _LegSetting = ...,
    price_tick: _LegSetting = ...,
    volume_multiple: _LegSetting = ...,
    prices: npt.NDArray[np.generic] | None = None,
    min_start_length: SupportsInt = 1,
    init_cash: SupportsFloat = 1000000.0,
    commission: _LegSetting = ...,
    com_type: SupportsInt = 1,
    slip_point: SupportsFloat = 0.0,
    sl_stop: SupportsFloat = 0.0,
    tp_stop: SupportsFloat = 0.0,
    stop_mode: SupportsInt = 0,
    sl_trail: SupportsInt = 0,
    max_hold_bars: SupportsInt = 0,
    leg_size_ratio: SupportsFloat | Sequence[SupportsFloat] = 1.0,
) -> list[npt.NDArray[np.float64]]:
    """Backtest legs A (column 0) and B (column 1) traded as one spread.

    close: (n, 2) closing prices; the default `prices`.
    entries: (n,); > 0 opens a long spread (A long, B short), < 0 a short one.
    exits: (n,); < 0 closes a long leg, > 0 a short leg; the other leg is
        closed on the same bar.
    size, size_type: spread size, read as in `calculate_size`, per leg.
    margin_rate, price_tick, volume_multiple, commission: per leg, a number,
        a one-element or a two-element sequence (defaults [0.1, 0.1],
        [1.0, 1.0], [5.0, 5.0], [1.0, 1.0]).
    prices: (n, 2) fill prices; None uses `close`.
    min_start_length: bars with index < min_start_length - 1 do not trade.
    init_cash, slip_point, sl_stop, tp_stop: single-precision settings.
    com_type: as in `solosim.calculate_commission`.
    stop_mode: 0 ticks, 1 money per position, 2 fraction of price.
    sl_trail: nonzero makes each leg's stop-loss trail its best price.
    max_hold_bars: > 0 closes legs held this many bars.
    leg_size_ratio: A:B lot ratio, a number (leg A) or a list/tuple (A, B).

    Returns [r0, r1], the (n, 6) float64 histories of legs A and B.
    """
