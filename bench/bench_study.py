"""Sweeps of study.sweep: thread scaling and the cost of the Dask path.

(1) 50 moving-average pairs over 500,000 bars x 20 contracts, the crossover
    signals computed with NumPy inside the strategy, on 1 and on 2 worker
    threads: the speed-up, and where the time goes (ledger runs, signal
    computation, the rest: inputs, statistics, the pool).
(2) 200 configurations of a 100,000 x 10 backtest on a 2-worker LocalCluster
    (worker processes) against the local thread pool with 2 threads.

Run: python bench/bench_study.py [--only 1|2] [--small]
(--small shrinks every size, to check the script, not to measure.)
"""

import argparse
import os
import threading
import time

import numpy as np

from quorra.accel import study
from quorra.accel.study import backtests

SETTINGS = dict(size=1, margin_rate=0.1, price_tick=1.0, volume_multiple=10.0, commission=1.0,
                init_cash=1e9, sl_stop=40.0, tp_stop=80.0)


# (bars, contracts, configurations) of each part
FULL = {"1": (500_000, 20, 50), "2": (100_000, 10, 200)}
SMALL = {"1": (300, 3, 10), "2": (200, 2, 20)}


def make_close(n, m, seed=7):
    rng = np.random.default_rng(seed)
    return np.round(4000.0 + np.cumsum(rng.normal(0.0, 2.0, size=(n, m)), axis=0))


def moving_average(cumulative, window, out):
    """Trailing means of every column from their running sums, into `out`;
    NaN until the window is full."""
    out[: window - 1] = np.nan
    out[window - 1] = cumulative[window - 1]
    np.subtract(cumulative[window:], cumulative[:-window], out=out[window:])
    out[window - 1:] /= window
    return out


def work_arrays(n):
    """This thread's work arrays for one column, made once and reused: large
    temporaries made afresh would be new mappings whose pages fault in on
    every call, and the threads' page faults serialise in the kernel. (Kept
    on the thread object, so that the strategy pickles for Dask workers.)"""
    thread = threading.current_thread()
    arrays = getattr(thread, "crossover_work", None)
    if arrays is None or len(arrays[0]) != n:
        arrays = (np.empty(n), np.empty(n), np.empty(n), np.empty(n, np.int8),
                  np.empty(n, np.int8), np.empty(n, np.int8), np.empty(n - 1, bool))
        thread.crossover_work = arrays
    return arrays


class Clock:
    """Seconds spent in the strategy and in ledger runs, summed over threads."""

    def __init__(self):
        self.lock = threading.Lock()
        self.signals = 0.0
        self.engine = 0.0

    def add(self, name, seconds):
        with self.lock:
            setattr(self, name, getattr(self, name) + seconds)


CLOCK = Clock()


def crossover(close, fast, slow):
    """+1 / -1 entries where the fast mean crosses above / below the slow one,
    exits the opposite sign on the same bars (int8). Column by column (one
    running sum serves both means), ufuncs into reused work arrays: every
    step releases the interpreter lock."""
    n, m = close.shape
    entries = np.zeros((n, m), dtype=np.int8)
    total, f, s, above, below, side, changed = work_arrays(n)
    for j in range(m):
        np.cumsum(close[:, j], out=total)
        moving_average(total, fast, f)
        moving_average(total, slow, s)
        # 1 above, -1 below, 0 while either mean is undefined (NaN compares false).
        np.greater(f, s, out=above, casting="unsafe")
        np.less(f, s, out=below, casting="unsafe")
        np.subtract(above, below, out=side)
        np.not_equal(side[1:], side[:-1], out=changed)
        np.multiply(side[1:], changed, out=entries[1:, j], casting="unsafe")
    return entries, -entries


def timed_crossover(close, fast, slow):
    start = time.perf_counter()
    try:
        return crossover(close, fast, slow)
    finally:
        CLOCK.add("signals", time.perf_counter() - start)


