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
import numbers
import os
import threading
import uuid
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass

import numpy as np
import pandas as pd

from quorra.accel.study import bars as bar_inputs
from quorra.accel.study import inputs
from quorra.accel.study import progress as progress_bars
from quorra.accel.study.backtests import backtest, pair_backtest
from quorra.accel.study.result import STATS, Backtest

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

    def heatmap(self, x, y, metric="Total Return [%]", agg="mean", path=None):
        """A matplotlib Figure of `metric` over the grid parameters `x` and
        `y`, the other parameters aggregated by `agg` (see study.heatmap)."""
        from quorra.accel.study.heatmap import heatmap

        return heatmap(self, x, y, metric=metric, agg=agg, path=path)

    def report(self, path):
        """Writes the interactive HTML report of the sweep (see study.html_report)."""
        from quorra.accel.study.html_report import write_sweep

        return write_sweep(self, path)

    def rerun(self, row, strategy=None, close=None, settings=None) -> Backtest:
        """The Backtest of the configuration labelled `row`, run again (a
        table of a sweep with a `store`, or one read by ``study.load``: then
        give the strategy, close and settings it was swept with; they must
        make the same study)."""
        holder = self.attrs.get("rerun")
        if holder is None:
            raise ValueError("only a table of a sweep with a store (or read by study.load) "
                             "can rerun its rows")
        return holder.run(row, strategy, close, settings)


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


@dataclass(frozen=True)
class Outcome:
    """What one configuration gave: its stats row (a dict of the ``stats()``
    entries) or, when it failed, the error text ("TypeName: text"); `run` is
    its Backtest when the sweep keeps runs."""

    stats: dict | None = None
    error: str | None = None
    run: Backtest | None = None

    def without_run(self) -> "Outcome":
        return Outcome(self.stats, self.error)


def strategy_signals(strategy, params, close, settings) -> tuple:
    """``strategy(close, **params)`` checked: (entries, exits, the run's
    settings: `settings` updated by the strategy's own)."""
    out = strategy(inputs.readonly(close), **params)
    if not isinstance(out, tuple) or len(out) not in (2, 3):
        raise TypeError("strategy must return (entries, exits) or (entries, exits, settings)")
    run_settings = dict(settings)
    if len(out) == 3 and out[2] is not None:
        if not isinstance(out[2], dict):
            raise TypeError(f"the strategy's settings must be a dict, not "
                            f"{type(out[2]).__name__}")
        unknown = set(out[2]) - inputs.SOLO_SETTINGS - inputs.PAIR_SETTINGS
        if unknown:
            raise TypeError(f"the strategy's settings name no setting of a backtest: "
                            f"{sorted(map(str, unknown))}")
        run_settings.update(out[2])
    return out[0], out[1], run_settings


def run_configuration(strategy, params, close, settings, keep_backtest=False, stop=None,
                      ship=False, pair=False):
    """One configuration's Outcome; None when `stop` was set before it
    started. `ship`: the run goes back over the wire without `close` (the
    caller has it); `pair`: the strategy's signals go to ``pair_backtest``."""
    if stop is not None and stop.is_set():
        return None
    try:
        entries, exits, run_settings = strategy_signals(strategy, params, close, settings)
        run = pair_backtest if pair else backtest
        bt = run(close, entries, exits, **run_settings)
        stats = bt.stats().to_dict()
    except Exception as exc:  # the configuration's row reports it
        return Outcome(error=error_text(exc))
    if not keep_backtest:
        return Outcome(stats)
    return Outcome(stats, run=bt.replaced(params=dict(params), close=None if ship else bt.close,
                                     bars=None if ship else bt.bars))


def run_batch(strategy, batch, close, settings, keep_backtest=False, ship=False, pair=False):
    """Several configurations in one Dask task (fewer, longer tasks: the
    scheduler's cost per task is paid once a batch)."""
    return [run_configuration(strategy, params, close, settings, keep_backtest, None, ship, pair)
            for params in batch]


def rows_only(outcomes):
    """A batch's outcomes without their Backtests (what comes back)."""
    return [o.without_run() for o in outcomes]


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


def score(stats, rank_by) -> float:
    """The ranking score of a stats row: the entry `rank_by`, or
    ``rank_by(row)`` of the row as a Series. NaN (and anything that is not a
    number) never ranks."""
    if stats is None:
        return math.nan
    value = rank_by(pd.Series(stats)) if callable(rank_by) else stats.get(rank_by)
    if isinstance(value, pd.Timedelta):
        value = value.value
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        return math.nan
    return float(value)


def check_rank_by(rank_by) -> None:
    if not callable(rank_by) and rank_by not in STATS:
        raise ValueError(f"rank_by must be a stats() entry or a function of the stats row, "
                         f"got {rank_by!r}; the entries are: {', '.join(STATS)}")


