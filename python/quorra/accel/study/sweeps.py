"""study.sweep: one backtest per configuration of a grid, on a thread pool or
on Dask workers, one row of statistics per configuration.

The ledger releases the interpreter lock for the whole run, so threads run
backtests in parallel and share `close` without copies. On Dask, `close`,
the strategy and the settings are scattered to every worker once; a task
returns the stats row only (with ``keep``, the run's Backtest stays on its
worker until the sweep knows whether it is among the best).
"""

from __future__ import annotations

import bisect
import itertools
import math
import os
import threading
import uuid
from concurrent.futures import ThreadPoolExecutor, as_completed

import numpy as np
import pandas as pd

from quorra.accel.study import bars as bar_inputs
from quorra.accel.study import progress as progress_bars
from quorra.accel.study.backtests import backtest
from quorra.accel.study.result import STATS

DASK_EXTRA = "pip install 'quorra-accel[dask]'"
RANK_BY = "Total Return [%]"


class BestRuns(tuple):
    """The kept Backtests, best first. Copies are the object itself, so the
    pandas operations that copy a frame's ``attrs`` stay cheap."""

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self


class SweepResult(pd.DataFrame):
    """The table of a sweep: one row per configuration in grid order, its
    parameters, then the ``Backtest.stats()`` entries, then an ``error``
    column if any configuration failed.

    ``.best`` is the tuple of kept Backtests, best first (``keep=k``), held
    in ``attrs["best"]``. Frames derived from this one (``head``,
    ``sort_values``, selections, ``copy``, pickling) are SweepResults with the
    same attrs, so ``.best`` carries over; a plain DataFrame built from it
    (``pd.DataFrame(df)``, ``pd.concat`` of different sweeps) may not keep
    attrs: take ``df.best`` first or read ``df.attrs.get("best", ())``.
    """

    @property
    def _constructor(self):
        return SweepResult

    @property
    def best(self) -> BestRuns:
        return self.attrs.get("best", BestRuns())


def configurations(grid) -> list[dict]:
    """A dict of name -> values gives the Cartesian product of the values in
    order (the first name varies slowest); a list of dicts is taken as it is.
    A value that is a string or not iterable counts as a single value."""
    if isinstance(grid, dict):
        names = list(grid)
        values = []
        for name in names:
            v = grid[name]
            if isinstance(v, (str, bytes)) or not np.iterable(v):
                v = [v]
            values.append(list(v))
        return [dict(zip(names, combo)) for combo in itertools.product(*values)]
    configs = list(grid)
    for c in configs:
        if not isinstance(c, dict):
            raise TypeError(f"grid must be a dict of name -> values or a list of dicts, "
                            f"found a {type(c).__name__} in the list")
    return [dict(c) for c in configs]


def run_configuration(strategy, params, close, settings, keep_backtest=False, stop=None,
                      ship=False):
    """One configuration: (stats dict, None, Backtest or None) or
    (None, "TypeName: text", None) when it failed; None when `stop` was set
    before it started."""
    if stop is not None and stop.is_set():
        return None
    try:
        out = strategy(close, **params)
        if not isinstance(out, tuple) or len(out) not in (2, 3):
            raise TypeError("strategy must return (entries, exits) or "
                            "(entries, exits, settings)")
        run_settings = dict(settings)
        if len(out) == 3 and out[2] is not None:
            if not isinstance(out[2], dict):
                raise TypeError(f"the strategy's settings must be a dict, not "
                                f"{type(out[2]).__name__}")
            run_settings.update(out[2])
        bt = backtest(close, out[0], out[1], **run_settings)
        bt.params = dict(params)
        stats = bt.stats().to_dict()
    except Exception as exc:  # the configuration's row reports it
        return None, error_text(exc), None
    if ship:
        bt._ship_without_close = True
    return stats, None, bt if keep_backtest else None


def run_batch(strategy, batch, close, settings, keep_backtest=False, ship=False):
    """Several configurations in one Dask task (fewer, longer tasks: the
    scheduler's cost per task is paid once a batch)."""
    return [run_configuration(strategy, params, close, settings, keep_backtest, None, ship)
            for params in batch]


