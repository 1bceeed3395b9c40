"""Backtests as pandas results with statistics and plots, and sweeps of a
strategy over a grid of parameters on threads or on Dask.

- ``backtest(close, entries, exits, **settings)``: every column of close
  with ``ledger.solo``; ``pair_backtest(...)``: a spread with ``ledger.pair``.
  Both return a ``Backtest`` (``.trades``, ``.equity``, ``.value``,
  ``.drawdown``, ``.stats()``, ``.plot()``). With ``open=``, ``high=``,
  ``low=`` (or a frame of Open, High, Low, Close as close) the stops trigger
  inside the bars; ``fill="next_open"`` fills a signal at the next bar's open.
- ``sweep(strategy, grid, close, ...)``: one row of ``stats()`` per
  configuration, a ``SweepResult`` DataFrame (``.best`` with ``keep=k``).

Needs pandas (the `study` extra: pip install 'quorra-accel[study]').
"""

try:
    import pandas as _pandas  # noqa: F401
except ImportError:
    raise ImportError("quorra.accel.study needs pandas: pip install 'quorra-accel[study]'") from None

from quorra.accel.study.backtests import backtest, pair_backtest
from quorra.accel.study.callbacks import STOP_CALLBACK, STOP_SIGNATURE
from quorra.accel.study.result import STATS, Backtest
from quorra.accel.study.sweeps import BestRuns, SweepResult, sweep

__all__ = ["backtest", "pair_backtest", "sweep", "Backtest", "SweepResult", "BestRuns",
           "STATS", "STOP_CALLBACK", "STOP_SIGNATURE"]
