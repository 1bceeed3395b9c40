"""Native numerical core of quorra.

Submodules:

- ``quorra.accel.holdreturn``: holding-return analysis of trading signals.
- ``quorra.accel.solosim``: single-instrument futures backtest of a bars x contracts matrix.
- ``quorra.accel.spreadsim``: two-leg spread backtest.
"""

__all__ = ["holdreturn", "solosim", "spreadsim"]
