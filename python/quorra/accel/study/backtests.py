"""study.backtest and study.pair_backtest: prepare the inputs, run the ledger,
wrap its record in a Backtest."""

from __future__ import annotations

import numpy as np

from quorra.accel import ledger
from quorra.accel.study import bars, callbacks, inputs
from quorra.accel.study.result import Backtest


def _multiples(settings: dict, m: int) -> np.ndarray:
    # The ledger has accepted the setting: one number or m of them.
    vm = np.asarray(settings.get("volume_multiple", 5.0), dtype=np.float64)
    return np.full(m, float(vm)) if vm.ndim == 0 else vm.reshape(m)


def _callbacks(settings: dict, named: dict) -> list:
    keep = []
    for name, cb in named.items():
        if cb is None:
            continue
        if settings.get(f"{name}_addr"):
            raise ValueError(f"give {name} or {name}_addr, not both")
        settings[f"{name}_addr"] = callbacks.address(name, cb)
        keep.append(cb)
    return keep


def backtest(close, entries, exits, *, direction="long", open=None, high=None, low=None,
             fill="close", sl_callback=None, tp_callback=None, histories=False,
             **settings) -> Backtest:
    """Backtest every column of `close` with ``ledger.solo``.

    `close`: (n, m) DataFrame or array, or an (n,) Series or array (one
    contract). `entries`, `exits`: the same shape; pandas inputs must carry
    close's index and columns exactly (ValueError otherwise, no alignment).
    Signals are -1/0/1 numbers as the ledger reads them, or booleans: True
    enters (entries) or exits (exits) a position of `direction`, "long"
    (entries 1, exits -1) or "short" (entries -1, exits 1); `direction`
    changes only boolean signals.

    `open`, `high`, `low`: the bars, frames or arrays like close (the
    ledger's stops then trigger inside the bar and fill at the open on a
    gap). A DataFrame with columns Open, High, Low and Close (any case,
    other columns ignored) as `close` is one contract's bars; entries and
    exits are then Series or (n,) arrays on its index. `fill`: "close" (a
    signal fills on its own bar at `prices`, default close) or "next_open"
    (a signal seen on bar i fills at the open of bar i + 1, the ledger's
    fill_at="open": the stops see that bar's range after the fill; one on
    the last bar does nothing).

    `sl_callback` / `tp_callback`: a numba cfunc, a ctypes function of the
    STOP_CALLBACK type or an address; the result keeps the object
    referenced. The other keyword settings are ``ledger.solo``'s
    (per-contract settings may be Series indexed like close's columns,
    `prices` a frame like close). `histories=True` keeps the history arrays
    (``.histories``).
    """
    inputs.check_setting_names(settings)
    close, given = bars.read_close(close, open, high, low)
    bars.check_fill(fill, given, settings)
    prep = inputs.solo(close, entries, exits, direction, {**settings, **given})
    bars.apply_fill(prep, fill)
    keep = _callbacks(prep.settings, {"sl_callback": sl_callback, "tp_callback": tp_callback})
    callbacks.clear_errors(keep)
    try:
        record = ledger.solo(prep.close, prep.entries, prep.exits, histories=histories,
                             **prep.settings)
        callbacks.raise_recorded(keep)  # a call: an interrupt left pending fires here
    except BaseException:
        # What a guarded Python callback raised ends the run, not the
        # interrupt it armed nor a result made with its NaN answers.
        callbacks.raise_recorded(keep)
        raise
    return Backtest("solo", prep.frame, prep.index, prep.columns, record,
                    _multiples(prep.settings, prep.close.shape[1]), keep, bars=bars.kept(prep))


def pair_backtest(close, entries, exits, *, direction="long", open=None, high=None, low=None,
                  fill="close", histories=False, **settings) -> Backtest:
    """Backtest a spread with ``ledger.pair``: `close` (n, 2) DataFrame or
    array, its columns legs A and B; `entries`, `exits` (n,) Series or
    arrays on close's index. Numeric signals as the ledger reads them (entry
    1 buys the spread, A long and B short; -1 sells it); booleans: True
    enters / exits a spread of `direction` ("long" or "short"). `open`,
    `high`, `low`: the legs' bars, frames or arrays like close; `fill` as in
    ``backtest``. The other keyword settings are ``ledger.pair``'s."""
    inputs.check_setting_names(settings, pair=True)
    given = {name: x for name, x in zip(bars.NAMES, (open, high, low)) if x is not None}
    bars.check_fill(fill, given, settings)
    prep = inputs.pair(close, entries, exits, direction, {**settings, **given})
    bars.apply_fill(prep, fill)
    record = ledger.pair(prep.close, prep.entries, prep.exits, histories=histories,
                         **prep.settings)
    return Backtest("pair", prep.frame, prep.index, prep.columns, record,
                    _multiples(prep.settings, 2), bars=bars.kept(prep))
