"""The research layer's costs: a walk-forward against the sweeps it is made
of, and the statistics of a long run.

(1) study.walk_forward: 10 folds of a 20-configuration crossover grid on
    500,000 x 10 bars (training windows of 200,000 bars, test windows of
    30,000), on 2 threads, against the same 200 configurations swept
    directly (one sweep of 200 configurations on a training window's bars).
    The walk-forward adds its 10 out-of-sample runs and its bookkeeping.
(2) Backtest.stats() of a 1,000,000-bar backtest (minute bars, one contract)
    with 10,000 trades: best of several calls.

Run: python bench/bench_research.py [--only 1|2] [--small]
(--small shrinks every size, to check the script, not to measure.)
"""

import argparse
import pathlib
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_study import SETTINGS, crossover, make_close  # noqa: E402

from quorra.accel import study  # noqa: E402

GRID = {"fast": [5, 10, 15, 20], "slow": [30, 40, 50, 60, 70]}
FULL = {"1": (500_000, 10, 200_000, 30_000), "2": (1_000_000, 10_000)}
SMALL = {"1": (3_000, 3, 1_000, 200), "2": (20_000, 200)}


def best_of(k, fn):
    times = []
    for _ in range(k):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return min(times), out


def wall_and_cpu(fn):
    """Wall seconds and the process's CPU seconds (all threads) of one call:
    on a shared machine the CPU time is the steadier of the two."""
    wall, cpu = time.perf_counter(), time.process_time()
    out = fn()
    return time.perf_counter() - wall, time.process_time() - cpu, out


def part1(n, m, train, test, repeats):
    close = make_close(n, m)
    folds = (n - train) // test
    replicas = [dict(c, replica=k) for k in range(folds)
                for c in ({"fast": f, "slow": s} for f in GRID["fast"] for s in GRID["slow"])]

    def replicated(close, fast, slow, replica):
        return crossover(close, fast, slow)

    window = close[:train]

    def direct():
        return study.sweep(replicated, replicas, window, settings=SETTINGS, workers=2,
                           progress=False)

    def walk():
        return study.walk_forward(crossover, GRID, close, train=train, test=test,
                                  settings=SETTINGS, workers=2, progress=False)

    # Interleaved, best of `repeats` each: the machine's timings swing.
    t_direct, t_walk = [], []
    for _ in range(repeats):
        t_direct.append(wall_and_cpu(direct)[:2])
        *seconds, wf = wall_and_cpu(walk)
        t_walk.append(seconds)
    (d, dc), (w, wc) = [tuple(map(min, zip(*t))) for t in (t_direct, t_walk)]
    print(f"(1) {folds} folds x {len(replicas) // folds} configurations, {n:,} x {m} bars "
          f"(train {train:,}, test {test:,}), 2 threads")
    print(f"    the {len(replicas)} configurations swept directly: {d:.2f} s ({dc:.2f} s CPU)")
    print(f"    walk_forward: {w:.2f} s ({wc:.2f} s CPU) = {w / d:.3f}x wall, {wc / dc:.3f}x CPU "
          f"(target <= 1.15x); {len(wf.trades)} out-of-sample trades")


def part2(n, trades, repeats):
    index = pd.date_range("2020-01-01", periods=n, freq="min")
    rng = np.random.default_rng(3)
    close = pd.Series(np.round(4000.0 + np.cumsum(rng.normal(0.0, 1.0, n))), index=index)
    every = n // trades
    entries = np.zeros(n)
    exits = np.zeros(n)
    entries[::every] = rng.choice([-1.0, 1.0], len(entries[::every]))
    exits[every // 2::every] = -entries[::every][:len(exits[every // 2::every])]
    bt = study.backtest(close, entries, exits, init_cash=1e9)
    count = len(bt.record["trades"])
    seconds, stats = best_of(repeats, bt.stats)
    print(f"(2) stats() of {n:,} bars with {count:,} trades: {seconds * 1e3:.1f} ms "
          f"(target <= 50 ms); Sharpe {stats['Sharpe Ratio']:.3f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", choices=["1", "2"])
    parser.add_argument("--small", action="store_true")
    args = parser.parse_args()
    sizes = SMALL if args.small else FULL
    if args.only in (None, "1"):
        part1(*sizes["1"], repeats=1 if args.small else 3)
    if args.only in (None, "2"):
        part2(*sizes["2"], repeats=3 if args.small else 7)


if __name__ == "__main__":
    main()
