"""The settings of a study backtest, as typed dictionaries: the keyword
settings of ``study.backtest`` / ``study.pair_backtest`` and the `settings`
dict of ``sweep`` and ``walk_forward``.

A type checker reading the study's stubs flags a misspelt or mistyped
setting (``sl_stp=1.0``, ``settings={"comission": 1}``) before anything
runs. Per-contract settings take one number, one per contract, or a Series
indexed like close's columns; ``prices`` a frame or array like close.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypedDict, Union

Real = Union[SupportsFloat, SupportsIndex]
# One number, or one per contract (a sequence, an array or a Series).
PerContract = Union[Real, Sequence[Real], Any]


class LedgerSettings(TypedDict, total=False):
    """What ``ledger.solo`` and ``ledger.pair`` share."""

    size: PerContract
    size_type: int
    margin_rate: PerContract
    price_tick: PerContract
    volume_multiple: PerContract
    prices: Any
    min_start_length: int
    init_cash: Real
    commission: PerContract
    com_type: int
    slip_point: Real
    sl_stop: Real
    tp_stop: Real
    stop_mode: int
    sl_trail: int
    max_hold_bars: int
    both_hit: Literal["stop_loss", "take_profit"]
    opposite_entry: Literal["ignore", "reverse"]


class SoloSettings(LedgerSettings, total=False):
    """The keyword settings of ``study.backtest``."""

    sl_callback_addr: int
    tp_callback_addr: int
    sl_callback_args: tuple[Any, ...] | None
    tp_callback_args: tuple[Any, ...] | None


class PairSettings(LedgerSettings, total=False):
    """The keyword settings of ``study.pair_backtest``."""

    leg_size_ratio: Real | Sequence[Real]


class StudyOptions(TypedDict, total=False):
    """What ``study.backtest`` and ``study.pair_backtest`` take beside the
    ledger's settings: the signal direction, the bars, the fill and
    histories."""

    direction: Literal["long", "short"]
    open: Any
    high: Any
    low: Any
    fill: Literal["close", "next_open"]
    histories: bool


class BacktestSettings(SoloSettings, StudyOptions, total=False):
    """A sweep's `settings` for ``study.backtest``: the keyword settings, the
    study's options and the stop callbacks."""

    sl_callback: Any
    tp_callback: Any


class PairBacktestSettings(PairSettings, StudyOptions, total=False):
    """A sweep's `settings` for ``study.pair_backtest`` (``pair=True``)."""