class _Best:
    """The k best runs so far by `rank_by` (descending; ties by grid order)."""

    def __init__(self, k: int, rank_by=RANK_BY):
        self.k = k
        self.rank_by = rank_by
        self.items: list = []  # (key, payload)

    def offer(self, pos: int, stats, payload):
        """Keeps `payload` if it ranks; returns what fell out (or `payload`
        itself when it does not rank)."""
        if self.k == 0:
            return [payload]
        s = score(stats, self.rank_by)
        if math.isnan(s):
            return [payload]
        bisect.insort(self.items, ((-s, pos), payload), key=lambda item: item[0])
        dropped = [p for _, p in self.items[self.k:]]
        del self.items[self.k:]
        return dropped

    def payloads(self) -> list:
        return [p for _, p in self.items]


def parameter_names(grid, configs: list[dict]) -> list:
    """The parameters' names in first-seen order (a dict grid names them even
    when the constraint leaves no configuration)."""
    names: list = list(grid) if isinstance(grid, dict) else []
    for c in configs:
        names += [k for k in c if k not in names]
    return names


def check_names(names) -> None:
    """A parameter named like a table column would lose its values to it."""
    clash = [n for n in names if n in STATS or n == "error"]
    if clash:
        raise ValueError(f"grid parameters {clash} have the names of table columns "
                         f"(the stats() entries and 'error'); rename them")


def allowed(configs: list[dict], constraint) -> list[dict]:
    if constraint is None:
        return configs
    if not callable(constraint):
        raise TypeError(f"constraint must be a function of the parameters, got "
                        f"{type(constraint).__name__}")
    return [c for c in configs if constraint(dict(c))]


def _table(names: list, configs: list[dict], outcomes: list, best: list) -> SweepResult:
    failed = any(o.error is not None for o in outcomes)
    rows = []
    for c, o in zip(configs, outcomes):
        row = dict(c)
        row.update(o.stats if o.stats is not None else dict.fromkeys(STATS, math.nan))
        if failed:
            row["error"] = o.error
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


def _local(job: "Job", configs, workers, bar, sink=None):
    outcomes: list = [None] * len(configs)
    best = _Best(job.keep, job.rank_by)

    def done(pos, outcome):
        outcomes[pos] = outcome.without_run()
        if sink is not None:
            sink(pos, outcomes[pos])
        best.offer(pos, outcome.stats, outcome.run)
        bar.update(1)

    def run(params, stop=None):
        return run_configuration(job.strategy, params, job.close, job.settings, job.keep > 0,
                                 stop, pair=job.pair)

    if workers == 1:
        for pos, params in enumerate(configs):
            done(pos, run(params))
        return outcomes, best.payloads()
    stop = threading.Event()
    pool = ThreadPoolExecutor(max_workers=min(workers, max(len(configs), 1)),
                              thread_name_prefix="quorra-sweep")
    try:
        futures = {pool.submit(run, params, stop): pos for pos, params in enumerate(configs)}
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


RESUBMITS = 3  # a batch lost with every worker is sent again this often


def connect(address: str, timeout=None):
    """A Client of the scheduler at `address`, the connection bounded by
    `timeout` seconds (None: Dask's own connect timeout)."""
    distributed = _distributed_module()
    options = {} if timeout is None else {"timeout": timeout}
    try:
        return distributed.Client(address, **options)
    except (OSError, TimeoutError) as exc:
        within = f" within {timeout} s" if timeout is not None else ""
        raise TimeoutError(f"no Dask scheduler answered at {address}{within}: {exc}") from exc


