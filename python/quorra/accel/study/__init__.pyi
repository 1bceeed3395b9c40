"""Backtests as pandas results with statistics and plots, sweeps of a
strategy over a grid of parameters, and walk-forward validation."""

import os
from _ctypes import CFuncPtr
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from typing import Any, Final, Literal, Unpack

import pandas as pd

from quorra.accel.study.settings import (
    BacktestSettings,
    PairBacktestSettings,
    PairSettings,
    SoloSettings,
)

_Strategy = Callable[..., tuple[Any, ...]]
_Grid = Mapping[str, Any] | Iterable[Mapping[str, Any]]
_Progress = bool | Literal["always"] | None
_RankBy = str | Callable[[pd.Series], Any]
_Constraint = Callable[[dict[str, Any]], object] | None

STATS: Final[tuple[str, ...]]
STOP_CALLBACK: type[CFuncPtr]
STOP_SIGNATURE: Final[str]

class Stats(pd.Series): ...

class Backtest:
    kind: str
    index: pd.Index
    columns: pd.Index
    record: dict[str, Any]
    params: dict[str, Any] | None
    def __init__(self, kind: str, frame: Any, index: pd.Index, columns: pd.Index,
                 record: dict[str, Any], multiples: Any, keepalive: Iterable[Any] = ...,
                 bars: dict[str, Any] | None = None) -> None: ...
    def __copy__(self) -> Backtest: ...
    def __deepcopy__(self, memo: Any) -> Backtest: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def replaced(self, *, close: Any = ..., params: Any = ..., bars: Any = ...) -> Backtest: ...
    @property
    def close(self) -> pd.DataFrame | pd.Series: ...
    @property
    def bars(self) -> dict[str, Any] | None: ...
    @property
    def histories(self) -> list[Any] | None: ...
    @property
    def total_fee(self) -> float: ...
    @property
    def refused(self) -> pd.Series: ...
    @property
    def equity(self) -> pd.Series: ...
    @property
    def value(self) -> pd.Series: ...
    @property
    def drawdown(self) -> pd.Series: ...
    @property
    def trades(self) -> pd.DataFrame: ...
    def stats(self, periods_per_year: float | None = None) -> Stats: ...
    def plot(self, path: Any = None, contract: Any = None) -> Any: ...  # a matplotlib Figure
    def report(self, path: Any) -> Path: ...

class BestRuns(tuple[Backtest, ...]):
    def __copy__(self) -> BestRuns: ...
    def __deepcopy__(self, memo: Any) -> BestRuns: ...

class SweepResult(pd.DataFrame):
    @property
    def best(self) -> BestRuns: ...
    def heatmap(self, x: Any, y: Any, metric: str = "Total Return [%]", agg: Any = "mean",
                path: Any = None) -> Any: ...  # a matplotlib Figure
    def report(self, path: Any) -> Path: ...
    def rerun(self, row: Any, strategy: _Strategy | None = None, close: Any = None,
              settings: BacktestSettings | PairBacktestSettings | None = None) -> Backtest: ...

class StoreBusy(RuntimeError): ...

def local_cluster(n_workers: int | None = None, threads_per_worker: int = 1,
                  **kwargs: Any) -> Any: ...

def load(path: str | os.PathLike[str], study: str | None = None
         ) -> dict[str, SweepResult] | SweepResult: ...

class WalkForward:
    metric: str
    folds: pd.DataFrame
    value: pd.Series
    equity: pd.Series
    trades: pd.DataFrame
    runs: list[Backtest | None]
    def __init__(self, metric: str, folds_table: pd.DataFrame, value: pd.Series,
                 equity: pd.Series, trades: pd.DataFrame, runs: list[Backtest | None],
                 run: Any) -> None: ...
    def stats(self, periods_per_year: float | None = None) -> Stats: ...
    def plot(self, path: Any = None) -> Any: ...  # a matplotlib Figure
    def report(self, path: Any) -> Path: ...

def backtest(
    close: Any,
    entries: Any,
    exits: Any,
    *,
    direction: Literal["long", "short"] = "long",
    open: Any = None,
    high: Any = None,
    low: Any = None,
    fill: Literal["close", "next_open"] = "close",
    sl_callback: Any = None,
    tp_callback: Any = None,
    histories: bool = False,
    **settings: Unpack[SoloSettings],
) -> Backtest: ...
def pair_backtest(
    close: Any,
    entries: Any,
    exits: Any,
    *,
    direction: Literal["long", "short"] = "long",
    open: Any = None,
    high: Any = None,
    low: Any = None,
    fill: Literal["close", "next_open"] = "close",
    histories: bool = False,
    **settings: Unpack[PairSettings],
) -> Backtest: ...
def sweep(
    strategy: _Strategy,
    grid: _Grid,
    close: Any,
    *,
    settings: BacktestSettings | PairBacktestSettings | None = None,
    workers: int | None = None,
    client: Any = None,
    progress: _Progress = True,
    keep: int = 0,
    rank_by: _RankBy = "Total Return [%]",
    constraint: _Constraint = None,
    pair: bool = False,
    store: str | os.PathLike[str] | None = None,
    timeout: float | None = None,
) -> SweepResult: ...
def walk_forward(
    strategy: _Strategy,
    grid: _Grid,
    close: Any,
    *,
    train: int,
    test: int,
    step: int | None = None,
    anchored: bool = False,
    metric: str = "Sharpe Ratio",
    settings: BacktestSettings | PairBacktestSettings | None = None,
    workers: int | None = None,
    client: Any = None,
    progress: _Progress = True,
    constraint: _Constraint = None,
    pair: bool = False,
    store: str | os.PathLike[str] | None = None,
    timeout: float | None = None,
    **bars: Any,
) -> WalkForward: ...
