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


def moving_average(x, window):
    """Trailing mean of every column; NaN until the window is full."""
    c = np.cumsum(x, axis=0)
    out = np.full(x.shape, np.nan)
    out[window - 1] = c[window - 1]
    out[window:] = c[window:] - c[:-window]
    out[window - 1:] /= window
    return out


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
    exits the opposite sign on the same bars (int8, every column at once)."""
    f, s = moving_average(close, fast), moving_average(close, slow)
    above = np.sign(f - s)
    np.nan_to_num(above, copy=False)
    above = above.astype(np.int8)
    entries = np.zeros_like(above)
    cross = above[1:] != above[:-1]
    entries[1:][cross] = above[1:][cross]
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
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
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
