"""Bars per second of pair_from_signals on 10,000,000 bars.

Entry and exit signals on about 1 % of the bars each, stop-loss,
take-profit and trailing on. Prints the best of a few runs.
"""

import argparse
import time

import numpy as np

from quorra.accel import spreadsim


def make_bars(n, seed=1):
    rng = np.random.default_rng(seed)
    prices = 100.0 + np.cumsum(rng.normal(0.0, 0.5, size=(n, 2)), axis=0)
    prices = np.maximum(prices, 1.0)
    entries = np.where(rng.random(n) < 0.01, rng.choice([-1.0, 1.0], size=n), 0.0)
    exits = np.where(rng.random(n) < 0.01, rng.choice([-1.0, 1.0], size=n), 0.0)
    return prices, entries, exits


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bars", type=int, default=10_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    prices, entries, exits = make_bars(args.bars)
    settings = dict(sl_stop=20.0, tp_stop=30.0, sl_trail=1, slip_point=0.1, max_hold_bars=500)
    best = float("inf")
    for _ in range(args.repeat):
        start = time.perf_counter()
        r0, _ = spreadsim.pair_from_signals(prices, entries, exits, **settings)
        best = min(best, time.perf_counter() - start)
    trades = int(np.count_nonzero(np.diff(r0[:, 1]) != 0))
    print(f"bars: {args.bars:,}  position changes: {trades:,}  open bars: "
          f"{np.count_nonzero(r0[:, 1]):,}")
    print(f"best of {args.repeat}: {best * 1e3:.1f} ms, {args.bars / best / 1e6:.1f} million bars/s")


if __name__ == "__main__":
    main()