class _Submitted:
    """A sweep's futures on the cluster: the scattered inputs, one rows future
    per batch, and with ``keep`` the batch's outcomes held on a worker. A
    batch whose futures the cluster lost (every worker gone) is sent again,
    the inputs scattered again first when they were lost with it."""

    def __init__(self, client, job: "Job", configs, batches, token):
        self.client, self.job, self.configs, self.batches = client, job, configs, batches
        self.token = token
        self.shared: list = []
        self.rows: dict = {}  # rows future -> batch number
        self.runs: dict = {}  # batch number -> its outcomes on a worker (keep > 0)
        self.picks: list = []
        self.sent = [0] * len(batches)

    def scatter(self) -> None:
        job = self.job
        for attempt in range(RESUBMITS + 1):
            try:
                self.shared = self.client.scatter([job.close, job.strategy, job.settings],
                                                  broadcast=True, hash=False)
                return
            except OSError:  # a worker went away during it (CommClosedError)
                if attempt == RESUBMITS or self.client.status in ("closing", "closed"):
                    raise
                self.client.wait_for_workers(1, timeout=60)

    def submit(self, b: int):
        if not self.shared or any(f.status != "finished" for f in self.shared):
            self.scatter()
        close_f, strategy_f, settings_f = self.shared
        again = f"-again-{self.sent[b]}" if self.sent[b] else ""
        self.sent[b] += 1
        args = (run_batch, strategy_f, [self.configs[p] for p in self.batches[b]], close_f,
                settings_f)
        if self.job.keep > 0:
            run = self.client.submit(*args, True, True, self.job.pair, pure=False,
                                     key=f"quorra-sweep-{self.token}-run-{b}{again}")
            row = self.client.submit(rows_only, run, pure=False,
                                     key=f"quorra-sweep-{self.token}-{b}{again}")
            self.runs[b] = run
        else:
            row = self.client.submit(*args, False, False, self.job.pair, pure=False,
                                     key=f"quorra-sweep-{self.token}-{b}{again}")
        self.rows[row] = b
        return row

    def lost(self, future, b: int):
        """The future of batch `b` sent again, or the reason it cannot be."""
        if self.client.status in ("closing", "closed"):
            raise RuntimeError(f"the Dask client was closed during the sweep: configurations "
                               f"{self.batches[b]} did not finish")
        if self.sent[b] > RESUBMITS:
            raise RuntimeError(f"configurations {self.batches[b]} were {future.status} on the "
                               f"cluster {self.sent[b]} times")
        del self.rows[future]
        return self.submit(b)

    def cancel(self) -> None:
        """Cancels what is left, dependents before what they depend on (the
        scheduler refuses to forget a key that a live task still needs)."""
        for group in (self.picks, list(self.rows), list(self.runs.values()), self.shared):
            if group:
                self.client.cancel(group)


def _dask(job: "Job", configs, client, bar, sink=None, timeout=None):
    distributed = _distributed_module()
    keep = job.keep
    own = isinstance(client, str)
    if own:
        client = connect(client, timeout)
    sent = None
    try:
        threads = sum(w.get("nthreads", 1) for w in client.scheduler_info()["workers"].values())
        batches = batch_positions(len(configs), threads)
        sent = _Submitted(client, job, configs, batches, uuid.uuid4().hex[:12])
        sent.scatter()
        for b in range(len(batches)):
            sent.submit(b)
        batch_of = {pos: (b, k) for b, positions in enumerate(batches)
                    for k, pos in enumerate(positions)}
        ranking = [0] * len(batches)  # runs of each batch among the best so far
        finished: set = set()
        outcomes: list = [None] * len(configs)
        best = _Best(keep, job.rank_by)
        arriving = distributed.as_completed(list(sent.rows))
        for f in arriving:
            b = sent.rows[f]
            results = _fetched(f)
            if results is not None:
                pass
            elif f.status == "error":
                results = [Outcome(error=error_text(f.exception()))] * len(batches[b])
            else:
                arriving.add(sent.lost(f, b))
                continue
            finished.add(b)
            for pos, outcome in zip(batches[b], results):
                outcomes[pos] = outcome
                if sink is not None:
                    sink(pos, outcome)
                ranking[b] += 1
                for dropped in best.offer(pos, outcome.stats, pos):
                    ranking[batch_of[dropped][0]] -= 1
            # A finished batch none of whose runs ranks (any longer) is
            # released: no reference to its future is left.
            for held in [held for held in sent.runs if held in finished and ranking[held] == 0]:
                del sent.runs[held]
            bar.update(len(batches[b]))
        sent.picks = [client.submit(pick, sent.runs[batch_of[pos][0]], batch_of[pos][1],
                                    pure=False) for pos in best.payloads()]
        kept = client.gather(sent.picks)
    except BaseException as exc:
        _cleanup(sent, exc)
        raise
    finally:
        if own:
            client.close()
    frame, bars = bar_inputs.attached(job.close, job.settings)
    return outcomes, [o.run.replaced(close=frame, bars=bars) for o in kept]


def _fetched(future):
    """A finished future's result, None when it did not finish or its data
    was lost with its worker before it came back."""
    if future.status != "finished":
        return None
    try:
        return future.result()
    except Exception:
        if future.status == "finished":
            raise
        return None


def _cleanup(sent, exc: BaseException) -> None:
    """Cancels a failed sweep's futures; the sweep's own exception is the one
    raised, what the cancelling raised is noted on it."""
    if sent is None:
        return
    try:
        sent.cancel()
    except Exception as cleanup:
        exc.add_note(f"while cancelling the sweep's futures: {error_text(cleanup)}")
        if exc.__context__ is None:
            exc.__context__ = cleanup