def rows_only(outcomes):
    """A batch's outcomes without their Backtests (what comes back)."""
    return [(o[0], o[1], None) for o in outcomes]


def pick(outcomes, k):
    """One outcome of a batch held on its worker."""
    return outcomes[k]


def batch_positions(count: int, threads: int) -> list[list[int]]:
    """Grid positions in consecutive batches, about eight per worker thread
    (so that the cluster stays busy to the end and the progress bar moves)."""
    size = max(1, math.ceil(count / (8 * max(threads, 1))))
    return [list(range(i, min(i + size, count))) for i in range(0, count, size)]


def error_text(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}"


class _Best:
    """The k best runs so far by RANK_BY (descending; ties by grid order)."""

    def __init__(self, k: int):
        self.k = k
        self.items: list = []  # (key, payload)

    def offer(self, pos: int, stats, payload):
        """Keeps `payload` if it ranks; returns what fell out (or `payload`
        itself when it does not rank)."""
        if self.k == 0 or stats is None:
            return [payload]
        score = stats.get(RANK_BY)
        if score is None or not isinstance(score, (int, float)) or math.isnan(score):
            return [payload]
        bisect.insort(self.items, ((-score, pos), payload), key=lambda item: item[0])
        dropped = [p for _, p in self.items[self.k:]]
        del self.items[self.k:]
        return dropped

    def payloads(self) -> list:
        return [p for _, p in self.items]


def _table(configs: list[dict], outcomes: list, best: list) -> SweepResult:
    names: list = []
    for c in configs:
        names += [k for k in c if k not in names]
    failed = any(o[1] is not None for o in outcomes)
    rows = []
    for c, (stats, error, _) in zip(configs, outcomes):
        row = dict(c)
        row.update(stats if stats is not None else dict.fromkeys(STATS, math.nan))
        if failed:
            row["error"] = error
        rows.append(row)
    columns = names + list(STATS) + (["error"] if failed else [])
    table = SweepResult(rows, columns=columns)
    table.attrs["best"] = BestRuns(best)
    return table


def _workers(workers) -> int:
    if workers is None:
        return os.cpu_count() or 1
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be a positive integer, got {workers!r}")
    return workers


def _local(strategy, configs, close, settings, workers, bar, keep):
    outcomes: list = [None] * len(configs)
    best = _Best(keep)

    def done(pos, outcome):
        stats, error, bt = outcome
        outcomes[pos] = (stats, error, None)
        best.offer(pos, stats, bt)
        bar.update(1)

    if workers == 1:
        for pos, params in enumerate(configs):
            done(pos, run_configuration(strategy, params, close, settings, keep > 0))
        return outcomes, best.payloads()
    stop = threading.Event()
    pool = ThreadPoolExecutor(max_workers=min(workers, max(len(configs), 1)),
                              thread_name_prefix="quorra-sweep")
    try:
        futures = {pool.submit(run_configuration, strategy, params, close, settings, keep > 0,
                               stop): pos for pos, params in enumerate(configs)}
        for f in as_completed(futures):
            done(futures[f], f.result())
    except BaseException:
        # Ctrl-C (or a strategy raising a BaseException): nothing more
        # starts, pending configurations are dropped, the caller gets the
        # exception now; runs under way finish on their threads.
        stop.set()
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown(wait=True)
    return outcomes, best.payloads()


def _distributed_module():
    try:
        import distributed
    except ImportError:
        raise ImportError(f"sweeps on Dask need dask.distributed: {DASK_EXTRA}") from None
    return distributed


