"""Times calc_holdreturn on a million bars against filling the same curves.

Usage: python bench/bench_holdreturn.py [repeats]

One million bars, 5 % of them signals (fixed seed), holding lengths
[1, 5, 10, 20, 60, 120, 250]. The reference is np.full((7, n), np.nan),
the cost of merely writing seven curves of n floats, measured in the same
run; the ratio of the two is the figure to watch. For context it also times
seven separate np.full(n, np.nan) arrays, the layout the curves really have
(one large block gets huge pages at once, seven 8 MB arrays fault page by
page).
"""

import sys
import time

import numpy as np

from quorra.accel.holdreturn import calc_holdreturn

N = 1_000_000
SIGNAL_SHARE = 0.05
BARS = [1, 5, 10, 20, 60, 120, 250]


def best_of(repeats, fn):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    rng = np.random.default_rng(20240601)
    close = 100.0 * np.cumprod(1.0 + rng.normal(0.0, 0.01, N))
    signals = np.zeros(N)
    picked = rng.random(N) < SIGNAL_SHARE
    signals[picked] = rng.choice([1.0, -1.0], picked.sum())

    calc_holdreturn(signals, close, BARS)  # warm-up; the result is dropped at once
    engine = best_of(repeats, lambda: calc_holdreturn(signals, close, BARS))
    reference = best_of(repeats, lambda: np.full((len(BARS), N), np.nan))
    separate = best_of(repeats, lambda: [np.full(N, np.nan) for _ in BARS])

    print(f"bars {N:,}, signals {np.count_nonzero(signals):,}, holding lengths {BARS}")
    print(f"calc_holdreturn           {engine * 1e3:8.2f} ms (best of {repeats})")
    print(f"np.full((7, n), np.nan)   {reference * 1e3:8.2f} ms (best of {repeats})")
    print(f"ratio                     {engine / reference:8.2f} (target <= 3)")
    print(f"7 x np.full(n, np.nan)    {separate * 1e3:8.2f} ms, ratio {engine / separate:.2f}")


if __name__ == "__main__":
    main()
