"""Throughput of the ledger module.

  (a) ledger.solo(histories=False), 1,000,000 bars x 10 contracts, 1 % entries
      and exits, fees, stop-loss and take-profit: cells per second;
  (b) the same backtest on vectorbt's Portfolio.from_signals in this process,
      when vectorbt is installed (a peer, for comparison only);
  (c) two threads running two such backtests at once against one thread;
  (d) ledger.pair(histories=False), 10,000,000 bars, stops and trailing: bars
      per second;
  (e) ledger.solo(histories=True) against solosim.from_signals on the same
      input;
  (f) the peak resident memory of one (a) run in a fresh process, beyond its
      inputs.

Run: python bench/bench_ledger.py [--repeat N] [--only a,c,...]
"""

import argparse
import resource
import subprocess
import sys
import threading

import numpy as np

from bench_holdreturn import best_of  # this folder is on the path
from quorra.accel import ledger, solosim

N, M = 1_000_000, 10


def solo_inputs(n=N, m=M, seed=7, density=0.01):
    # Column by column, so that making them needs little beyond the arrays.
    rng = np.random.default_rng(seed)
    close, entries, exits = (np.empty((n, m)) for _ in range(3))
    for j in range(m):
        close[:, j] = 4000.0 * np.exp(np.cumsum(rng.normal(0.0, 5e-4, size=n)))
        for signals in (entries, exits):
            signals[:, j] = np.where(rng.random(n) < density, rng.choice([-1.0, 1.0], size=n),
                                     0.0)
    return close, entries, exits


# Scalars apply to every contract; stops 0.5 % and 1 % of the entry price.
SETTINGS = dict(size=1, size_type=0, margin_rate=0.1, price_tick=1.0, volume_multiple=10.0,
                commission=1.0, com_type=1, init_cash=1e9, sl_stop=0.005, tp_stop=0.01,
                stop_mode=2)


def show(label, seconds, figure):
    print(f"{label:<58} {seconds * 1e3:9.1f} ms  {figure}")


def bench_solo(args, inputs):
    t = best_of(args.repeat, lambda: ledger.solo(*inputs, **SETTINGS))
    show("(a) ledger.solo 1e6 x 10, sl+tp, no histories", t, f"{N * M / t / 1e6:7.1f} M cells/s")
    return t


def bench_vectorbt(args, inputs, ours):
    try:
        import vectorbt as vbt
    except ImportError:
        print("(b) vectorbt is not installed: skipped (pip install vectorbt to compare)")
        return
    close, entries, exits = inputs

    def run():
        # Long and short signals, a fixed fee per order, stops as fractions
        # of the entry price, one cash account shared by all columns.
        vbt.Portfolio.from_signals(
            close, entries == 1.0, exits == -1.0, short_entries=entries == -1.0,
            short_exits=exits == 1.0, size=1.0, fixed_fees=1.0, sl_stop=0.005, tp_stop=0.01,
            init_cash=1e9, cash_sharing=True, group_by=True, freq="1min")

    run()  # compiles
    t = best_of(max(1, args.repeat // 2), run)
    show(f"(b) vectorbt {vbt.__version__} Portfolio.from_signals, same", t,
         f"ledger is {t / ours:5.1f}x faster")


def bench_threads(args, inputs):
    second = solo_inputs(seed=8)

    def both():
        threads = [threading.Thread(target=ledger.solo, args=x, kwargs=SETTINGS)
                   for x in (inputs, second)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()

    one = best_of(args.repeat, lambda: ledger.solo(*inputs, **SETTINGS))
    two = best_of(args.repeat, both)
    show("(c) two threads, two backtests at once", two,
         f"{2 * one / two:5.2f}x one thread's throughput")


def bench_pair(args):
    n = 10_000_000
    rng = np.random.default_rng(1)
    prices = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.005, size=(n, 2)), axis=0))
    entries = np.where(rng.random(n) < 0.01, rng.choice([-1.0, 1.0], size=n), 0.0)
    exits = np.where(rng.random(n) < 0.01, rng.choice([-1.0, 1.0], size=n), 0.0)
    settings = dict(sl_stop=20.0, tp_stop=30.0, sl_trail=1, slip_point=0.1, max_hold_bars=500)
    t = best_of(args.repeat, lambda: ledger.pair(prices, entries, exits, **settings))
    show("(d) ledger.pair 1e7 bars, stops, trailing", t, f"{n / t / 1e6:7.1f} M bars/s")


def bench_histories(args, inputs):
    # Interleaved, so that both see the same state of the machine (the
    # kernel's zeroing of 480 MB of fresh pages varies from run to run).
    ours = theirs = float("inf")
    for _ in range(args.repeat):
        ours = min(ours, best_of(1, lambda: ledger.solo(*inputs, **SETTINGS, histories=True)))
        theirs = min(theirs, best_of(1, lambda: solosim.from_signals(*inputs, **SETTINGS)))
    show("(e) ledger.solo(histories=True) / from_signals", ours,
         f"{ours / theirs:5.2f}x ({theirs * 1e3:.1f} ms)")


PEAK = """
import resource, sys
sys.path.insert(0, {here!r})
from bench_ledger import solo_inputs, SETTINGS
from quorra.accel import ledger
inputs = solo_inputs()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
ledger.solo(*inputs, **SETTINGS)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(before, after)
"""


def bench_memory():
    import pathlib
    here = str(pathlib.Path(__file__).resolve().parent)
    out = subprocess.run([sys.executable, "-c", PEAK.format(here=here)], capture_output=True,
                         text=True, check=True).stdout.split()
    before, after = (int(x) / 1024 for x in out)
    print(f"(f) peak resident memory: {before:.0f} MB with the inputs (240 MB of arrays), "
          f"{after:.0f} MB after a run: {after - before:.0f} MB for the run "
          f"(from_signals' histories alone would be 480 MB)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--only", default="a,b,c,d,e,f")
    args = parser.parse_args()
    only = set(args.only.split(","))
    inputs = solo_inputs()
    ours = bench_solo(args, inputs) if only & {"a", "b"} else None
    if "b" in only:
        bench_vectorbt(args, inputs, ours)
    if "c" in only:
        bench_threads(args, inputs)
    if "d" in only:
        bench_pair(args)
    if "e" in only:
        bench_histories(args, inputs)
    if "f" in only:
        bench_memory()
    print(f"(best of {args.repeat}; numpy {np.__version__}; "
          f"peak RSS of this process {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024} MB)")


if __name__ == "__main__":
    main()