def _dask(strategy, configs, close, settings, client, bar, keep):
    distributed = _distributed_module()
    own = isinstance(client, str)
    if own:
        client = distributed.Client(client)
    token = uuid.uuid4().hex[:12]
    shared: list = []
    rows: dict = {}  # rows future -> batch number
    runs: dict = {}  # batch number -> its outcomes, held on a worker (keep > 0)
    try:
        threads = sum(w.get("nthreads", 1) for w in client.scheduler_info()["workers"].values())
        batches = batch_positions(len(configs), threads)
        shared = client.scatter([close, strategy, settings], broadcast=True, hash=False)
        close_f, strategy_f, settings_f = shared
        for b, positions in enumerate(batches):
            args = (run_batch, strategy_f, [configs[p] for p in positions], close_f, settings_f)
            if keep > 0:
                run = client.submit(*args, True, True, pure=False,
                                    key=f"quorra-sweep-{token}-run-{b}")
                row = client.submit(rows_only, run, pure=False, key=f"quorra-sweep-{token}-{b}")
                runs[b] = run
            else:
                row = client.submit(*args, pure=False, key=f"quorra-sweep-{token}-{b}")
            rows[row] = b
        batch_of = {pos: (b, k) for b, positions in enumerate(batches)
                    for k, pos in enumerate(positions)}
        ranking = [0] * len(batches)  # runs of each batch among the best so far
        finished: set = set()
        outcomes: list = [None] * len(configs)
        best = _Best(keep)
        for f in distributed.as_completed(list(rows)):
            b = rows[f]
            if f.status == "finished":
                results = f.result()
            elif f.status == "error":
                results = [(None, error_text(f.exception()), None)] * len(batches[b])
            else:
                raise RuntimeError(f"configurations {batches[b]} were {f.status} on the cluster")
            finished.add(b)
            for pos, outcome in zip(batches[b], results):
                outcomes[pos] = outcome
                ranking[b] += 1
                for dropped in best.offer(pos, outcome[0], pos):
                    ranking[batch_of[dropped][0]] -= 1
            # A finished batch none of whose runs ranks (any longer) is
            # released: no reference to its future is left.
            for held in [held for held in runs if held in finished and ranking[held] == 0]:
                del runs[held]
            bar.update(len(batches[b]))
        picks = [client.submit(pick, runs[batch_of[pos][0]], batch_of[pos][1], pure=False)
                 for pos in best.payloads()]
        kept = client.gather(picks)
    except BaseException:
        pending = [*shared, *rows, *runs.values()]
        if pending:
            client.cancel(pending)
        raise
    finally:
        if own:
            client.close()
    frame, bars = bar_inputs.attached(close, settings)
    return outcomes, [o[2]._with_close(frame, bars) for o in kept]


def sweep(strategy, grid, close, *, settings=None, workers=None, client=None, progress=True,
          keep=0) -> SweepResult:
    """Run `strategy` over every configuration of `grid` and tabulate the
    statistics.

    `strategy(close, **params)` returns ``(entries, exits)`` or ``(entries,
    exits, settings_override)``; every configuration runs
    ``study.backtest(close, entries, exits, **settings, **override)``.
    `grid`: a dict of name -> values (their Cartesian product, in order) or a
    list of dicts. Returns a SweepResult (a DataFrame) in grid order: the
    parameters, then the ``stats()`` entries; a failing configuration gives
    a row with an ``error`` column ("TypeName: text") and NaN figures.

    - `workers`: threads of the local pool (default: the machine's cores);
      1 runs the configurations one after another in the calling thread.
    - `client`: a ``dask.distributed.Client`` or a scheduler address; the
      configurations then run as Dask tasks on its workers (the `dask`
      extra). Give `workers` or `client`, not both.
    - `progress`: True shows a bar (tqdm) when stderr is a terminal or in a
      notebook; "always" in any case; False never.
    - `keep`: also keep the `keep` best Backtests by "Total Return [%]" as
      ``result.best`` (best first).

    Ctrl-C stops a local sweep at once (pending configurations are dropped)
    and raises KeyboardInterrupt; on Dask the sweep's futures are cancelled.
    """
    if client is not None and workers is not None:
        raise ValueError("give workers (a local thread pool) or client (Dask), not both")
    if isinstance(keep, bool) or not isinstance(keep, int) or keep < 0:
        raise ValueError(f"keep must be a non-negative integer, got {keep!r}")
    settings = dict(settings or {})
    configs = configurations(grid)
    if client is not None:
        _distributed_module()
    else:
        n_workers = _workers(workers)
    bar = progress_bars.bar(len(configs), progress, "sweep")
    try:
        if client is not None:
            outcomes, best = _dask(strategy, configs, close, settings, client, bar, keep)
        else:
            outcomes, best = _local(strategy, configs, close, settings, n_workers, bar, keep)
    finally:
        bar.close()
    return _table(configs, outcomes, best)
