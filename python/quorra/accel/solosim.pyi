"""Single-instrument futures backtest of every column of a bars x contracts matrix."""

from collections.abc import Iterable
from typing import SupportsFloat, SupportsInt

import numpy as np
import numpy.typing as npt

_Setting = SupportsFloat | Iterable[SupportsFloat | str]

def calculate_commission(
    price: SupportsFloat,
    size: SupportsFloat,
    volume_multiple: SupportsFloat,
    commission: SupportsFloat,
    com_type: SupportsInt,
    price_tick: SupportsFloat,
) -> float:
    """Fee of a fill of `size` lots at `price`.

    com_type 0: `commission` ticks per unit; 1: `commission` per lot;
    2: `commission` as a rate on the traded value; other values: no fee.
    """

def calculate_size(
    close_price: SupportsFloat,
    size: SupportsFloat,
    size_type: SupportsInt,
    init_cash: SupportsFloat,
    margin_rate: SupportsFloat,
    volume_multiple: SupportsFloat,
) -> float:
    """Lots for an order: a whole number >= 1.

    size_type 0: `size` lots; 1: `size` money committed as margin; 2: a
    fraction `size` of `init_cash` committed as margin; other values: 1 lot.
    Raises ZeroDivisionError for a zero one-lot margin with size_type 1 or 2.
    """

def from_signals(
    close: npt.NDArray[np.generic] | None,
    entries: npt.NDArray[np.generic] | None,
    exits: npt.NDArray[np.generic] | None,
    size: _Setting = 1.0,
    size_type: SupportsInt = 0,
    margin_rate: _Setting = ...,
    price_tick: _Setting = ...,
    volume_multiple: _Setting = ...,
    prices: npt.NDArray[np.generic] | None = None,
    min_start_length: SupportsInt = 1,
    init_cash: SupportsFloat = 1000000.0,
    commission: _Setting = ...,
    com_type: SupportsInt = 1,
    slip_point: SupportsFloat = 0.0,
    sl_stop: SupportsFloat = 0.0,
    tp_stop: SupportsFloat = 0.0,
    stop_mode: SupportsInt = 0,
    sl_trail: SupportsInt = 0,
    sl_callback_addr: SupportsInt = 0,
    tp_callback_addr: SupportsInt = 0,
    sl_callback_args: tuple[object, ...] | None = (),
    tp_callback_args: tuple[object, ...] | None = (),
    max_hold_bars: SupportsInt = 0,
) -> list[npt.NDArray[np.float64]]:
    """Backtest every column of `close` as its own contract on one cash account.

    close: (n, m) bars x contracts; gives the shape and the default `prices`.
    entries: (n, m); a nonzero value opens a position on a flat contract and
        is its direction (1 long; other values are priced as short).
    exits: (n, m); -1 closes a long, 1 closes a short.
    size, size_type: order size per contract, read as in `calculate_size`.
    margin_rate, price_tick, volume_multiple, commission: per contract, a
        number for every contract or a sequence (defaults [0.1], [1.0],
        [5.0], [1]: one contract).
    prices: (n, m) fill prices; None uses `close`.
    min_start_length: bars with index < min_start_length - 1 do not trade.
    init_cash, slip_point, sl_stop, tp_stop: single-precision settings.
    com_type: as in `calculate_commission`.
    stop_mode: 0 ticks, 1 money per position, 2 fraction of price.
    sl_trail: nonzero makes the stop-loss trail the best price.
    sl_callback_addr, tp_callback_addr: addresses of native callbacks
        `double cb(int64 bar, int64 direction, double entry, double price,
        double ref, double distance, double tick, double multiple,
        double size, const double *args, int64 n_args)`, 0 for none.
    sl_callback_args, tp_callback_args: numbers and sequences flattened into
        the callbacks' `args` block.
    max_hold_bars: > 0 closes a position held this many bars.

    Returns one (n, 6) float64 history per contract: total_equity, position,
    current_size, pnl, cum_profit, total_fee.
    """
