"""Single-instrument futures backtest of every column of a bars x contracts matrix."""

from collections.abc import Iterable
from typing import SupportsFloat, SupportsIndex, SupportsInt

from _typeshed import ConvertibleToFloat

import numpy as np
import numpy.typing as npt

# A plain number: float, int or an object with __float__ or __index__.
_Real = SupportsFloat | SupportsIndex
# A per-contract setting: an int or float (subclasses included, so bool and
# np.float64) for every contract; anything else is iterated and float() taken
# of every element. np.int64(2), np.float32(2) or a 0-d array are refused
# ("'numpy.int64' object is not iterable"); a str is iterated by character.
_PerContract = int | float | Iterable[ConvertibleToFloat]

def calculate_commission(
    price: _Real,
    size: _Real,
    volume_multiple: _Real,
    commission: _Real,
    com_type: SupportsInt,
    price_tick: _Real,
) -> float:
    """Fee of a fill of `size` lots at `price`.

    com_type 0: `commission` ticks per unit; 1: `commission` per lot;
    2: `commission` as a rate on the traded value; other values: no fee.
    """

def calculate_size(
    close_price: _Real,
    size: _Real,
    size_type: SupportsInt,
    init_cash: _Real,
    margin_rate: _Real,
    volume_multiple: _Real,
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
    size: _PerContract = 1.0,
    size_type: SupportsInt = 0,
    margin_rate: _PerContract = ...,
    price_tick: _PerContract = ...,
    volume_multiple: _PerContract = ...,
    prices: npt.NDArray[np.generic] | None = None,
    min_start_length: SupportsInt = 1,
    init_cash: _Real = 1000000.0,
    commission: _PerContract = ...,
    com_type: SupportsInt = 1,
    slip_point: _Real = 0.0,
    sl_stop: _Real = 0.0,
    tp_stop: _Real = 0.0,
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
    entries: (n, m); a nonzero value (NaN too) opens a position on a flat
        contract and is its direction: 1 long, any other value priced as a
        short.
    exits: (n, m); -1 closes a direction of 1, 1 closes a direction of -1;
        other directions close only by a stop or max_hold_bars. A contract
        that closes on a bar does not enter again on that bar.
    size, size_type: order size per contract, read as in `calculate_size`.
    size, margin_rate, price_tick, volume_multiple, commission: per contract.
        An int or float (bool, np.float64 included) applies to every
        contract; anything else is iterated, float() of every element, one
        element per contract (a missing one is an IndexError at that
        contract's first entry). NumPy integer and float32 scalars are
        refused: "'numpy.int64' object is not iterable". Defaults [0.1],
        [1.0], [5.0], [1]: one contract.
    prices: (n, m) fill prices; None uses `close`.
    min_start_length: bars with index < min_start_length - 1 do not trade.
    init_cash, slip_point, sl_stop, tp_stop: rounded to single precision
        (init_cash 123456789.12 is 123456792.0).
    com_type: as in `calculate_commission`.
    stop_mode: 0 ticks, 1 money per position, 2 fraction of price.
    sl_trail: nonzero makes the stop-loss trail the best price.
    sl_callback_addr, tp_callback_addr: addresses of native callbacks
        `double cb(int64 bar, int64 direction, double entry, double price,
        double ref, double distance, double tick, double multiple,
        double size, const double *args, int64 n_args)`, 0 for none. A
        nonzero address is trusted code: the wrong one crashes the process.
    sl_callback_args, tp_callback_args: numbers and sequences flattened into
        the callbacks' `args` block.
    max_hold_bars: > 0 closes a position held this many bars.

    Returns one (n, 6) float64 history per contract: total_equity, position,
    current_size, pnl, cum_profit, total_fee.
    """
