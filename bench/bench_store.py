"""The results store's cost.

(1) A sweep of 1,000 configurations of a 10,000 x 2 backtest on 2 threads,
    with a store (a new file each time) and without, interleaved: the
    share of the sweep's time the store adds (fingerprint, lock, rows
    written in batches).
(2) Reading back a finished study of 10,000 rows with study.load.

Run: python bench/bench_store.py [--small]
(--small shrinks every size, to check the script, not to measure.)
"""

import argparse
import os
import tempfile
import time

import numpy as np
import pandas as pd

from quorra.accel import sample, study

SETTINGS = dict(volume_multiple=10.0, commission=1.0, sl_stop=40.0)


def crossover(close, fast, slow):
    """Moving-average crossover signals from cumulative sums (one pass)."""
    c = close.to_numpy()
    csum = np.cumsum(c, axis=0)
    f = (csum[slow:] - csum[slow - fast:-fast]) / fast
    s = (csum[slow:] - csum[:-slow]) / slow
    above = np.zeros(c.shape, dtype=bool)
    above[slow:] = f > s
    flips = np.zeros(c.shape, dtype=np.int8)
    flips[1:] = above[1:].astype(np.int8) - above[:-1].astype(np.int8)
    return (flips == 1).astype(np.int8), -(flips == -1).astype(np.int8)


def frame(n):
    return pd.DataFrame(sample.sample_bars(n), index=pd.date_range("2000-01-01", periods=n,
                                                                    freq="h"))


def part1(n, configs, rounds):
    close = frame(n)
    fast = list(range(2, 2 + configs // 20))
    grid = {"fast": fast, "slow": list(range(50, 70))}
    plain, stored = [], []
    with tempfile.TemporaryDirectory() as tmp:
        for r in range(rounds):
            t = time.perf_counter()
            a = study.sweep(crossover, grid, close, settings=SETTINGS, workers=2, progress=False)
            plain.append(time.perf_counter() - t)
            path = os.path.join(tmp, f"s{r}.db")
            t = time.perf_counter()
            b = study.sweep(crossover, grid, close, settings=SETTINGS, workers=2, progress=False,
                            store=path)
            stored.append(time.perf_counter() - t)
            pd.testing.assert_frame_equal(a, b)
    p, s = min(plain), min(stored)
    print(f"(1) {len(a)} configurations of {n} x 2 on 2 threads: {p:.3f} s without a store, "
          f"{s:.3f} s with one: {(s / p - 1) * 100:+.1f} % (best of {rounds})")


def part2(rows, rounds):
    close = frame(200)
    grid = {"fast": list(range(2, 2 + rows // 100)), "slow": list(range(20, 120))}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "s.db")
        study.sweep(crossover, grid, close, workers=2, progress=False, store=path)
        times = []
        for _ in range(rounds):
            t = time.perf_counter()
            (table,) = study.load(path).values()
            times.append(time.perf_counter() - t)
        print(f"(2) study.load of {len(table)} rows: {min(times) * 1000:.0f} ms "
              f"(best of {rounds}; file {os.path.getsize(path) / 1e6:.1f} MB)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--small", action="store_true")
    args = parser.parse_args()
    if args.small:
        part1(300, 40, 1)
        part2(200, 1)
    else:
        part1(10_000, 1000, 3)
        part2(10_000, 5)


if __name__ == "__main__":
    main()
