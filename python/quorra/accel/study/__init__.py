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
- ``walk_forward(strategy, grid, close, train=..., test=...)``: parameters
  chosen on each training window and judged on the bars after it, a
  ``WalkForward`` (``.folds``, ``.value``, ``.trades``, ``.stats()``).
- ``sweep(..., store="study.db")`` keeps every row in a results store and
  resumes from it; ``load(store)`` reads the stored tables back.

Needs pandas (the `study` extra: pip install 'quorra-accel[study]').
"""

try:
    import pandas as _pandas  # noqa: F401
except ImportError:
    # The package imports (its NumPy-only `metrics` serve report.summary);
    # everything else says what is missing when it is asked for.
    def __getattr__(name):
        if name.startswith("__") or name == "metrics":  # metrics imports as a submodule
            raise AttributeError(name)
        raise ImportError("quorra.accel.study needs pandas: pip install 'quorra-accel[study]'")
else:
    from quorra.accel.study.backtests import backtest, pair_backtest
    from quorra.accel.study.callbacks import STOP_CALLBACK, STOP_SIGNATURE
    from quorra.accel.study.cluster import local_cluster
    from quorra.accel.study.result import STATS, Backtest, Stats
    from quorra.accel.study.store import StoreBusy, load
    from quorra.accel.study.sweeps import BestRuns, SweepResult, sweep
    from quorra.accel.study.walkforward import WalkForward, walk_forward

__all__ = ["backtest", "pair_backtest", "sweep", "walk_forward", "Backtest", "SweepResult",
           "BestRuns", "WalkForward", "Stats", "STATS", "STOP_CALLBACK", "STOP_SIGNATURE",
           "load", "StoreBusy", "local_cluster"]
