"""Throughput of ledger.solo with bars (open, high and low).

  (a) ledger.solo(histories=False), 1,000,000 bars x 10 contracts, 1 %
      entries and exits, fees, stop-loss, take-profit and a trailing
      stop-loss, given open, high and low: cells per second;
  (b) the same call without the bars (close-only stops): the bars' cost;
  (c) the same backtest with bars on vectorbt's Portfolio.from_signals in
      this process, when vectorbt is installed (a peer, for comparison only).

Run: python bench/bench_ohlc.py [--repeat N] [--only a,b,c]
"""

import argparse

import numpy as np

from bench_holdreturn import best_of  # this folder is on the path
from bench_ledger import M, N, show, solo_inputs
from quorra.accel import ledger

# Stops 0.5 % and 1 % of the entry price, the stop-loss trailing.
SETTINGS = dict(size=1, size_type=0, margin_rate=0.1, price_tick=1.0, volume_multiple=10.0,
                commission=1.0, com_type=1, init_cash=1e9, sl_stop=0.005, tp_stop=0.01,
                stop_mode=2, sl_trail=1)


def bars_of(close, seed=9):
    """Bars around `close`: each open the previous close moved a little
    (a gap now and then), high and low beyond both by a random reach."""
    rng = np.random.default_rng(seed)
    o = np.empty_like(close)
    o[0] = close[0]
    o[1:] = close[:-1] * (1.0 + rng.normal(0.0, 2e-4, size=(close.shape[0] - 1, close.shape[1])))
    reach = np.abs(rng.normal(0.0, 5e-4, size=close.shape)) * close
    high = np.maximum(o, close) + reach
    low = np.minimum(o, close) - reach[::-1]
    return o, high, low


def bench_ours(args, inputs, bars):
    o, h, lo = bars
    with_bars = best_of(args.repeat, lambda: ledger.solo(*inputs, **SETTINGS, open=o, high=h,
                                                         low=lo))
    show("(a) ledger.solo 1e6 x 10 with bars, sl+tp+trail", with_bars,
         f"{N * M / with_bars / 1e6:7.1f} M cells/s")
    return with_bars


def bench_close_only(args, inputs, with_bars):
    t = best_of(args.repeat, lambda: ledger.solo(*inputs, **SETTINGS))
    show("(b) the same without bars", t,
         f"{N * M / t / 1e6:7.1f} M cells/s; bars cost {with_bars / t:4.2f}x")


def bench_vectorbt(args, inputs, bars, ours):
    try:
        import vectorbt as vbt
    except ImportError:
        print("(c) vectorbt is not installed: skipped (pip install vectorbt to compare)")
        return
    close, entries, exits = inputs
    o, h, lo = bars

    def run():
        # Long and short signals, a fixed fee per order, stops as fractions
        # of the entry price with a trailing stop-loss, checked against the
        # bars, one cash account shared by all columns.
        vbt.Portfolio.from_signals(
            close, entries == 1.0, exits == -1.0, short_entries=entries == -1.0,
            short_exits=exits == 1.0, open=o, high=h, low=lo, size=1.0, fixed_fees=1.0,
            sl_stop=0.005, sl_trail=True, tp_stop=0.01, init_cash=1e9, cash_sharing=True,
            group_by=True, freq="1min")

    run()  # compiles
    t = best_of(max(1, args.repeat // 2), run)
    show(f"(c) vectorbt {vbt.__version__} from_signals with bars", t,
         f"ledger is {t / ours:5.1f}x faster")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--only", default="a,b,c")
    args = parser.parse_args()
    only = set(args.only.split(","))
    inputs = solo_inputs()
    bars = bars_of(inputs[0])
    ours = bench_ours(args, inputs, bars)
    if "b" in only:
        bench_close_only(args, inputs, ours)
    if "c" in only:
        bench_vectorbt(args, inputs, bars, ours)
    print(f"(best of {args.repeat}; numpy {np.__version__})")


if __name__ == "__main__":
    main()