class TimedLedger:
    """The ledger module with its solo runs timed."""

    def __init__(self, real):
        self.real = real
        self.EXIT_REASONS = real.EXIT_REASONS

    def solo(self, *args, **kwargs):
        start = time.perf_counter()
        try:
            return self.real.solo(*args, **kwargs)
        finally:
            CLOCK.add("engine", time.perf_counter() - start)

    def pair(self, *args, **kwargs):
        return self.real.pair(*args, **kwargs)


def part1(n, m, configs):
    close = make_close(n, m)
    fasts = [5, 10, 15, 20, 25]
    slows = list(range(30, 30 + 10 * max(1, configs // len(fasts)), 10))
    grid = {"fast": fasts, "slow": slows}
    count = len(fasts) * len(slows)
    print(f"(1) {count} crossover pairs, {n:,} bars x {m} contracts "
          f"({os.cpu_count()} cores)")
    real = backtests.ledger
    backtests.ledger = TimedLedger(real)
    try:
        times = {}
        for workers in (1, 2):
            CLOCK.signals = CLOCK.engine = 0.0
            start = time.perf_counter()
            table = study.sweep(timed_crossover, grid, close, settings=SETTINGS, workers=workers,
                                progress=False)
            wall = time.perf_counter() - start
            times[workers] = wall
            rest = max(wall * workers - CLOCK.engine - CLOCK.signals, 0.0)
            busy = CLOCK.engine + CLOCK.signals + rest
            print(f"    {workers} worker(s): {wall:7.2f} s  ({wall / count * 1e3:6.1f} ms a "
                  f"configuration); thread time: ledger {CLOCK.engine / busy:5.1%}, signals "
                  f"{CLOCK.signals / busy:5.1%}, the rest {rest / busy:5.1%}")
            assert "error" not in table.columns, table["error"].dropna().iloc[0]
    finally:
        backtests.ledger = real
    print(f"    speed-up with 2 workers: {times[1] / times[2]:.2f}x (target >= 1.8x)")


def part2(n, m, configs):
    import dask
    import distributed

    close = make_close(n, m, seed=11)
    fasts = [5, 8, 10, 12, 15, 20, 25, 30, 35, 40]
    slows = list(range(50, 50 + 10 * max(1, configs // len(fasts)), 10))
    grid = {"fast": fasts, "slow": slows}
    count = len(fasts) * len(slows)
    print(f"(2) {count} configurations of {n:,} bars x {m} contracts: LocalCluster of 2 "
          f"worker processes against 2 threads")
    start = time.perf_counter()
    threads = study.sweep(crossover, grid, close, settings=SETTINGS, workers=2, progress=False)
    local = time.perf_counter() - start
    print(f"    thread pool (2 threads):       {local:7.2f} s")
    # Workers set up for numerical tasks, as the README recommends: Dask's
    # nanny sets MALLOC_TRIM_THRESHOLD_ in their environment, which turns
    # off glibc's adaptive mmap threshold (every large NumPy temporary is a
    # fresh mapping whose pages fault in again: a run took 1.6x as long in a
    # worker), and the workers' sampling profiler takes the interpreter lock
    # every 10 ms.
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
    environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ,
                          "distributed.worker.profile.enabled": False}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        # Warm the workers up (imports) before timing.
        study.sweep(crossover, {"fast": [5], "slow": [50]}, close[:1000], client=client,
                    progress=False)
        start = time.perf_counter()
        dist = study.sweep(crossover, grid, close, settings=SETTINGS, client=client,
                           progress=False)
        remote = time.perf_counter() - start
    print(f"    LocalCluster (2 processes):    {remote:7.2f} s  = {remote / local:.2f}x the "
          f"threads (target <= 1.5x)")
    same = threads.equals(dist)
    print(f"    identical tables: {same}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", choices=["1", "2"], help="run one of the two only")
    parser.add_argument("--small", action="store_true", help="tiny sizes: check the script")
    args = parser.parse_args()
    sizes = SMALL if args.small else FULL
    if args.only in (None, "1"):
        part1(*sizes["1"])
    if args.only in (None, "2"):
        part2(*sizes["2"])
    print(f"(numpy {np.__version__}; workers are threads unless said otherwise)")


if __name__ == "__main__":
    main()