@dataclass(frozen=True)
class Job:
    """What every configuration of a sweep shares."""

    strategy: object
    close: object
    settings: dict
    keep: int = 0
    rank_by: object = RANK_BY
    pair: bool = False

    def __post_init__(self):
        # A misspelt setting fails here, before any configuration runs.
        inputs.check_setting_names(self.settings, self.pair)


def sweep(strategy, grid, close, *, settings=None, workers=None, client=None, progress=True,
          keep=0, rank_by=RANK_BY, constraint=None, pair=False, store=None,
          timeout=None) -> SweepResult:
    """Run `strategy` over every configuration of `grid` and tabulate the
    statistics.

    `strategy(close, **params)` returns ``(entries, exits)`` or ``(entries,
    exits, settings_override)``; every configuration runs
    ``study.backtest(close, entries, exits, **settings, **override)``
    (``study.pair_backtest`` with ``pair=True``).
    `grid`: a dict of name -> values (their Cartesian product, in order) or a
    list of dicts. Returns a SweepResult (a DataFrame) in grid order: the
    parameters, then the ``stats()`` entries; a failing configuration gives
    a row with an ``error`` column ("TypeName: text") and NaN figures. A
    parameter may not be named like a stats() entry or ``error``.

    - `workers`: threads of the local pool (default: the machine's cores);
      1 runs the configurations one after another in the calling thread.
    - `client`: a ``dask.distributed.Client`` or a scheduler address; the
      configurations then run as Dask tasks on its workers (the `dask`
      extra). Give `workers` or `client`, not both. `timeout`: seconds to
      wait for the scheduler at an address (None: Dask's connect timeout);
      TimeoutError naming the address when none answers. Should every
      worker restart, the lost batches are sent again (with the inputs
      scattered again) and the sweep finishes.
    - `progress`: True shows a bar (tqdm) when stderr is a terminal or in a
      notebook; "always" in any case; False never.
    - `keep`: also keep the `keep` best Backtests as ``result.best`` (best
      first), ranked by `rank_by`: a stats() entry (default "Total Return
      [%]") or a function of the stats row (a Series) giving a number. NaN
      never ranks; ties go to grid order.
    - `constraint`: a function of a configuration's parameters (a dict);
      the configurations it rejects are left out before anything runs
      (``lambda p: p["fast"] < p["slow"]``).
    - `store`: a path to a results store (an SQLite file, made when missing):
      every finished row is written as it arrives, and the configurations
      of the same study already stored are read back instead of run, so an
      interrupted sweep started again runs only what is missing and gives
      the same table. ``study.load(store)`` reads it from any process;
      ``table.rerun(row)`` runs one configuration again for its Backtest.

    Ctrl-C stops a local sweep at once (pending configurations are dropped)
    and raises KeyboardInterrupt; on Dask the sweep's futures are cancelled.
    """
    if client is not None and workers is not None:
        raise ValueError("give workers (a local thread pool) or client (Dask), not both")
    if isinstance(keep, bool) or not isinstance(keep, int) or keep < 0:
        raise ValueError(f"keep must be a non-negative integer, got {keep!r}")
    check_rank_by(rank_by)
    if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))
                                or not timeout > 0):
        raise ValueError(f"timeout must be a positive number of seconds or None, "
                         f"got {timeout!r}")
    configs = configurations(grid)
    names = parameter_names(grid, configs)
    check_names(names)
    configs = allowed(configs, constraint)
    job = Job(strategy, close, dict(settings or {}), keep, rank_by, bool(pair))
    n_workers = pool_size(workers, client)
    bar = progress_bars.bar(len(configs), progress, "sweep")
    try:
        return run_sweep(job, names, configs, n_workers, client, bar, store, timeout)
    finally:
        bar.close()


def pool_size(workers, client) -> int | None:
    """The local pool's threads (None on Dask), the arguments checked."""
    if client is not None and workers is not None:
        raise ValueError("give workers (a local thread pool) or client (Dask), not both")
    if client is not None:
        _distributed_module()
        return None
    return _workers(workers)


def run_sweep(job: Job, names: list, configs: list[dict], workers, client, bar,
              store=None, timeout=None) -> SweepResult:
    """The table of `configs` run on the pool or the client, counted on `bar`;
    with `store` (a path), its rows kept in and resumed from that results
    store (``study.store``; a walk-forward stores each fold's training sweep
    as a study of its own, the fold's bars making its fingerprint)."""

    def run(todo, sink=None, skipped=0):
        bar.update(skipped)
        if client is not None:
            return _dask(job, todo, client, bar, sink, timeout)
        return _local(job, todo, workers, bar, sink)

    if store is not None:
        from quorra.accel.study import store as stores

        return stores.stored_sweep(job, names, configs, run, store)
    outcomes, best = run(configs)
    return _table(names, configs, outcomes, best)
