"""Recorded backtests: solosim.from_signals' and spreadsim.pair_from_signals'
loops with checked inputs, trades with fills, fees and exit reasons, and the
account's realised and marked-to-market value per bar, run with the
interpreter lock released."""

from collections.abc import Sequence
from typing import Any, Final, Literal, SupportsFloat, SupportsIndex, SupportsInt, TypedDict

import numpy as np
import numpy.typing as npt

# A plain number: float, int or an object with __float__ or __index__.
_Real = SupportsFloat | SupportsIndex
# Real numbers of any dtype and layout (bool, integers, floats).
_Array = npt.ArrayLike
# One number for every contract (leg), or exactly one per contract (leg):
# Python and NumPy numbers, sequences and arrays alike.
_PerSlot = _Real | Sequence[_Real] | npt.NDArray[Any]

class _Result(TypedDict, total=False):
    trades: npt.NDArray[np.void]  # contract|leg, entry_bar, exit_bar, direction, lots, ...
    refused: npt.NDArray[np.int64]
    equity: npt.NDArray[np.float64]
    value: npt.NDArray[np.float64]
    total_fee: float
    histories: list[npt.NDArray[np.float64]]  # only with histories=True

EXIT_REASONS: Final[tuple[str, str, str, str, str, str, str]]

def solo(
    close: _Array,
    entries: _Array,
    exits: _Array,
    size: _PerSlot = 1.0,
    size_type: SupportsInt = 0,
    margin_rate: _PerSlot = 0.1,
    price_tick: _PerSlot = 1.0,
    volume_multiple: _PerSlot = 5.0,
    prices: _Array | None = None,
    min_start_length: SupportsInt = 1,
    init_cash: _Real = 1000000.0,
    commission: _PerSlot = 1.0,
    com_type: SupportsInt = 1,
    slip_point: _Real = 0.0,
    sl_stop: _Real = 0.0,
    tp_stop: _Real = 0.0,
    stop_mode: SupportsInt = 0,
    sl_trail: SupportsInt = 0,
    sl_callback_addr: SupportsInt = 0,
    tp_callback_addr: SupportsInt = 0,
    sl_callback_args: tuple[Any, ...] | None = (),
    tp_callback_args: tuple[Any, ...] | None = (),
    max_hold_bars: SupportsInt = 0,
    *,
    histories: object = False,
    open: _Array | None = None,
    high: _Array | None = None,
    low: _Array | None = None,
    both_hit: Literal["stop_loss", "take_profit"] = "stop_loss",
    opposite_entry: Literal["ignore", "reverse"] = "ignore",
    fill_at: Literal["prices", "open"] = "prices",
) -> _Result:
    """Every column of the (n, m) arrays a contract, one shared account, the
    rules and numbers of from_signals; see the README's ledger section."""

def pair(
    close: _Array,
    entries: _Array,
    exits: _Array,
    size: _PerSlot = 1.0,
    size_type: SupportsInt = 0,
    margin_rate: _PerSlot = 0.1,
    price_tick: _PerSlot = 1.0,
    volume_multiple: _PerSlot = 5.0,
    prices: _Array | None = None,
    min_start_length: SupportsInt = 1,
    init_cash: _Real = 1000000.0,
    commission: _PerSlot = 1.0,
    com_type: SupportsInt = 1,
    slip_point: _Real = 0.0,
    sl_stop: _Real = 0.0,
    tp_stop: _Real = 0.0,
    stop_mode: SupportsInt = 0,
    sl_trail: SupportsInt = 0,
    max_hold_bars: SupportsInt = 0,
    leg_size_ratio: _Real | Sequence[_Real] | npt.NDArray[Any] = 1.0,
    *,
    histories: object = False,
    open: _Array | None = None,
    high: _Array | None = None,
    low: _Array | None = None,
    both_hit: Literal["stop_loss", "take_profit"] = "stop_loss",
    opposite_entry: Literal["ignore", "reverse"] = "ignore",
    fill_at: Literal["prices", "open"] = "prices",
) -> _Result:
    """A spread of (n, 2) close (leg A, leg B) with (n,) signals, the rules
    and numbers of pair_from_signals; see the README's ledger section."""
